// QivClient's backups: the scheduler, the snapshot, the uploads of the backup worker, the snapshots left over by an
// earlier run, and the destroyer of uploaded snapshots.
#include <QDateTime>
#include <QElapsedTimer>
#include <algorithm>

#include "approot.h"
#include "backupchains.h"
#include "backupname.h"
#include "kp2file.h"
#include "kp2utils.h"
#include "qivclient.h"
#include "qivclient_p.h"
#include "resultcodes.h"
#include "streamstages.h"

using qivclient_p::traceAt;
using statusnames::UploadState;

namespace {

// The position printed in the scheduler's two trace lines. It is part of the service's output, which readers of the
// trace match on, and not the position of the code that prints them.
const char *const kSchedulerTraceFile = "qivclient.cpp";
const char *const kSchedulerTraceFunction = "scheduleRun";
const int kReportTraceLine = 431;
const int kBackupTraceLine = 441;

// "qiv_yyyyMMddHHmmss" of "dataset@qiv_yyyyMMddHHmmss": the part that sorts snapshots in time order.
QStringRef stampOf(const QString &snapshot) {
    return snapshot.midRef(snapshot.indexOf(QLatin1Char('@')));
}

}  // namespace

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
    journal.reset(ResultNotRecorded, QString(), QJsonArray());
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

bool QivClient::zfsbackup(KP2Journals &journals, const QString &dmpath, QString *taken) {
    const QString snapshot =
        dmpath + QStringLiteral("@qiv_") + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
    m_status.backupAttempted(dmpath);
    QByteArray standardError;
    if (!zfsTool().snapshot(snapshot, &standardError)) {
        const QString error = qivclient_p::textUpToNul(standardError);
        journals.add(PRETTY(Q_FUNC_INFO, __LINE__), QStringLiteral("zfs snapshot ") + snapshot, false, error);
        m_status.backupFailed(dmpath, QStringLiteral("zfs snapshot %1: %2").arg(snapshot, error.trimmed()));
        return false;
    }
    m_status.snapshotTaken(snapshot);
    if (taken) *taken = snapshot;
    m_pending.add(snapshot, UploadState::Queued);
    m_backupQueue.push(snapshot);
    m_backupWorker.start();
    return true;
}

int QivClient::queueLeftovers() {
    QList<ZfsTool::Snapshot> snapshots;
    QString failure;
    if (!zfsTool().listSnapshots(&snapshots, &failure)) {
        TRACE_AS(QStringLiteral("zfs list"), failure);
        return -1;
    }
    // A kept base is uploaded already: it stays as the base of its dataset's next incremental. A snapshot a restore
    // received carries the name of the backup it came from, but it is the restored dataset's, not a backup to make.
    QStringList leftovers;
    for (const ZfsTool::Snapshot &snapshot : snapshots) {
        const int at = snapshot.name.indexOf(QLatin1Char('@'));
        if (at > 0 && snapshot.name.midRef(at + 1).startsWith(QLatin1String("qiv_")) && snapshot.uploaded.isEmpty() &&
            snapshot.restored.isEmpty())
            leftovers.append(snapshot.name);
    }
    // Oldest first: the names' "qiv_yyyyMMddHHmmss" parts sort in time order; the sort keeps zfs's order (creation
    // within a dataset) for equal stamps.
    std::stable_sort(leftovers.begin(), leftovers.end(),
                     [](const QString &a, const QString &b) { return stampOf(a) < stampOf(b); });
    int queued = 0;
    for (const QString &name : leftovers) {
        if (!m_pending.addIfAbsent(name, UploadState::LeftOver)) continue;
        m_backupQueue.push(name);
        ++queued;
    }
    if (queued > 0) m_backupWorker.start();
    return queued;
}

QList<ZfsTool::Snapshot> QivClient::keptBases(const QString &dataset, QString *failure) const {
    QList<ZfsTool::Snapshot> all;
    QList<ZfsTool::Snapshot> kept;
    if (!zfsTool().listSnapshots(&all, failure)) return kept;
    for (const ZfsTool::Snapshot &snapshot : all)
        if (!snapshot.uploaded.isEmpty() && snapshot.name.startsWith(dataset + QLatin1Char('@'))) kept.append(snapshot);
    // Newest last: the names' time stamps sort in time order.
    std::sort(kept.begin(), kept.end(),
              [](const ZfsTool::Snapshot &a, const ZfsTool::Snapshot &b) { return stampOf(a.name) < stampOf(b.name); });
    return kept;
}

int QivClient::chainBefore(const QString &dataset, const QList<ZfsTool::Snapshot> &kept, int fullEvery) {
    if (fullEvery <= 1 || kept.isEmpty()) return 0;
    // The store decides, not the machine: a base whose object was removed (or never fully stored) gives a full
    // backup, never an incremental that could not be restored.
    QByteArray output;
    if (!storeTool().ls(machineRoot() + dataset, &output)) return 0;
    const int length = BackupChains::fromListing(OrvTool::parseListing(output)).lengthTo(kept.last().uploaded);
    return length < fullEvery ? length : 0;
}

