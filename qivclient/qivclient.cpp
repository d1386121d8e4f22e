#include "qivclient.h"

#include <QDateTime>
#include <mutex>
#include <shared_mutex>

#include "approot.h"
#include "kp2file.h"
#include "kp2localserver.h"
#include "kp2utils.h"
#include "qivclient_p.h"
#include "resultcodes.h"
#include "streamstages.h"

namespace {

const char *const kAlias = "myorvane";
const char *const kBucket = "bucket1";

}  // namespace

namespace qivclient_p {

void traceAt(const char *file, int line, const char *function, const QString &label, const QVariant &value) {
    std::lock_guard<std::mutex> lock(PRINT_MUTEX);
    PRINTPOS(file, line, function);
    PRINTNAME(label);
    PRINTLN(value);
}

QString textUpToNul(const QByteArray &bytes) {
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

}  // namespace qivclient_p

QivClient::QivClient(QObject *parent)
    : QObject(parent),
      // The scheduler always has work: only a stop request ends it, and a start() that withdraws the request while
      // the thread is ending keeps that thread going.
      m_scheduler([this] { return scheduleRun(); }, [] { return true; }),
      m_backupWorker([this] { return backupRun(); }, [this] { return m_backupQueue.count() > 0; }),
      m_downloadWorker([this] { return downloadRun(); }, [this] { return m_downloadQueue.count() > 0; }),
      m_destroyer([this] { return destroyRun(); }, [this] { return m_destroyQueue.count() > 0; }) {}

QivClient::~QivClient() {
    // Only tests destroy a client; the service's client lives until the process ends. The scheduler goes first
    // because its backup cycles start the backup worker, and the backup worker before the destroyer it feeds.
    // Stopping waits without a limit because an upload in progress cannot be cut short without losing it; every
    // other step of the threads is bounded.
    m_scheduler.stop();
    m_backupWorker.stop();
    m_downloadWorker.stop();
    m_destroyer.stop();
}

OrvTool QivClient::storeTool() const {
    return OrvTool(AppRoot::path(AppRoot::StoreTool));
}

// ---- settings ----

ClientSettings QivClient::settings() const {
    std::shared_lock<std::shared_mutex> lock(m_settingsLock);
    return m_settings;
}

bool QivClient::loadSettings(KP2Journals &journals, QJsonObject *view) {
    // Each load reads the file and takes a number under the lock, asks for the serial number without it (that may
    // take 15 s) and applies its values under the lock only when no load that read the file later has applied
    // its own. So the values in force are always those of the newest file read, and the active flag goes straight
    // from one file's value to the next: a load never clears it on the way.
    QJsonObject file;
    quint64 generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_loadLock);
        generation = ++m_loadGeneration;
        if (!KP2File::loadJson(file, AppRoot::path(AppRoot::SettingsFile))) {
            m_appliedGeneration = generation;
            m_activeWanted = false;
            m_active = false;
            journals.setErr(ResultSettingsUnreadable,
                            QStringLiteral("读配置文件失败: ") + QLatin1String(AppRoot::SettingsFile));
            return false;
        }
    }
    const ClientSettings settings = ClientSettings::of(file);
    const bool wanted = settings.activeWanted;
    const bool active = wanted && !machineSn().isEmpty();

    bool uploadsWaiting = false;
    {
        std::lock_guard<std::mutex> lock(m_loadLock);
        if (generation > m_appliedGeneration) {
            m_appliedGeneration = generation;
            m_reportInterval = settings.reportSeconds * m_units.secondMs;
            m_backupInterval = settings.backupMinutes * m_units.minuteMs;
            {
                std::lock_guard<std::shared_mutex> settingsLock(m_settingsLock);
                m_settings = settings;
            }
            m_activeWanted = wanted;
            m_active = active;
            uploadsWaiting = active && m_backupQueue.count() > 0;
        }
    }
    // Snapshots queued while backups could not run (left over from before a restart, or taken while inactive) go
    // up as soon as they can.
    if (uploadsWaiting) m_backupWorker.start();

    if (view) {
        const QJsonObject shown = settings.view(file, active);
        for (auto it = shown.begin(); it != shown.end(); ++it) view->insert(it.key(), it.value());
    }
    return true;
}

bool QivClient::settingsLoad(KP2Journals &journals, QJsonObject &view) {
    if (!loadSettings(journals, &view)) return false;
    view.insert(QStringLiteral("inbackup"), m_backupWorker.isRunning() ? 1 : 0);
    const QString backupTime =
        qivclient_p::textUpToNul(KP2File::readAll(AppRoot::path(AppRoot::BackupTimeFile)).trimmed());
    if (!backupTime.isEmpty()) view.insert(QStringLiteral("backuptime"), backupTime);
    return true;
}

