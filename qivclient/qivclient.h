// QivClient: the backup client. It holds the settings, the cached machine serial number, the backup and download
// queues and its background threads (scheduler, backup worker, download worker and the destroyer of uploaded
// snapshots, each a KP2Worker), and implements every operation behind the service's RPC commands. Its sources are
// split by concern: qivclient.cpp (settings, storage, identity, status), qivclient_backup.cpp (scheduler, snapshots,
// uploads) and qivclient_remote.cpp (the store: listings, removal, downloads, restores).
// Thread-safe: operations run on connection threads and on the client's own threads at the same time; the settings
// are swapped whole under a lock and the flags are atomics. The client outlives its threads (it lives as long as the
// process); a client destroyed earlier first stops them (see the destructor).
#pragma once

#include <QJsonObject>
#include <QString>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <variant>

#include "bxstorage.h"
#include "clientsettings.h"
#include "kp2journals.h"
#include "kp2lfqueue.h"
#include "kp2worker.h"
#include "orvtool.h"
#include "pendinguploads.h"
#include "qivstatus.h"
#include "streamstages.h"
#include "zfstool.h"

class QivClient : public QObject {
    Q_OBJECT

public:
    explicit QivClient(QObject *parent = nullptr);
    // Asks the client's threads to stop and waits until none runs any more (an upload in progress is waited for).
    ~QivClient() override;

    // Settings (the settings file below the appliance root). Loads are serialised: the file is read and its
    // values applied as one step, so the client always ends up with the values of the latest file read, even when
    // an earlier load is still waiting for the serial number. The active flag is never cleared on the way: it
    // changes only when the file says otherwise. May block up to 15 s (machineSn()).
    bool loadSettings(KP2Journals &journals, QJsonObject *view);
    bool settingsLoad(KP2Journals &journals, QJsonObject &view);
    // Start-up hook: removes the temporary files of a settings save that was killed midway, loads the settings and
    // starts the scheduler. Always true. The snapshots left on the machine are queued by the caller
    // (queueLeftovers) once the service serves.
    bool loadConfigure(KP2Journals &journals, const QJsonObject &config);
    // Writes the settings file atomically, reloads it and starts the scheduler if none runs. False when the file
    // could not be written; nothing is recorded then. False, with 9996 "参数无效: <parameter>" and the reason as a
    // journal step, and nothing written, when the stream stages' settings are refused (StreamStages::checkSettings,
    // which may run age for up to 10 s).
    bool settingsSave(KP2Journals &journals, const QJsonObject &settings);
    // The settings in force (credentials, chains, stages), copied under their lock.
    ClientSettings settings() const;

    // Storage and machine identity.
    bool storageLoad(KP2Journals &journals, QJsonObject &map);
    // The machine serial number from the core agent, cached once known; empty while unknown. May block up to 15 s.
    QString machineSn();

    // Backups.
    // Snapshots dmpath and queues the snapshot for upload; *taken (when given) gets its name.
    bool zfsbackup(KP2Journals &journals, const QString &dmpath, QString *taken = nullptr);

    // The snapshots whose upload has not completed, in the order they are uploaded (see PendingUploads).
    std::vector<PendingUploads::Entry> pendingSnapshots() const { return m_pending.entries(); }
    // Lists the machine's snapshots (`zfs list`) and queues every "qiv_" snapshot that is not pending yet, oldest
    // first by the time stamp in its name, as left over, then starts the backup worker (which uploads them once the
    // alias can be brought up to date). Each upload overwrites whatever partial object is stored under its name.
    // Returns the number queued, -1 when zfs could not list (a trace line says why). Blocks up to 40 s.
    // REQUIRES: no backup is being queued or uploaded meanwhile (start-up, before the event loop serves a request
    // and before the scheduler's first backup): a snapshot uploaded and dropped between the listing and the check
    // would be queued again.
    int queueLeftovers();

    // Remote store.
    // True when the alias "myorvane" matches the settings or has just been set. Otherwise *why (when given) says in
    // the service's words why remote operations are refused: client not active, serial number unknown,
    // credentials incomplete, or the alias could not be stored (with the tool's standard error).
    bool updateAlias(QString *why = nullptr) const;
    bool remoteAlload(KP2Journals &journal, QJsonObject &result);
    bool remoteLoadby(KP2Journals &journal, QJsonObject &result, const QString &dmpath);
    bool remoteRemove(KP2Journals &journal, const QString &subpath);
    bool remoteDwload(KP2Journals &journal, const QString &subpath, const QString &target);
    // Queues the restore of the backup at subpath (below the machine root) into the new dataset, staged in staging,
    // on the download worker, and returns at once with its id in *id. False, with the reason in the journal, when
    // the store cannot be reached (see updateAlias).
    bool remoteRestore(KP2Journals &journal, const QString &subpath, const QString &dataset, const QString &staging,
                       int *id);
    // Removes the chains of the dataset dmpath beyond the newest keep (BackupChains::prune), never the chain of the
    // dataset's kept base; with dryRun nothing is removed. result gets "removed" ("wouldremove" in a dry run) and
    // "kept", paths below the machine root. False, with the reason in the journal, when the store cannot be reached,
    // the listing or zfs fails, or a removal fails (the objects removed before it are named).
    bool remotePrune(KP2Journals &journal, const QString &dmpath, int keep, bool dryRun, QJsonObject &result);
    // The backup status (QivStatus::toObject) with the datasets selected in the settings file.
    bool statusLoad(KP2Journals &journal, QJsonObject &status);

