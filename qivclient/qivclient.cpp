#include "qivclient.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QReadLocker>
#include <QSet>
#include <QWriteLocker>
#include <algorithm>

#include "approot.h"
#include "kp2file.h"
#include "kp2localserver.h"
#include "kp2utils.h"
#include "orvtool.h"
#include "restorejob.h"

namespace {

const char *const kAlias = "myorvane";
const char *const kBucket = "bucket1";

// The position printed in the scheduler's two trace lines. It is part of the service's output, which readers of the
// trace match on, and not the position of the code that prints them in this file.
const char *const kSchedulerTraceFile = "qivclient.cpp";
const char *const kSchedulerTraceFunction = "scheduleRun";
const int kReportTraceLine = 431;
const int kBackupTraceLine = 441;

// A trace line whose label is given as text rather than taken from the expression, for the lines whose label is
// fixed (the tool's standard error, the scheduler's markers at their established positions).
void traceAt(const char *file, int line, const char *function, const QString &label, const QVariant &value) {
    std::lock_guard<std::mutex> lock(PRINT_MUTEX);
    PRINTPOS(file, line, function);
    PRINTNAME(label);
    PRINTLN(value);
}
#define TRACE_AS(label, value) traceAt(__FILE__, __LINE__, __FUNCTION__, label, value)

QString textUpToNul(const QByteArray &bytes) {
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

OrvTool storeTool() {
    return OrvTool(AppRoot::path(AppRoot::StoreTool));
}

}  // namespace

QivClient::QivClient(QObject *parent)
    : QObject(parent),
      // The scheduler always has work: only a stop request ends it, and a start() that withdraws the request while
      // the thread is ending keeps that thread going.
      m_scheduler([this] { return scheduleRun(); }, [] { return true; }),
      m_backupWorker([this] { return backupRun(); }, [this] { return m_backupQueue.count() > 0; }),
      m_downloadWorker([this] { return downloadRun(); }, [this] { return m_downloadQueue.count() > 0; }) {}

QivClient::~QivClient() {
    // Only tests destroy a client; the service's client lives until the process ends. The scheduler goes first
    // because its backup cycles start the backup worker. Stopping waits without a limit because an upload in
    // progress cannot be cut short without losing it; every other step of the threads is bounded.
    m_scheduler.stop();
    m_backupWorker.stop();
    m_downloadWorker.stop();
}

// ---- settings ----

QivClient::Credentials QivClient::credentials() const {
    QReadLocker lock(&m_credLock);
    return m_cred;
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
            journals.setErr(9991, QStringLiteral("读配置文件失败: ") + QLatin1String(AppRoot::SettingsFile));
            return false;
        }
    }
    const Settings settings = settingsOf(file);
    const Credentials cred{settings.url, settings.uid, settings.pwd};
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
                QWriteLocker credLock(&m_credLock);
                m_cred = cred;
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
        const QJsonObject shown = settingsView(file, settings, active);
        for (auto it = shown.begin(); it != shown.end(); ++it) view->insert(it.key(), it.value());
    }
    return true;
}

QivClient::Settings QivClient::settingsOf(const QJsonObject &file) {
    const QJsonObject report = file.value(QStringLiteral("report")).toObject();
    const QJsonObject orvane = file.value(QStringLiteral("orvane")).toObject();
    Settings settings;
    settings.reportSeconds = qMax(60, toInt(report.value(QStringLiteral("interval"))));
    settings.backupMinutes = qMax(5, toInt(orvane.value(QStringLiteral("interval"))));
    // QJsonValue::toString() gives "" for anything that is not a string.
    settings.url = orvane.value(QStringLiteral("url")).toString().trimmed();
    settings.uid = orvane.value(QStringLiteral("uid")).toString().trimmed();
    settings.pwd = orvane.value(QStringLiteral("pwd")).toString().trimmed();
    settings.activeWanted = toBool(file.value(QStringLiteral("active")));
    return settings;
}

QJsonObject QivClient::settingsView(const QJsonObject &file, const Settings &settings, bool active) {
    QJsonObject view{{"active", active ? 1 : 0},
                     {"report", QJsonObject{{"interval", settings.reportSeconds}}},
                     {"orvane", QJsonObject{{"url", settings.url},
                                            {"uid", settings.uid},
                                            {"pwd", settings.pwd},
                                            {"interval", settings.backupMinutes}}}};
    if (file.contains(QStringLiteral("dmpaths")))
        view.insert(QStringLiteral("dmpaths"), file.value(QStringLiteral("dmpaths")));
    return view;
}

