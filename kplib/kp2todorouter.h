// KP2TodoRouter: a node of the command tree. Commands are slots with the parameter list
// (QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject), found by the request's "cmd" through the
// meta-object system and called on the caller's thread; a router without a matching slot asks its children in
// insertion order, depth first. Every router answers "help_interfaces" with the usage of its whole subtree.
// Thread-safety: add/del/list lock the children list; dispatch may run on many threads at once, provided the tree is
// complete before serving starts. Children are not owned.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <mutex>

#include "kp2cabinet.h"
#include "kp2journals.h"

class KP2TodoRouter : public QObject {
    Q_OBJECT
public:
    // The normalized parameter list every command slot has.
    static const char SLOT_SIGNATURE[];

    explicit KP2TodoRouter(QObject *parent = nullptr);
    ~KP2TodoRouter() override;

    // Appends child unless it is null or already present.
    void add(KP2TodoRouter *child);
    // Removes the first occurrence of child; nothing when absent.
    void del(KP2TodoRouter *child);
    // A copy of the children, taken under the lock.
    QList<KP2TodoRouter *> list() const;

    virtual QString routerId() const;
    // Configuration hook; the base accepts any configuration.
    virtual bool loadConfigure(KP2Journals &journal, const QJsonObject &config);
    // Calls the slot named "cmd" (trimmed) in this router or, failing that, in the first child that has one.
    // Returns false, with reply "err" set to 9885, when there is none or "cmd" is empty.
    virtual bool doSlot(QJsonObject &reply, const QJsonObject &request, KP2Cabinet *cabinet);
    // The same for slots named "__LS__" + "cmd", which nothing else reaches.
    virtual bool doCall(QJsonObject &reply, const QJsonObject &request, KP2Cabinet *cabinet);

    // Sets reply "err", and "errmsg" when errmsg is not empty.
    void inject(QJsonObject *reply, int err, const QString &errmsg) const;

    // Adds the usage entry of every published command slot of this subtree under its name; the first entry of a name
    // wins, including one already in listing.
    void allInterfaces(QJsonObject &listing);
    // Appends the name of every command slot of this subtree (duplicates and unpublished ones included).
    void allInterfaces(QStringList &names);

protected slots:
    // Answers "help_interfaces": "results" holds the usage of every command of this subtree.
    virtual void help_interfaces(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject);

protected:
    QString m_id;

private:
    bool dispatch(const QByteArray &prefix, bool viaCall, QJsonObject &reply, const QJsonObject &request,
                  KP2Cabinet *cabinet);

    // The command slots of this router's class, by name ("__LS__" names included), made on first dispatch: the
    // meta-object never changes, and a search of it by signature cost most of a request's time.
    const QHash<QByteArray, int> &slotIndexes() const;

    mutable std::mutex m_lock;
    QList<KP2TodoRouter *> m_children;  // guarded by m_lock
    mutable std::once_flag m_slotsOnce;
    mutable QHash<QByteArray, int> m_slots;  // written once, under m_slotsOnce

    Q_DISABLE_COPY(KP2TodoRouter)
};
