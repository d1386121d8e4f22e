// QivClient's remote store: the one check before every remote operation, the two listings, removal, and the download
// worker with its plain downloads and restores.
#include <QJsonArray>

#include "backupchains.h"
#include "qivclient.h"
#include "qivclient_p.h"
#include "restorejob.h"
#include "resultcodes.h"

bool QivClient::updateAlias(QString *why) const {
    const auto refused = [why](const QString &reason) {
        if (why) *why = reason;
        return false;
    };
    // The flag is set only when the settings ask for backups and the serial number is known, so a client whose
    // settings ask for them lacks the serial number.
    if (!m_active.load())
        return refused(m_activeWanted.load() ? QStringLiteral("机器序列号未知") : QStringLiteral("客户端未启用"));
    const ClientSettings cred = settings();
    QStringList missing;
    if (cred.url.isEmpty()) missing << QStringLiteral("url");
    if (cred.uid.isEmpty()) missing << QStringLiteral("uid");
    if (cred.pwd.isEmpty()) missing << QStringLiteral("pwd");
    if (!missing.isEmpty()) return refused(QStringLiteral("存储凭据不完整: ") + missing.join(QStringLiteral(", ")));
    QByteArray standardError;
    if (storeTool().ensureAlias(cred.url, cred.uid, cred.pwd, &standardError)) return true;
    TRACE_AS(QStringLiteral("process.readAllStandardError()"), standardError);
    const QString toolSays = qivclient_p::textUpToNul(standardError).trimmed();
    return refused(QStringLiteral("设置存储别名失败: ") + (toolSays.isEmpty() ? OrvTool::Alias : toolSays));
}

bool QivClient::storeReady(KP2Journals *journal) const {
    QString why;
    if (updateAlias(&why)) return true;
    TRACE("updateAlias is wrong");
    if (journal)
        journal->setErr(ResultNotRecorded, why);
    else
        TRACE(why);  // a worker has no journal: the reason goes to the trace
    return false;
}

bool QivClient::remoteList(const QString &path, const QString &prefix, QJsonArray &lines,
                           QByteArray *standardError) const {
    QByteArray output;
    const PendingUploads::Watch pending(m_pending);
    if (!storeTool().ls(path, &output, standardError)) return false;
    lines = PendingUploads::withoutPending(OrvTool::parseListing(output), prefix, pending.names());
    return true;
}

bool QivClient::remoteAlload(KP2Journals &journal, QJsonObject &result) {
    if (!storeReady(&journal)) return false;
    QJsonArray lines;
    QByteArray standardError;
    if (!remoteList(machineRoot(), QString(), lines, &standardError)) {
        TRACE_AS(QStringLiteral("process.readAllStandardError()"), standardError);
        return false;
    }
    OrvTool::addAlloadEntries(lines, &result);
    return true;
}

bool QivClient::remoteLoadby(KP2Journals &journal, QJsonObject &result, const QString &dmpath) {
    TRACE_AS(QString(), QString());
    if (!storeReady(&journal)) return false;
    const QString path = machineRoot() + dmpath;
    TRACE(path);
    QJsonArray lines;
    QByteArray standardError;
    if (!remoteList(path, dmpath + QLatin1Char('/'), lines, &standardError)) {
        TRACE_AS(QStringLiteral("process.readAllStandardError()"), standardError);
        return false;
    }
    result.insert(QStringLiteral("snapshots"), OrvTool::loadbyEntries(lines, dmpath));
    return true;
}

bool QivClient::remoteRemove(KP2Journals &journal, const QString &subpath) {
    if (!storeReady(&journal)) return false;
    QByteArray standardError;
    if (storeTool().rm(machineRoot() + subpath, &standardError)) return true;
    TRACE_AS(QStringLiteral("process.readAllStandardError()"), standardError);
    return false;
}

bool QivClient::remoteDwload(KP2Journals &journal, const QString &subpath, const QString &target) {
    if (!storeReady(&journal)) return false;
    m_downloadQueue.push(DownloadTask{machineRoot() + subpath, target});
    m_downloadWorker.start();
    return true;
}

bool QivClient::remoteRestore(KP2Journals &journal, const QString &subpath, const QString &dataset,
                              const QString &staging, int *id) {
    if (!storeReady(&journal)) return false;
    *id = m_status.restoreQueued(subpath, dataset, staging);
    m_downloadQueue.push(RestoreTask{*id, machineRoot() + subpath, dataset, staging});
    m_downloadWorker.start();
    return true;
}

