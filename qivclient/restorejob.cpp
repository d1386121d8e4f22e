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

bool RestoreJob::run(const Observer &observer, QString *reason) {
    const QString object = m_remotePath.section(QLatin1Char('/'), -1);
    if (!StreamStages::canUndo(object, m_identity, reason)) return false;

    qint64 total = 0;
    if (!m_tool.listedSize(m_remotePath, &total, reason)) return false;

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
    const qint64 room = freeBytes(m_staging);
    if (room < total) {
        *reason = QStringLiteral("no room in the staging directory %1: %2 bytes free, the backup needs %3")
                      .arg(m_staging)
                      .arg(room)
                      .arg(total);
        return false;
    }

    RemoveOnExit cleanup{staged};
    if (observer.staged) observer.staged(staged);
    OrvTool::FetchHooks hooks;
    if (observer.downloading) hooks.progress = [&](qint64 bytes) { observer.downloading(bytes, total); };
    hooks.stopRequested = observer.stopRequested;
    QString toolSaid;
    if (!m_tool.fetch(m_remotePath, staged, hooks, &toolSaid, reason)) return false;
    const qint64 got = QFileInfo(staged).size();
    if (got != total) {
        *reason = QStringLiteral("the fetched file has %1 bytes, the store lists %2").arg(got).arg(total);
        if (!toolSaid.isEmpty()) *reason += QStringLiteral("; the tool said: ") + toolSaid;
        return false;
    }
    if (observer.receiving) observer.receiving();
    // The stages the object went through, undone in reverse on the way into zfs; none for a plain object (a name
    // that does not parse is taken as plain, as every object of older versions is).
    BackupName name;
    ZfsTool::ReceiveOptions options;
    if (BackupName::parse(object, &name)) options.filters = StreamStages::undoFilters(name, m_identity);
    return m_zfs.receive(m_dataset, staged, options, observer.stopRequested, reason);
}
