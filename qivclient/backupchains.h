// BackupChains: the backups of one dataset as the store lists them, grouped into chains. A chain is one full backup
// and the incrementals that descend from it, each sent from the one before; only a whole chain up to an object
// restores it. Built from one listing of the dataset's folder, so that restores and prunes act on what the store
// holds, whatever the machine still has. Pure: a value built once, const afterwards.
#pragma once

#include <QJsonArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include "backupname.h"

class BackupChains {
public:
    struct Object {
        QString name;  // the key below the dataset's folder
        BackupName parsed;
        qint64 size = -1;  // as listed; -1 when the listing gives no number
    };

    // The listing lines of the dataset's folder (OrvTool::parseListing); keys that name no backup are left out.
    static BackupChains fromListing(const QJsonArray &lines);
    explicit BackupChains(const QList<Object> &objects = QList<Object>());

    bool contains(const QString &name) const { return indexOf(name) >= 0; }
    // The objects that restore name, its full first and name last. False when name is not listed, or with
    // *missing = "qiv_<B>" when a base on the way is not in the store.
    bool chainTo(const QString &name, QList<Object> *chain, QString *missing = nullptr) const;
    // The number of objects of the whole chain up to name (1 for a full); 0 when name is not listed or its chain is
    // broken.
    int lengthTo(const QString &name) const;

    // What a prune that keeps the newest `keep` chains does: every object of an older chain, each chain from its
    // newest object back to its full (so that a prune cut off at any moment leaves only restorable chains), and the
    // incrementals whose chain is broken and that are older than the oldest full kept, first. The chain that holds
    // protectedName (the machine's kept base) is kept whatever its age. keep below 1 counts as 1.
    struct Prune {
        QStringList remove;  // in the order to remove them
        QStringList keep;    // in listing order
    };
    Prune prune(int keep, const QString &protectedName = QString()) const;

private:
    int indexOf(const QString &name) const;
    // The object that incremental i is sent from, a whole chain's when there is one; -1 when the store has none.
    // path: the objects already on the way.
    int baseOf(int i, QSet<int> path) const;
    // The full that the chain up to object i starts with; -1 when it is broken, with *missing = the base not found.
    int rootFrom(int i, QSet<int> path, QString *missing) const;

    QList<Object> m_objects;
};