bool QivClient::loadConfigure(KP2Journals &journals, const QJsonObject &config) {
    Q_UNUSED(config);
    KP2File::removeSaveLeftovers(AppRoot::path(AppRoot::SettingsFile));
    KP2File::removeSaveLeftovers(AppRoot::path(AppRoot::StatusFile));
    m_status.open(AppRoot::path(AppRoot::StatusFile));
    if (loadSettings(journals, nullptr)) m_scheduler.start();
    return true;
}

bool QivClient::settingsSave(KP2Journals &journals, const QJsonObject &settings) {
    // Stage settings that no upload or restore could use are refused before anything is written.
    QString parameter, reason;
    if (!StreamStages::checkSettings(settings, &parameter, &reason)) {
        journals.add(PRETTY(Q_FUNC_INFO, __LINE__), QStringLiteral("check ") + parameter, false, reason);
        journals.setErr(ResultInvalidParameter, QStringLiteral("参数无效: ") + parameter);
        TRACE_AS(QStringLiteral("settings refused"), parameter + QStringLiteral(": ") + reason);
        return false;
    }
    // Written whole or not at all, so that neither a crash nor the scheduler's concurrent read sees half a file.
    if (!KP2File::saveJsonAtomic(AppRoot::path(AppRoot::SettingsFile), settings, true)) return false;
    if (!loadSettings(journals, nullptr)) {
        m_scheduler.requestStop();
        return true;
    }
    // start() withdraws the stop request: a scheduler told to stop by an earlier save that could not be read back
    // keeps running after all.
    m_scheduler.start();
    return true;
}

// ---- storage and machine identity ----

bool QivClient::storageLoad(KP2Journals &journals, QJsonObject &map) {
    Q_UNUSED(journals);
    map = QJsonObject();
    const QJsonObject mounts = m_storage.mountpoints();
    for (auto it = mounts.begin(); it != mounts.end(); ++it) {
        const QJsonObject mount = it.value().toObject();
        if (mount.value(QStringLiteral("fstype")).toString() != QLatin1String("zfs")) continue;
        const QString vg = mount.value(QStringLiteral("vg")).toString();
        const QString lv = mount.value(QStringLiteral("lv")).toString();
        QJsonObject group = map.value(vg).toObject();
        group.insert(lv, mount);
        map.insert(vg, group);
    }
    return true;
}

QString QivClient::machineSn() {
    {
        std::lock_guard<std::mutex> lock(m_snLock);
        if (!m_sn.isEmpty()) return m_sn;
    }
    // The query runs without the lock so that a silent agent blocks only the callers that need the answer; two
    // first callers may both ask, and both store the same text.
    QJsonObject answer;
    if (!KP2LocalServer::localRequest(AppRoot::path(AppRoot::AgentSocket), QJsonObject{{"cmd", "lpc_zqlicense_info"}},
                                      &answer, 15))
        return QString();
    if (!answer.contains(QStringLiteral("err")) || toInt(answer.value(QStringLiteral("err"))) != 0) return QString();
    const QString sn = answer.value(QStringLiteral("results"))
                           .toObject()
                           .value(QStringLiteral("machine"))
                           .toObject()
                           .value(QStringLiteral("sn"))
                           .toString();
    // The serial number becomes one folder of every remote path: one that is no single folder name would lead
    // outside this machine's own backups, so it counts as no answer.
    if (sn.contains(QLatin1Char('/')) || sn == QLatin1String(".") || sn == QLatin1String("..")) return QString();
    std::lock_guard<std::mutex> lock(m_snLock);
    if (m_sn.isEmpty()) m_sn = sn;
    return m_sn;
}

QString QivClient::machineRoot() {
    return QStringLiteral("%1/%2/%3/").arg(QLatin1String(kAlias), QLatin1String(kBucket), machineSn());
}

bool QivClient::statusLoad(KP2Journals &journal, QJsonObject &status) {
    Q_UNUSED(journal);
    const QStringList selected =
        toStrings(KP2File::readJsonObject(AppRoot::path(AppRoot::SettingsFile)).value(QStringLiteral("dmpaths")), true);
    // The pending uploads are the client's own record, the one the listings are filtered by.
    status = m_status.toObject(selected, m_pending.toJson());
    return true;
}