bool QivClient::downloadRun() {
    if (!storeReady(nullptr)) return false;
    StoreTask task;
    while (!m_downloadWorker.stopRequested() && m_downloadQueue.pop(task)) {
        if (const auto *restore = std::get_if<RestoreTask>(&task)) {
            restoreOne(*restore);
            continue;
        }
        // A failed download is dropped: there is nobody to report it to.
        const DownloadTask &download = std::get<DownloadTask>(task);
        storeTool().get(download.path, download.target);
    }
    return true;
}

void QivClient::restoreOne(const RestoreTask &task) {
    const int id = task.id;
    RestoreJob job(storeTool(), zfsTool(), id, task.path, task.dataset, task.staging);
    job.setIdentity(settings().identity);
    RestoreJob::Observer observer;
    observer.staged = [&](const QString &file) { m_status.restoreStaged(id, file); };
    observer.downloading = [&](const RestoreJob::Progress &at, qint64 bytes) {
        m_status.restoreDownloading(id, at.object, at.objects, bytes, at.total);
    };
    observer.receiving = [&](const RestoreJob::Progress &at) { m_status.restoreReceiving(id, at.object, at.objects); };
    observer.stopRequested = [this] { return m_downloadWorker.stopRequested(); };
    QString reason;
    if (job.run(observer, &reason)) {
        m_status.restoreDone(id);
        return;
    }
    TRACE_AS(QStringLiteral("restore failed"), reason);
    m_status.restoreFailed(id, reason);
}

bool QivClient::pruneDataset(const QString &dataset, int keep, bool dryRun, QString protect, QStringList *removed,
                             QStringList *kept, QString *why) {
    if (protect.isEmpty()) {
        const QList<ZfsTool::Snapshot> bases = keptBases(dataset, why);
        if (!why->isEmpty()) return false;  // without the kept base, its chain could not be spared
        if (!bases.isEmpty()) protect = bases.last().uploaded;
    }
    const QString folder = dataset + QLatin1Char('/');
    QJsonArray lines;
    QByteArray standardError;
    if (!remoteList(machineRoot() + dataset, folder, lines, &standardError)) {
        *why = QStringLiteral("listing %1 failed: %2").arg(dataset, QString::fromUtf8(standardError).trimmed());
        return false;
    }
    const BackupChains::Prune plan = BackupChains::fromListing(lines).prune(keep, protect);
    for (const QString &name : plan.keep) kept->append(folder + name);
    for (const QString &name : plan.remove) {
        if (!dryRun && !storeTool().rm(machineRoot() + folder + name, &standardError)) {
            *why =
                QStringLiteral("removing %1 failed: %2").arg(folder + name, QString::fromUtf8(standardError).trimmed());
            return false;
        }
        removed->append(folder + name);
    }
    return true;
}

bool QivClient::remotePrune(KP2Journals &journal, const QString &dmpath, int keep, bool dryRun, QJsonObject &result) {
    if (!storeReady(&journal)) return false;
    QStringList removed;
    QStringList kept;
    QString why;
    const bool pruned = pruneDataset(dmpath, keep, dryRun, QString(), &removed, &kept, &why);
    if (!pruned) {
        TRACE_AS(QStringLiteral("prune failed"), why);
        journal.setErr(ResultNotRecorded,
                       removed.isEmpty()
                           ? why
                           : QStringLiteral("%1 (removed before: %2)").arg(why, removed.join(QStringLiteral(", "))));
        return false;
    }
    result.insert(dryRun ? QStringLiteral("wouldremove") : QStringLiteral("removed"),
                  QJsonArray::fromStringList(removed));
    result.insert(QStringLiteral("kept"), QJsonArray::fromStringList(kept));
    return true;
}

void QivClient::pruneAfterBackup(const QString &dataset, int keep, const QString &object) {
    QStringList removed;
    QStringList kept;
    QString why;
    if (pruneDataset(dataset, keep, false, object, &removed, &kept, &why)) {
        m_status.pruned(dataset, true,
                        removed.isEmpty() ? QStringLiteral("nothing to remove")
                                          : QStringLiteral("removed ") + removed.join(QStringLiteral(", ")));
        return;
    }
    TRACE_AS(QStringLiteral("prune failed"), why);
    m_status.pruned(dataset, false, QStringLiteral("prune: ") + why);
}
