// QivClient: the backup client. It holds the settings, the cached machine serial number, the backup and download
// queues and its three background threads (scheduler, backup worker, download worker, each a KP2Worker), and
// implements every operation behind the service's RPC commands.
// Thread-safe: operations run on connection threads and on the client's own threads at the same time; the settings
// are swapped whole under a lock and the flags are atomics. The client outlives its threads (it lives as long as the
// process); a client destroyed earlier first stops them (see the destructor).
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QReadWriteLock>
#include <QString>
#include <atomic>
#include <mutex>

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

    // Settings (the settings file below the appliance root).
    bool loadSettings(KP2Journals &journals, QJsonObject *view);
    bool settingsLoad(KP2Journals &journals, QJsonObject &view);
    // Start-up hook: loads the settings and starts the scheduler. Always true.
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

    // Remote store.
    bool updateAlias() const;
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
    // The bodies of the three threads (see KP2Worker): true when they have run out of work, false when they give up
    // and leave the queue for the next thread. The scheduler's work never runs out; it ends when asked to stop.
    bool scheduleRun();
    bool backupRun();
    bool downloadRun();
    void backupCycle(KP2Journals &journal);
    void uploadOne(const QString &snapshot);
    void restoreOne(const QJsonObject &task);
    // Listing shared by both remote listings: false (and the trace line) when the tool fails.
    bool remoteList(const QString &path, QJsonArray &lines) const;

    std::atomic<bool> m_active{false};
    mutable std::mutex m_snLock;  // guards m_sn
    QString m_sn;
    std::atomic<qint64> m_reportInterval{60};
    std::atomic<qint64> m_backupInterval{5};
    mutable QReadWriteLock m_credLock;  // guards m_cred: replaced whole by loadSettings, read by the remote operations
    Credentials m_cred;
    KP2LFQueue<QString> m_backupQueue;
    KP2LFQueue<QJsonObject> m_downloadQueue;
    BXStorage m_storage;
    TimeUnits m_units;
    QivStatus m_status;
    // The client's threads; the destructor stops them before any other member goes.
    KP2Worker m_scheduler;
    KP2Worker m_backupWorker;
    KP2Worker m_downloadWorker;
};
