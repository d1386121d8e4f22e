// QivClient: the backup client. It holds the settings, the cached machine serial number, the backup and download
// queues and the flags of its threads (scheduler, backup worker, download worker), and implements every operation
// behind the service's RPC commands.
// Thread-safe: operations run on connection threads and on the client's own threads at the same time; the settings
// are swapped whole under a lock and the thread flags are atomics. The client outlives its threads (it lives as long
// as the process); a client destroyed earlier first stops them (see the destructor).
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QReadWriteLock>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "bxstorage.h"
#include "kp2journals.h"
#include "kp2lfqueue.h"

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
    void scheduleRun();
    void backupRun();

    // Remote store.
    bool updateAlias() const;
    bool remoteAlload(KP2Journals &journal, QJsonObject &result);
    bool remoteLoadby(KP2Journals &journal, QJsonObject &result, const QString &dmpath);
    bool remoteRemove(KP2Journals &journal, const QString &subpath);
    bool remoteDwload(KP2Journals &journal, const QString &subpath, const QString &target);
    bool downloadRun();

    // Observers, for the settings view and for tests.
    bool isActive() const { return m_active.load(); }
    bool isBackupRunning() const { return m_backupRunning.load(); }
    bool isSchedulerRunning() const { return m_schedulerRunning.load(); }
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

    // Test hook: runs on a worker (backup or download) after it has found its queue empty and before it clears
    // its running flag, the moment at which work handed over by another thread could otherwise be left behind.
    // REQUIRES: set before any worker starts.
    void setHandOverHook(std::function<void()> hook) { m_handOverHook = std::move(hook); }

    // Machine root of every remote path: "myorvane/bucket1/<serial>/".
    QString machineRoot();

private:
    struct Credentials {
        QString url;
        QString uid;
        QString pwd;
    };
    Credentials credentials() const;
    void startScheduler();
    void startBackupWorker();
    void startDownloadWorker();
    // Sleeps up to ms, returning early when the scheduler is asked to stop.
    void schedulerSleep(qint64 ms);
    void backupCycle(KP2Journals &journal);
    void uploadOne(const QString &snapshot);
    // Listing shared by both remote listings: false (and the trace line) when the tool fails.
    bool remoteList(const QString &path, QJsonArray &lines) const;

    std::atomic<bool> m_active{false};
    mutable std::mutex m_snLock;  // guards m_sn
    QString m_sn;
    std::atomic<qint64> m_reportInterval{60};
    std::atomic<qint64> m_backupInterval{5};
    mutable QReadWriteLock m_credLock;  // guards m_cred: replaced whole by loadSettings, read by the remote operations
    Credentials m_cred;
    std::atomic<bool> m_schedulerRunning{false};
    std::atomic<bool> m_schedulerStop{false};
    KP2LFQueue<QString> m_backupQueue;
    std::atomic<bool> m_backupRunning{false};
    std::atomic<bool> m_backupStop{false};
    KP2LFQueue<QJsonObject> m_downloadQueue;
    std::atomic<bool> m_downloadRunning{false};
    std::atomic<bool> m_downloadStop{false};
    BXStorage m_storage;
    TimeUnits m_units;
    // Threads started by the client that have not yet made their last access to it; the destructor waits for 0.
    std::atomic<int> m_liveThreads{0};
    std::function<void()> m_handOverHook;
    // Wakes the scheduler's sleep when it is asked to stop.
    std::mutex m_wakeLock;
    std::condition_variable m_wake;
};
