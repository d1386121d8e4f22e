// QivClient: the backup client. It holds the settings, the cached machine serial number, the backup and download
// queues and its three background threads (scheduler, backup worker, download worker, each a KP2Worker), and
// implements every operation behind the service's RPC commands.
// Thread-safe: operations run on connection threads and on the client's own threads at the same time; the settings
// are swapped whole under a lock and the flags are atomics. The client outlives its threads (it lives as long as the
// process); a client destroyed earlier first stops them (see the destructor).
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QReadWriteLock>
#include <QSet>
#include <QString>
#include <atomic>
#include <list>
#include <mutex>
#include <vector>

#include "bxstorage.h"
#include "kp2journals.h"
#include "kp2lfqueue.h"
#include "kp2worker.h"
#include "qivstatus.h"

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
    // What a settings file (its JSON object) sets: the intervals raised to their floors of 60 s and 5 min (a value
    // that is no integer in the int range counts as 0), the credentials trimmed ("" for anything but a string),
    // the wish for backups as toBool. Pure; loadSettings applies these values.
    struct Settings {
        int reportSeconds = 60;
        int backupMinutes = 5;
        QString url;
        QString uid;
        QString pwd;
        bool activeWanted = false;
    };
    static Settings settingsOf(const QJsonObject &file);
    // The settings view of those values with the active flag in force: "active" (0/1), "report" {"interval"},
    // "orvane" {"url", "uid", "pwd", "interval"}, and "dmpaths" exactly as the file has it when it has one.
    static QJsonObject settingsView(const QJsonObject &file, const Settings &settings, bool active);
    bool settingsLoad(KP2Journals &journals, QJsonObject &view);
    // Start-up hook: removes the temporary files of a settings save that was killed midway, loads the settings and
    // starts the scheduler. Always true. The snapshots left on the machine are queued by the caller
    // (queueLeftovers) once the service serves.
    bool loadConfigure(KP2Journals &journals, const QJsonObject &config);
    // Writes the settings file atomically, reloads it and starts the scheduler if none runs. False when the file
    // could not be written; nothing is recorded then.
    bool settingsSave(KP2Journals &journals, const QJsonObject &settings);

    // Storage and machine identity.
    bool storageLoad(KP2Journals &journals, QJsonObject &map);
    // The machine serial number from the core agent, cached once known; empty while unknown. May block up to 15 s.
    QString machineSn();

    // Backups.
    bool zfsbackup(KP2Journals &journals, const QString &dmpath);

    // A snapshot whose upload has not completed: queued by a backup, being uploaded, or left over on the machine by
    // an earlier run of the service (found at start and queued again). Its remote object, partial or absent, is no
    // backup yet, so the listings leave it out.
    struct PendingSnapshot {
        enum State { Queued, Uploading, LeftOver };
        QString name;  // "dataset@qiv_..."
        State state = Queued;
        QDateTime started;  // when its upload began (Uploading only)
    };
    // The pending snapshots in the order they are uploaded. Thread-safe; returns a copy of its own, made under the
    // lock: a copy of the QList itself would share its nodes, and the first change on either side would then copy or
    // free them outside the lock.
    std::vector<PendingSnapshot> pendingSnapshots() const;
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
    struct Credentials {
        QString url;
        QString uid;
        QString pwd;
    };
    Credentials credentials() const;
    void markPending(const QString &snapshot, PendingSnapshot::State state);
    // Appends to m_pending and to every live PendingWatch. REQUIRES: m_pendingLock held.
    void appendPendingLocked(const QString &snapshot, PendingSnapshot::State state);
    void markUploading(const QString &snapshot);
    void dropPending(const QString &snapshot);
    // The names of every snapshot pending at any moment between its construction and names(). A listing reads the
    // store before it filters, and an upload that ends in between (complete, or failed and removed) was partial
    // when the tool saw it. Construct and call on one thread.
    class PendingWatch {
    public:
        explicit PendingWatch(const QivClient &client);
        ~PendingWatch();
        QSet<QString> names() const;

    private:
        const QivClient &m_client;
        std::list<QSet<QString>>::iterator m_names;
        Q_DISABLE_COPY(PendingWatch)
    };
    // The listing lines whose object (prefix + "key", a path below the machine root) is none of the snapshots named.
    static QJsonArray withoutPending(const QJsonArray &lines, const QString &prefix, const QSet<QString> &snapshots);
    // The bodies of the three threads (see KP2Worker): true when they have run out of work, false when they give up
    // and leave the queue for the next thread. The scheduler's work never runs out; it ends when asked to stop.
    bool scheduleRun();
    bool backupRun();
    bool downloadRun();
    void backupCycle(KP2Journals &journal);
    void uploadOne(const QString &snapshot);
    void restoreOne(const QJsonObject &task);
    // Listing shared by both remote listings: false when the tool fails, with its standard error in *standardError.
    bool remoteList(const QString &path, QJsonArray &lines, QByteArray *standardError) const;

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
    mutable QReadWriteLock m_credLock;  // guards m_cred: replaced whole by loadSettings, read by the remote operations
    Credentials m_cred;
    KP2LFQueue<QString> m_backupQueue;
    mutable std::mutex m_pendingLock;  // guards m_pending and m_pendingWatches
    QList<PendingSnapshot> m_pending;
    mutable std::list<QSet<QString>> m_pendingWatches;  // one per PendingWatch alive; each name pending is added
    KP2LFQueue<QJsonObject> m_downloadQueue;
    BXStorage m_storage;
    TimeUnits m_units;
    QivStatus m_status;
    // The client's threads; the destructor stops them before any other member goes.
    KP2Worker m_scheduler;
    KP2Worker m_backupWorker;
    KP2Worker m_downloadWorker;
};
