#include "restorejob.h"

#include <sys/statvfs.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "streamstages.h"

namespace {

// Removes the staged file however the job ends.
struct RemoveOnExit {
    QString path;
    ~RemoveOnExit() { QFile::remove(path); }
};

}  // namespace

RestoreJob::RestoreJob(const OrvTool &tool, const ZfsTool &zfs, int id, const QString &remotePath,
                       const QString &dataset, const QString &staging)
    : m_tool(tool), m_zfs(zfs), m_id(id), m_remotePath(remotePath), m_dataset(dataset), m_staging(staging) {}

QString RestoreJob::stagedFile() const {
    return QDir(m_staging).filePath(stagedFileName(m_id));
}

QString RestoreJob::stagedFileName(int id) {
    return QStringLiteral("restore-%1.zfs").arg(id);
}

bool RestoreJob::isValidDatasetName(const QString &name) {
    if (name.isEmpty() || name.size() >= 256 || !name.at(0).isLetter() || name.at(0).unicode() > 127) return false;
    for (const QString &part : name.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")) return false;
        for (const QChar c : part) {
            const ushort u = c.unicode();
            const bool alnum = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
            if (!alnum && u != '_' && u != '-' && u != ':' && u != '.' && u != ' ') return false;
        }
    }
    return true;
}

qint64 RestoreJob::freeBytes(const QString &dir) {
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(dir).constData(), &fs) != 0) return -1;
    return qint64(fs.f_bavail) * qint64(fs.f_frsize);
}

bool RestoreJob::resolve(QList<BackupChains::Object> *chain, QString *reason) const {
    const int slash = m_remotePath.lastIndexOf(QLatin1Char('/'));
    const QString folder = m_remotePath.left(slash);
    const QString name = m_remotePath.mid(slash + 1);
    QByteArray output;
    QByteArray standardError;
    if (!m_tool.ls(folder, &output, &standardError)) {
        *reason = QStringLiteral("listing %1 failed: %2").arg(folder, QString::fromUtf8(standardError).trimmed());
        return false;
    }
    const BackupChains chains = BackupChains::fromListing(OrvTool::parseListing(output));
    QString missing;
    if (!chains.chainTo(name, chain, &missing)) {
        *reason = missing.isEmpty() ? QStringLiteral("the store lists no object %1 with a size").arg(m_remotePath)
                                    : QStringLiteral("backup chain broken: %1 is not in the store").arg(missing);
        return false;
    }
    for (const BackupChains::Object &object : *chain) {
        if (object.size >= 0) continue;
        *reason = QStringLiteral("the store lists no object %1/%2 with a size").arg(folder, object.name);
        return false;
    }
    return true;
}

bool RestoreJob::run(const Observer &observer, QString *reason) {
    // The whole chain is known, every object of it listed and every stage of it undoable, before anything is
    // fetched.
    QList<BackupChains::Object> chain;
    if (!resolve(&chain, reason)) return false;
    for (const BackupChains::Object &object : chain)
        if (!StreamStages::canUndo(object.name, m_identity, reason)) return false;
    qint64 total = 0;
    qint64 largest = 0;
    for (const BackupChains::Object &object : chain) {
        total += object.size;
        largest = qMax(largest, object.size);
    }

    if (!QDir().mkpath(m_staging)) {
        *reason = QStringLiteral("cannot create the staging directory %1").arg(m_staging);
        return false;
    }
    const QString staged = stagedFile();
    // The name is this restore's own; a file already there belongs to someone else and is left alone.
    if (QFileInfo::exists(staged)) {
        *reason = QStringLiteral("%1 already exists").arg(staged);
        return false;
    }
    // One object is staged at a time: the largest decides.
    const qint64 room = freeBytes(m_staging);
    if (room < largest) {
        *reason = QStringLiteral("no room in the staging directory %1: %2 bytes free, the backup needs %3")
                      .arg(m_staging)
                      .arg(room)
                      .arg(largest);
        return false;
    }

    RemoveOnExit cleanup{staged};
    if (observer.staged) observer.staged(staged);
    const QString folder = m_remotePath.left(m_remotePath.lastIndexOf(QLatin1Char('/')) + 1);
    Progress progress{0, int(chain.size()), 0, total};
    bool created = false;
    for (const BackupChains::Object &object : chain) {
        ++progress.object;
        if (restoreOne(observer, folder + object.name, object.size, progress, &created, reason)) {
            progress.bytesBefore += object.size;
            continue;
        }
        // A failed first receive creates nothing (and an existing dataset is never touched); once one succeeded,
        // the dataset is this restore's own, and half a chain is no restore.
        if (created) undoReceives(reason);
        return false;
    }
    // The receives of a chain left the file system unmounted, and an incremental receive does not mount it.
    if (chain.size() > 1 && !m_zfs.mount(m_dataset, reason)) {
        undoReceives(reason);
        return false;
    }
    return true;
}

bool RestoreJob::restoreOne(const Observer &observer, const QString &path, qint64 size, const Progress &progress,
                            bool *created, QString *reason) {
    const QString staged = stagedFile();
    OrvTool::FetchHooks hooks;
    if (observer.downloading)
        hooks.progress = [&](qint64 bytes) { observer.downloading(progress, progress.bytesBefore + bytes); };
    hooks.stopRequested = observer.stopRequested;
    QString toolSaid;
    if (!m_tool.fetch(path, staged, hooks, &toolSaid, reason)) return false;
    const qint64 got = QFileInfo(staged).size();
    if (got != size) {
        *reason = QStringLiteral("the fetched file has %1 bytes, the store lists %2").arg(got).arg(size);
        if (!toolSaid.isEmpty()) *reason += QStringLiteral("; the tool said: ") + toolSaid;
        return false;
    }
    if (observer.receiving) observer.receiving(progress);
    // All but the last receive leave the new file system unmounted, so that nothing changes it between two
    // receives (an incremental stream is refused by a dataset changed since its base). The stages the object went
    // through are undone in reverse on the way into zfs; none for a plain object (a name that does not parse is
    // taken as plain, as every object of older versions is).
    ZfsTool::ReceiveOptions options;
    options.unmounted = progress.object < progress.objects;
    // Every object of a chain has a backup's name (BackupChains lists no other).
    BackupName name;
    BackupName::parse(path.section(QLatin1Char('/'), -1), &name);
    options.filters = StreamStages::undoFilters(name, m_identity);
    const bool received = m_zfs.receive(m_dataset, staged, options, observer.stopRequested, reason);
    QFile::remove(staged);
    *created = *created || received;
    // The received snapshot bears its backup's "qiv_" name; marked at once, so that a daemon started later does not
    // take it for a backup left to upload (and destroy it afterwards).
    const QString object = path.section(QLatin1Char('/'), -1);
    return received &&
           m_zfs.setProperty(m_dataset + QLatin1Char('@') + name.snapshot(), ZfsTool::RestoredProperty, object, reason);
}

void RestoreJob::undoReceives(QString *reason) const {
    QString failure;
    if (m_zfs.destroy(m_dataset, &failure, true))
        *reason += QStringLiteral("; the dataset %1 that this restore created was destroyed").arg(m_dataset);
    else
        *reason += QStringLiteral("; the dataset %1 that this restore created could not be destroyed: %2")
                       .arg(m_dataset, failure);
}