bool QivClient::settingsLoad(KP2Journals &journals, QJsonObject &view) {
    if (!loadSettings(journals, &view)) return false;
    view.insert(QStringLiteral("inbackup"), m_backupWorker.isRunning() ? 1 : 0);
    const QString backupTime = textUpToNul(KP2File::readAll(AppRoot::path(AppRoot::BackupTimeFile)).trimmed());
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

// ---- threads ----

bool QivClient::scheduleRun() {
    KP2Journals journal;
    QElapsedTimer reportTimer;
    QElapsedTimer backupTimer;
    reportTimer.start();
    backupTimer.start();
    while (!m_scheduler.stopRequested()) {
        if (!m_active.load()) {
            m_scheduler.waitForStop(m_units.passMs);
            continue;
        }
        if (reportTimer.elapsed() > m_reportInterval.load()) {
            reportTimer.restart();
            traceAt(kSchedulerTraceFile, kReportTraceLine, kSchedulerTraceFunction, QStringLiteral("\"Reporting\""),
                    QStringLiteral("Reporting"));
            continue;
        }
        if (backupTimer.elapsed() > m_backupInterval.load()) {
            backupTimer.restart();
            backupCycle(journal);
            continue;
        }
        m_scheduler.waitForStop(m_units.passMs);
    }
    return true;
}

void QivClient::backupCycle(KP2Journals &journal) {
    // Each cycle starts its journal afresh, so failed snapshots do not pile up for the life of the thread.
    journal.reset(9999, QString(), QJsonArray());
    KP2File::saveText(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                      AppRoot::path(AppRoot::BackupTimeFile), QStringLiteral("UTF8"));
    traceAt(kSchedulerTraceFile, kBackupTraceLine, kSchedulerTraceFunction, QStringLiteral("\"Backuping\""),
            QStringLiteral("Backuping"));

    // Datasets are compared exactly as stored: a name with a stray blank selects nothing.
    const QStringList selected =
        toStrings(KP2File::readJsonObject(AppRoot::path(AppRoot::SettingsFile)).value(QStringLiteral("dmpaths")), true);
    const QJsonObject mounts = m_storage.mountpoints();
    for (auto it = mounts.begin(); it != mounts.end(); ++it) {
        const QJsonObject mount = it.value().toObject();
        if (mount.value(QStringLiteral("fstype")).toString() != QLatin1String("zfs")) continue;
        const QString dmpath = mount.value(QStringLiteral("dmpath")).toString();
        if (dmpath.isEmpty() || !selected.contains(dmpath)) continue;
        zfsbackup(journal, dmpath);
    }
}

bool QivClient::zfsbackup(KP2Journals &journals, const QString &dmpath) {
    const QString snapshot =
        dmpath + QStringLiteral("@qiv_") + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
    m_status.backupAttempted(dmpath);
    QProcess process;
    process.start(QStringLiteral("zfs"), {QStringLiteral("snapshot"), snapshot});
    const bool ok = process.waitForStarted(10000) && process.waitForFinished(30000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok) {
        const QString error = textUpToNul(process.readAllStandardError());
        journals.add(PRETTY(Q_FUNC_INFO, __LINE__), QStringLiteral("zfs snapshot ") + snapshot, false, error);
        m_status.backupFailed(dmpath, QStringLiteral("zfs snapshot %1: %2").arg(snapshot, error.trimmed()));
        return false;  // a zfs still running is killed by the QProcess destructor
    }
    m_status.snapshotTaken(snapshot);
    markPending(snapshot, PendingSnapshot::Queued);
    m_backupQueue.push(snapshot);
    m_backupWorker.start();
    return true;
}

int QivClient::queueLeftovers() {
    QProcess zfs;
    zfs.start(QStringLiteral("zfs"), {QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-t"),
                                      QStringLiteral("snapshot"), QStringLiteral("-o"), QStringLiteral("name")});
    const bool started = zfs.waitForStarted(10000);
    if (!started || !zfs.waitForFinished(30000) || zfs.exitStatus() != QProcess::NormalExit || zfs.exitCode() != 0) {
        TRACE_AS(QStringLiteral("zfs list"), started ? textUpToNul(zfs.readAllStandardError()) : zfs.errorString());
        return -1;  // a zfs still running is killed by the QProcess destructor
    }
    // One name a line; names may hold blanks, never a line break.
    QStringList leftovers;
    for (const QString &name : textUpToNul(zfs.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        const int at = name.indexOf(QLatin1Char('@'));
        if (at > 0 && name.midRef(at + 1).startsWith(QLatin1String("qiv_"))) leftovers.append(name);
    }
    // Oldest first: the names' "qiv_yyyyMMddHHmmss" parts sort in time order; the sort keeps zfs's order (creation
    // within a dataset) for equal stamps.
    std::stable_sort(leftovers.begin(), leftovers.end(), [](const QString &a, const QString &b) {
        return a.midRef(a.indexOf(QLatin1Char('@'))) < b.midRef(b.indexOf(QLatin1Char('@')));
    });
    int queued = 0;
    for (const QString &name : leftovers) {
        {
            std::lock_guard<std::mutex> lock(m_pendingLock);
            const bool known = std::any_of(m_pending.cbegin(), m_pending.cend(),
                                           [&](const PendingSnapshot &p) { return p.name == name; });
            if (known) continue;
            appendPendingLocked(name, PendingSnapshot::LeftOver);
        }
        m_backupQueue.push(name);
        ++queued;
    }
    if (queued > 0) m_backupWorker.start();
    return queued;
}

std::vector<QivClient::PendingSnapshot> QivClient::pendingSnapshots() const {
    std::lock_guard<std::mutex> lock(m_pendingLock);
    return std::vector<PendingSnapshot>(m_pending.cbegin(), m_pending.cend());
}

void QivClient::markPending(const QString &snapshot, PendingSnapshot::State state) {
    std::lock_guard<std::mutex> lock(m_pendingLock);
    appendPendingLocked(snapshot, state);
}

void QivClient::appendPendingLocked(const QString &snapshot, PendingSnapshot::State state) {
    m_pending.append(PendingSnapshot{snapshot, state, QDateTime()});
    for (QSet<QString> &watch : m_pendingWatches) watch.insert(snapshot);
}

void QivClient::markUploading(const QString &snapshot) {
    std::lock_guard<std::mutex> lock(m_pendingLock);
    for (PendingSnapshot &p : m_pending) {
        if (p.name != snapshot) continue;
        p.state = PendingSnapshot::Uploading;
        p.started = QDateTime::currentDateTime();
        return;
    }
}

void QivClient::dropPending(const QString &snapshot) {
    std::lock_guard<std::mutex> lock(m_pendingLock);
    for (int i = 0; i < m_pending.size(); ++i) {
        if (m_pending.at(i).name == snapshot) {
            m_pending.removeAt(i);
            return;
        }
    }
}

QivClient::PendingWatch::PendingWatch(const QivClient &client) : m_client(client) {
    std::lock_guard<std::mutex> lock(m_client.m_pendingLock);
    QSet<QString> now;
    for (const PendingSnapshot &p : m_client.m_pending) now.insert(p.name);
    m_names = m_client.m_pendingWatches.insert(m_client.m_pendingWatches.end(), now);
}

QivClient::PendingWatch::~PendingWatch() {
    std::lock_guard<std::mutex> lock(m_client.m_pendingLock);
    m_client.m_pendingWatches.erase(m_names);
}

QSet<QString> QivClient::PendingWatch::names() const {
    std::lock_guard<std::mutex> lock(m_client.m_pendingLock);
    return *m_names;
}

QJsonArray QivClient::withoutPending(const QJsonArray &lines, const QString &prefix, const QSet<QString> &snapshots) {
    if (snapshots.isEmpty()) return lines;
    QSet<QString> pendingKeys;
    for (const QString &name : snapshots) pendingKeys.insert(QString(name).replace(QLatin1Char('@'), QLatin1Char('/')));
    QJsonArray kept;
    for (const QJsonValue &line : lines) {
        if (!pendingKeys.contains(prefix + line.toObject().value(QStringLiteral("key")).toString())) kept.append(line);
    }
    return kept;
}

void QivClient::uploadOne(const QString &snapshot) {
    QString remote = snapshot;
    remote.replace(QLatin1Char('@'), QLatin1Char('/'));
    const QString path = machineRoot() + remote;
    markUploading(snapshot);
    QString failure;
    QElapsedTimer took;
    took.start();
    const bool uploaded = storeTool().upload(snapshot, path, &failure);
    if (!uploaded) TRACE_AS(QStringLiteral("upload failed"), snapshot + QStringLiteral(": ") + failure);
    // The size the status reports is the one the store lists, so that it is what a restore will fetch.
    qint64 size = -1;
    QString why;
    const bool listed = uploaded && RestoreJob::listedSize(storeTool(), path, &size, &why);
    m_status.uploadFinished(snapshot, uploaded, took.elapsed(), listed ? QJsonValue(size) : QJsonValue(), failure);
    // The snapshot goes in every case: a failed upload is retried by the next backup, not from this snapshot.
    QProcess::startDetached(QStringLiteral("zfs"), {QStringLiteral("destroy"), snapshot});
    // Complete or removed: either way the object under its name is no longer a partial upload.
    dropPending(snapshot);
}

bool QivClient::backupRun() {
    // Names stay queued for the next worker, which the next successful snapshot starts.
    if (!updateAlias()) return false;
    QString snapshot;
    while (!m_backupWorker.stopRequested() && m_backupQueue.pop(snapshot)) uploadOne(snapshot);
    return true;
}

// ---- remote store ----

bool QivClient::updateAlias(QString *why) const {
    const auto refused = [why](const QString &reason) {
        if (why) *why = reason;
        return false;
    };
    // The flag is set only when the settings ask for backups and the serial number is known, so a client whose
    // settings ask for them lacks the serial number.
    if (!m_active.load())
        return refused(m_activeWanted.load() ? QStringLiteral("机器序列号未知") : QStringLiteral("客户端未启用"));
    const Credentials cred = credentials();
    QStringList missing;
    if (cred.url.isEmpty()) missing << QStringLiteral("url");
    if (cred.uid.isEmpty()) missing << QStringLiteral("uid");
    if (cred.pwd.isEmpty()) missing << QStringLiteral("pwd");
    if (!missing.isEmpty()) return refused(QStringLiteral("存储凭据不完整: ") + missing.join(QStringLiteral(", ")));
    QByteArray standardError;
    if (storeTool().ensureAlias(cred.url, cred.uid, cred.pwd, &standardError)) return true;
    TRACE_AS(QStringLiteral("process.readAllStandardError()"), standardError);
    const QString toolSays = textUpToNul(standardError).trimmed();
    return refused(QStringLiteral("设置存储别名失败: ") + (toolSays.isEmpty() ? OrvTool::Alias : toolSays));
}

bool QivClient::remoteList(const QString &path, QJsonArray &lines, QByteArray *standardError) const {
    QByteArray output;
    if (!storeTool().ls(path, &output, standardError)) return false;
    lines = OrvTool::parseListing(output);
    return true;
}

bool QivClient::remoteAlload(KP2Journals &journal, QJsonObject &result) {
    QString why;
    if (!updateAlias(&why)) {
        TRACE("updateAlias is wrong");
        journal.setErr(9999, why);
        return false;
    }
    QJsonArray lines;
    QByteArray standardError;
    const PendingWatch pending(*this);
    if (!remoteList(machineRoot(), lines, &standardError)) {
        TRACE_AS(QStringLiteral("process.readAllStandardError()"), standardError);
        return false;
    }
    OrvTool::addAlloadEntries(withoutPending(lines, QString(), pending.names()), &result);
    return true;
}

bool QivClient::remoteLoadby(KP2Journals &journal, QJsonObject &result, const QString &dmpath) {
    TRACE_AS(QString(), QString());
    QString why;
    if (!updateAlias(&why)) {
        TRACE("updateAlias is wrong");
        journal.setErr(9999, why);
        return false;
    }
    const QString path = machineRoot() + dmpath;
    TRACE(path);
    QJsonArray lines;
    QByteArray standardError;
    const PendingWatch pending(*this);
    if (!remoteList(path, lines, &standardError)) {
        TRACE_AS(QStringLiteral("process.readAllStandardError()"), standardError);
        return false;
    }
    const QJsonArray backups = withoutPending(lines, dmpath + QLatin1Char('/'), pending.names());
    result.insert(QStringLiteral("snapshots"), OrvTool::loadbyEntries(backups, dmpath));
    return true;
}

bool QivClient::remoteRemove(KP2Journals &journal, const QString &subpath) {
    QString why;
    if (!updateAlias(&why)) {
        TRACE("updateAlias is wrong");
        journal.setErr(9999, why);
        return false;
    }
    QByteArray standardError;
    if (storeTool().rm(machineRoot() + subpath, &standardError)) return true;
    TRACE_AS(QStringLiteral("process.readAllStandardError()"), standardError);
    return false;
}

bool QivClient::remoteDwload(KP2Journals &journal, const QString &subpath, const QString &target) {
    QString why;
    if (!updateAlias(&why)) {
        TRACE("updateAlias is wrong");
        journal.setErr(9999, why);
        return false;
    }
    m_downloadQueue.push(QJsonObject{{"path", machineRoot() + subpath}, {"target", target}});
    m_downloadWorker.start();
    return true;
}

bool QivClient::downloadRun() {
    if (!updateAlias()) return false;
    QJsonObject task;
    while (!m_downloadWorker.stopRequested() && m_downloadQueue.pop(task)) {
        if (task.contains(QStringLiteral("restore"))) {
            restoreOne(task);
            continue;
        }
        // A failed download is dropped: there is nobody to report it to.
        storeTool().get(task.value(QStringLiteral("path")).toString(), task.value(QStringLiteral("target")).toString());
    }
    return true;
}

bool QivClient::remoteRestore(KP2Journals &journal, const QString &subpath, const QString &dataset,
                              const QString &staging, int *id) {
    if (!updateAlias()) {
        TRACE("updateAlias is wrong");
        journal.setErr(9999,
                       QStringLiteral("对象存储不可用: 备份未启用, 机器序列号未知, 存储参数不完整或别名设置失败"));
        return false;
    }
    *id = m_status.restoreQueued(subpath, dataset, staging);
    m_downloadQueue.push(
        QJsonObject{{"restore", *id}, {"path", machineRoot() + subpath}, {"dataset", dataset}, {"staging", staging}});
    m_downloadWorker.start();
    return true;
}

void QivClient::restoreOne(const QJsonObject &task) {
    const int id = task.value(QStringLiteral("restore")).toInt();
    RestoreJob job(storeTool(), id, task.value(QStringLiteral("path")).toString(),
                   task.value(QStringLiteral("dataset")).toString(), task.value(QStringLiteral("staging")).toString());
    RestoreJob::Observer observer;
    observer.staged = [&](const QString &file) { m_status.restoreStaged(id, file); };
    observer.downloading = [&](qint64 bytes, qint64 total) { m_status.restoreDownloading(id, bytes, total); };
    observer.receiving = [&] { m_status.restoreReceiving(id); };
    observer.stopRequested = [this] { return m_downloadWorker.stopRequested(); };
    QString reason;
    if (job.run(observer, &reason)) {
        m_status.restoreDone(id);
        return;
    }
    TRACE_AS(QStringLiteral("restore failed"), reason);
    m_status.restoreFailed(id, reason);
}

bool QivClient::statusLoad(KP2Journals &journal, QJsonObject &status) {
    Q_UNUSED(journal);
    const QStringList selected =
        toStrings(KP2File::readJsonObject(AppRoot::path(AppRoot::SettingsFile)).value(QStringLiteral("dmpaths")), true);
    // The pending uploads are the client's own record, the one the listings are filtered by.
    QJsonArray uploads;
    for (const PendingSnapshot &p : pendingSnapshots()) {
        static const char *const states[] = {"queued", "uploading", "leftover"};
        QJsonObject upload{{"snapshot", p.name}, {"state", QLatin1String(states[p.state])}};
        if (p.state == PendingSnapshot::Uploading)
            upload.insert(QStringLiteral("started"),
                          p.started.toOffsetFromUtc(p.started.offsetFromUtc()).toString(Qt::ISODate));
        uploads.append(upload);
    }
    status = m_status.toObject(selected, uploads);
    return true;
}
