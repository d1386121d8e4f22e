// RestoreJob: brings one backup back from the object store into a new ZFS dataset, with the whole chain it needs.
// It lists the object's folder once to resolve the chain (the object, its base, ... down to a full) and learn the
// sizes, checks that the staging directory has room for the largest object, then for each object, oldest first,
// fetches it there (OrvTool::fetch), checks that the staged file has exactly the listed size (the tool's exit code
// says nothing reliable), and receives it into the dataset (ZfsTool::receive: no -F, an existing dataset is never
// overwritten; -u for all but the last). A chain that fails after its first receive destroys the dataset it
// created. The staged file is removed in every case.
// Not thread-safe: one job is run by one thread (the client's download worker); several jobs may run at once.
#pragma once

#include <QJsonValue>
#include <QString>
#include <functional>

#include "backupchains.h"
#include "orvtool.h"
#include "zfstool.h"

class RestoreJob {
public:
    // Where a restore stands: object `object` (1-based) of `objects` in the chain, whose earlier objects held
    // bytesBefore of the chain's total bytes.
    struct Progress {
        int object = 0;
        int objects = 0;
        qint64 bytesBefore = 0;
        qint64 total = 0;
    };
    // What the job tells its owner while it runs; every callback is optional and runs on the job's thread.
    struct Observer {
        std::function<void(const QString &stagedFile)> staged;
        // Repeatedly while an object is fetched: bytes of the chain fetched so far.
        std::function<void(const Progress &progress, qint64 bytes)> downloading;
        std::function<void(const Progress &progress)> receiving;
        std::function<bool()> stopRequested;  // polled while programs run; true kills them and fails the job
    };

    // remotePath: the object's full path for the tool ("myorvane/bucket1/<serial>/tank/data/qiv_..."); dataset: the
    // dataset to create; staging: the directory to stage in (created when missing); id names the staged file.
    RestoreJob(const OrvTool &tool, const ZfsTool &zfs, int id, const QString &remotePath, const QString &dataset,
               const QString &staging);

    // The age identity file that an encrypted object (a name ending in ".age") is decrypted with; none by default.
    void setIdentity(const QString &identity) { m_identity = identity; }

    // Runs the whole restore, blocking: the listing and the start of each program are bounded, the fetch and the
    // receive last as long as the data takes. True when `zfs receive` succeeded; otherwise *reason says why (the
    // tool's or zfs's standard error, the size mismatch, the lack of room). The stages the object's name carries are
    // undone between the staged file and zfs (StreamStages); an encrypted object without a usable identity file
    // fails before anything is listed or fetched.
    bool run(const Observer &observer, QString *reason);

    // The staged file of this job: stagedFileName(id) in the staging directory.
    QString stagedFile() const;
    // The name of the file a restore with this id stages its object in.
    static QString stagedFileName(int id);

    // A ZFS file-system name: components of letters, digits, "_", "-", ":", ".", " " separated by single "/", the
    // first starting with a letter (so never with "-", which zfs would read as an option), no "." or ".." component,
    // shorter than 256 characters.
    static bool isValidDatasetName(const QString &name);

    // Bytes available to an unprivileged writer in the file system holding dir; -1 when it cannot be told.
    static qint64 freeBytes(const QString &dir);

private:
    // The chain that restores the object at m_remotePath, from one listing of its folder: its full first.
    bool resolve(QList<BackupChains::Object> *chain, QString *reason) const;
    // Fetches, checks and receives one object of the chain, and marks the snapshot received; the staged file goes in
    // every case. *created turns true once a receive has made the dataset.
    bool restoreOne(const Observer &observer, const QString &path, qint64 size, const Progress &progress, bool *created,
                    QString *reason);
    // Destroys the dataset this restore created by its earlier receives; *reason says how that went.
    void undoReceives(QString *reason) const;

    OrvTool m_tool;
    ZfsTool m_zfs;
    int m_id;
    QString m_remotePath;
    QString m_dataset;
    QString m_staging;
    QString m_identity;
};