bool QivClient::uploadAs(const QString &snapshot, const QString &base, const StreamStages &stages, QString *object,
                         QString *failure) {
    // Queued snapshots are "dataset@qiv_<T>"; the object is named after <T>, and after <B> for an incremental.
    BackupName name;
    BackupName::parse(snapshot.mid(snapshot.indexOf(QLatin1Char('@')) + 1), &name);
    BackupName from;
    if (!base.isEmpty() && BackupName::parse(base.mid(base.indexOf(QLatin1Char('@')) + 1), &from))
        name.baseStamp = from.stamp;
    stages.mark(&name);
    *object = name.toString();
    const QString dataset = snapshot.left(snapshot.indexOf(QLatin1Char('@')));
    const QString path = machineRoot() + dataset + QLatin1Char('/') + *object;
    const OrvTool store = storeTool();
    return store.upload(OrvTool::Stream{zfsTool().sendWords(snapshot, base)} + stages.uploadFilters(), path, failure,
                        [&](qint64 bytes) { m_pending.setBytes(snapshot, bytes); });
}

void QivClient::uploadOne(const QString &snapshot) {
    const ClientSettings settings = this->settings();
    // The stages in force as the upload starts decide its filters and its object's name; objects already stored
    // keep theirs, and a restore reads them from the name.
    const StreamStages stages = StreamStages::of(settings);
    const QString dataset = snapshot.left(snapshot.indexOf(QLatin1Char('@')));
    m_pending.markUploading(snapshot);
    QElapsedTimer took;
    took.start();
    QString failure;
    const QList<ZfsTool::Snapshot> kept = keptBases(dataset, &failure);
    int chain = chainBefore(dataset, kept, settings.fullEvery);
    QString object;
    bool uploaded = false;
    if (chain > 0) {
        uploaded = uploadAs(snapshot, kept.last().name, stages, &object, &failure);
        if (!uploaded) TRACE_AS(QStringLiteral("upload failed"), snapshot + QStringLiteral(": ") + failure);
        // The base may be gone from the machine or the dataset rolled back past it: the same snapshot goes up as
        // a full backup at once, so that no backup is lost; the status keeps this failure too.
        if (!uploaded) m_status.uploadFinished(snapshot, false, took.elapsed(), QJsonValue(), failure);
    }
    if (!uploaded) {
        chain = 0;
        uploaded = uploadAs(snapshot, QString(), stages, &object, &failure);
        if (!uploaded) TRACE_AS(QStringLiteral("upload failed"), snapshot + QStringLiteral(": ") + failure);
    }
    // The size the status reports is the one the store lists, so that it is what a restore will fetch.
    qint64 size = -1;
    QString why;
    const bool listed =
        uploaded && storeTool().listedSize(machineRoot() + dataset + QLatin1Char('/') + object, &size, &why);
    m_status.uploadFinished(snapshot, uploaded, took.elapsed(), listed ? QJsonValue(size) : QJsonValue(), failure,
                            uploaded ? chain + 1 : 0);
    keepOrDestroy(snapshot, uploaded ? object : QString(), kept, settings.fullEvery);
    // Complete or removed: either way the object under its name is no longer a partial upload.
    m_pending.drop(snapshot);
    if (uploaded && chain == 0 && settings.keep > 0) pruneAfterBackup(dataset, settings.keep, object);
}

void QivClient::keepOrDestroy(const QString &snapshot, const QString &object, const QList<ZfsTool::Snapshot> &kept,
                              int fullEvery) {
    // A failed upload is retried by the next backup, not from this snapshot; the bases stay as they are. The worker
    // does not wait for a destroy; the destroyer reports a failure in the dataset's status.
    bool keptThis = false;
    if (!object.isEmpty() && fullEvery > 1) {
        QString failure;
        keptThis = zfsTool().setProperty(snapshot, ZfsTool::UploadedProperty, object, &failure);
        if (!keptThis) m_status.snapshotNotDestroyed(snapshot, failure);
    }
    if (!keptThis) m_destroyQueue.push(snapshot);
    // At most one base per dataset: after a stored backup every earlier one goes, the one replaced and any a crash
    // between marking and destroying left behind.
    if (!object.isEmpty())
        for (const ZfsTool::Snapshot &base : kept) m_destroyQueue.push(base.name);
    m_destroyer.start();
}

bool QivClient::backupRun() {
    // Names stay queued for the next worker, which the next successful snapshot starts.
    if (!storeReady(nullptr)) return false;
    QString snapshot;
    while (!m_backupWorker.stopRequested() && m_backupQueue.pop(snapshot)) uploadOne(snapshot);
    return true;
}

bool QivClient::destroyRun() {
    QString snapshot;
    while (!m_destroyer.stopRequested() && m_destroyQueue.pop(snapshot)) {
        QString failure;
        if (zfsTool().destroy(snapshot, &failure)) continue;
        TRACE_AS(QStringLiteral("zfs destroy failed"), failure);
        m_status.snapshotNotDestroyed(snapshot, failure);
    }
    return true;
}