    // Observers, for the settings view and for tests.
    bool isActive() const { return m_active.load(); }
    bool isBackupRunning() const { return m_backupWorker.isRunning(); }
    bool isSchedulerRunning() const { return m_scheduler.isRunning(); }
    qint64 reportInterval() const { return m_reportInterval.load(); }
    qint64 backupInterval() const { return m_backupInterval.load(); }
    int backupQueueCount() const { return m_backupQueue.count(); }

    // The time units the scheduler works in. The product uses one second per report-interval unit, one minute per
    // backup-interval unit and one-second passes; tests shrink them so that schedules run in milliseconds.
    struct TimeUnits {
        qint64 secondMs = 1000;
        qint64 minuteMs = 60000;
        qint64 passMs = 1000;
    };
    // REQUIRES: called before any settings are loaded or threads started.
    void setTimeUnits(const TimeUnits &units) { m_units = units; }

    // Machine root of every remote path: "myorvane/bucket1/<serial>/".
    QString machineRoot();

private:
    // The tasks of the download worker: a plain fetch to a local path, or a restore into a new dataset.
    struct DownloadTask {
        QString path;  // the object's full path for the tool
        QString target;
    };
    struct RestoreTask {
        int id = 0;
        QString path;
        QString dataset;
        QString staging;
    };
    using StoreTask = std::variant<DownloadTask, RestoreTask>;

    OrvTool storeTool() const;
    ZfsTool zfsTool() const { return ZfsTool(); }
    // The one check before every remote operation: updateAlias(). On a refusal the trace line says so and, when
    // journal is given, it records the reason with code 9999.
    bool storeReady(KP2Journals *journal) const;
    // The bodies of the client's threads (see KP2Worker): true when they have run out of work, false when they give
    // up and leave the queue for the next thread. The scheduler's work never runs out; it ends when asked to stop.
    bool scheduleRun();
    bool backupRun();
    bool downloadRun();
    bool destroyRun();
    void backupCycle(KP2Journals &journal);
    void uploadOne(const QString &snapshot);
    // The dataset's snapshots kept as bases (ZfsTool::UploadedProperty set), newest last; empty, with *failure, when
    // zfs cannot list.
    QList<ZfsTool::Snapshot> keptBases(const QString &dataset, QString *failure) const;
    // The length of the chain that the newest kept base ends in the store, when the next backup may extend it
    // (shorter than fullEvery); else 0, and the next backup is full.
    int chainBefore(const QString &dataset, const QList<ZfsTool::Snapshot> &kept, int fullEvery);
    // Uploads snapshot, full or (with base) incremental; *object gets the object's name below the dataset.
    bool uploadAs(const QString &snapshot, const QString &base, const StreamStages &stages, QString *object,
                  QString *failure);
    // After an upload: keeps the snapshot as the next base (fullEvery above 1) or destroys it, and destroys the bases
    // it replaces. object is empty when the upload failed.
    void keepOrDestroy(const QString &snapshot, const QString &object, const QList<ZfsTool::Snapshot> &kept,
                       int fullEvery);
    // The prune of remotePrune; protect names the object whose chain stays (empty: the kept base's, from zfs).
    bool pruneDataset(const QString &dataset, int keep, bool dryRun, QString protect, QStringList *removed,
                      QStringList *kept, QString *why);
    // The prune after a full backup; its outcome goes into the dataset's status.
    void pruneAfterBackup(const QString &dataset, int keep, const QString &object);
    void restoreOne(const RestoreTask &task);
    // Listing shared by both remote listings, without the uploads pending at any moment while it ran: false when the
    // tool fails, with its standard error in *standardError.
    bool remoteList(const QString &path, const QString &prefix, QJsonArray &lines, QByteArray *standardError) const;

    std::atomic<bool> m_active{false};
    // Serialises loadSettings; m_loadGeneration numbers the file reads, m_appliedGeneration is the newest applied.
    std::mutex m_loadLock;
    quint64 m_loadGeneration = 0;             // guarded by m_loadLock
    quint64 m_appliedGeneration = 0;          // guarded by m_loadLock
    std::atomic<bool> m_activeWanted{false};  // the applied file asks for backups (the flag also needs the serial)
    mutable std::mutex m_snLock;              // guards m_sn
    QString m_sn;
    std::atomic<qint64> m_reportInterval{60};
    std::atomic<qint64> m_backupInterval{5};
    // Guards m_settings: replaced whole by loadSettings, read by the others. A standard lock rather than Qt's, so
    // that ThreadSanitizer sees it (Qt's own locks live in a library it does not instrument).
    mutable std::shared_mutex m_settingsLock;
    ClientSettings m_settings;
    KP2LFQueue<QString> m_backupQueue;
    PendingUploads m_pending;
    KP2LFQueue<StoreTask> m_downloadQueue;
    KP2LFQueue<QString> m_destroyQueue;  // uploaded snapshots to destroy
    BXStorage m_storage;
    TimeUnits m_units;
    QivStatus m_status;
    // The client's threads; the destructor stops them before any other member goes.
    KP2Worker m_scheduler;
    KP2Worker m_backupWorker;
    KP2Worker m_downloadWorker;
    KP2Worker m_destroyer;
};
