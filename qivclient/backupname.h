// BackupName: the name of a backup object below its dataset, which says all there is to know about it, so that a
// listing alone is enough to restore, prune or explain any backup:
//     qiv_<T>[_from_<B>][.zst][.age]
// <T> is the snapshot's time stamp (the snapshot is dataset@qiv_<T>); "_from_<B>" marks an incremental stream sent
// from the snapshot dataset@qiv_<B>; ".zst" and ".age" name the stages the stream went through, in the order they
// ran (compression, then encryption), and are undone in reverse. A name without any of them is a full, plain stream,
// as every backup of older versions is. A value type; pure functions.
#pragma once

#include <QString>

struct BackupName {
    QString stamp;      // <T>
    QString baseStamp;  // <B>; empty for a full backup
    bool compressed = false;
    bool encrypted = false;

    // Reads a name; false when it does not start with "qiv_" or a part it names is empty.
    static bool parse(const QString &name, BackupName *out);
    QString toString() const;

    bool isIncremental() const { return !baseStamp.isEmpty(); }
    // "qiv_<T>": the snapshot's name after its dataset's "@", and the name of the full, plain object of it.
    QString snapshot() const { return QStringLiteral("qiv_") + stamp; }
    // "qiv_<B>": the backup this one is sent from; empty for a full backup.
    QString base() const { return baseStamp.isEmpty() ? QString() : QStringLiteral("qiv_") + baseStamp; }
};
