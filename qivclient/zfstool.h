// ZfsTool: every run of `zfs` the service makes: snapshot, list the snapshots, destroy, receive, read and write a user
// property, and the words of `zfs send` for the upload line. It knows the argument vectors and the waits, and nothing
// else starts zfs. Thread-safe: immutable after construction; each call starts and owns its own process.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include "toolprocess.h"

// Waits of the zfs runs in milliseconds; tests shorten them.
struct ZfsToolWaits {
    int start = 10000;   // every run
    int finish = 30000;  // snapshot, list, get, set
    int poll = 500;      // how often a receive looks at its stop request
    int slice = 10000;   // destroy: no overall limit
};

class ZfsTool {
public:
    // program: the zfs executable, found through PATH unless it holds a "/".
    explicit ZfsTool(const QString &program = QStringLiteral("zfs"), const ZfsToolWaits &waits = ZfsToolWaits());

    QString program() const { return m_program; }

    // Each run below succeeds when zfs started, finished within its waits and returned 0; a run that misses a wait is
    // killed. *failure, where given, names the command and carries zfs's own standard error.

    // "snapshot" name. *standardError gets zfs's standard error as it wrote it.
    bool snapshot(const QString &name, QByteArray *standardError, QString *failure = nullptr) const;
    // The user property that marks a snapshot kept as the base of the next incremental backup; its value is the
    // name of the snapshot's backup object.
    static const QString UploadedProperty;  // "qiv:uploaded"
    // The user property that marks a snapshot a restore received (its value: the backup restored): it is no backup
    // waiting for its upload, whatever its name.
    static const QString RestoredProperty;  // "qiv:restored"
    struct Snapshot {
        QString name;      // "dataset@snapshot"
        QString uploaded;  // UploadedProperty's value; empty when it is not set
        QString restored;  // RestoredProperty's value; empty when it is not set
    };
    // "list" "-H" "-t" "snapshot" "-o" "name,qiv:uploaded,qiv:restored": every snapshot on the machine, in zfs's
    // order.
    bool listSnapshots(QList<Snapshot> *snapshots, QString *failure = nullptr) const;
    // "destroy" ["-r"] name; waits for the end with no overall limit (a large snapshot takes long to free). With
    // recursive, a dataset goes with its snapshots.
    bool destroy(const QString &name, QString *failure = nullptr, bool recursive = false) const;
    // "get" "-H" "-o" "value" property name: *value gets the property's value, "-" when it is not set.
    bool getProperty(const QString &name, const QString &property, QString *value, QString *failure = nullptr) const;
    // "set" property=value name.
    bool setProperty(const QString &name, const QString &property, const QString &value,
                     QString *failure = nullptr) const;
    struct ReceiveOptions {
        bool unmounted = false;  // "-u": the received file system is not mounted
        // Commands (argument vectors) the input runs through before zfs reads it, each into the next. With any, the
        // receive is one bash pipeline (toolprocess::pipelineLine: every word quoted, pipefail, every command dying
        // with the shell) that fails when any command fails, with their standard error in the failure.
        QList<QStringList> filters;
    };
    // "receive" ["-u"] dataset (never -F: an existing dataset is not overwritten), with standard input read from
    // inputFile, through options.filters when there are any. Waits without an overall limit, looking at
    // stopRequested every poll; a stop kills zfs (and every filter) and fails.
    bool receive(const QString &dataset, const QString &inputFile, const ReceiveOptions &options,
                 const toolprocess::StopCheck &stopRequested, QString *failure) const;

    // "mount" dataset.
    bool mount(const QString &dataset, QString *failure = nullptr) const;

    // The words of `zfs send` for snapshot, the first stage of the upload line: a full stream, or with base (a
    // snapshot of the same dataset) the incremental one from base ("-i").
    QStringList sendWords(const QString &snapshot, const QString &base = QString()) const;

private:
    QString m_program;
    ZfsToolWaits m_waits;
};
