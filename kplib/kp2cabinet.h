// KP2Cabinet: the environment of one connection, handed to every command slot. It is the connection's operation
// journal (KP2Journals) plus two small stores, a local flag and a token.
// Thread-safety: the value store and the keyed store each have their own mutex and may be used from any thread; the
// journal part, the local flag and the token belong to the connection's worker thread. Always passed by pointer.
#pragma once

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include "kp2journals.h"

class KP2CabinetPrivate;

class KP2Cabinet : public KP2Journals {
public:
    KP2Cabinet();
    ~KP2Cabinet() override;

    bool isLocal() const;
    void setLocal(bool local);
    QString token() const;
    void setToken(const QString &token);

    // Value store (its own lock).
    void insert(const QString &key, const QJsonValue &value);
    // Undefined when absent.
    QJsonValue value(const QString &key) const;
    // A copy of the whole store.
    QJsonObject object() const;

    // Keyed store (its own lock).
    void set(const QString &key, const QJsonValue &value);
    // False, and out untouched, when key is absent.
    bool get(const QString &key, QJsonValue &out) const;
    // The value as text; empty when absent or not a string.
    QString getString(const QString &key) const;
    bool contains(const QString &key) const;
    void remove(const QString &key);
    QStringList keys() const;
    void clear();

private:
    KP2CabinetPrivate *d;
    Q_DISABLE_COPY(KP2Cabinet)
};

Q_DECLARE_METATYPE(KP2Cabinet *)
