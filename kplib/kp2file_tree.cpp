// KP2File: names and places in the file tree (free names, recursive removal, resource bundles, file metadata).
#include "kp2file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QResource>

namespace {

// Whether a directory entry of any kind has this name: a dangling symbolic link counts, since a file created under
// its name would be written through the link.
bool entryExists(const QString &path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

}  // namespace

QString KP2File::autoRename(const QString &path) {
    const QFileInfo info(path);
    if (!entryExists(path)) return info.absoluteFilePath();
    const QString base = info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    const QDir dir = info.absoluteDir();
    // Ends at the first free number; a directory cannot hold names without end.
    for (int n = 2;; ++n) {
        const QString candidate = dir.absoluteFilePath(QStringLiteral("%1(%2)%3").arg(base).arg(n).arg(suffix));
        if (!entryExists(candidate)) return candidate;
    }
}

QString KP2File::tempFileName(const QString &prefix, const QString &suffix) {
    const QDir dir(QDir::tempPath());
    const QString dotSuffix = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    // A random start keeps concurrent callers apart; the search ends at the first free number, which exists unless
    // all 2^32 names are taken.
    for (quint32 n = QRandomGenerator::global()->generate();; ++n) {
        const QString candidate = dir.absoluteFilePath(prefix + QString::number(n) + dotSuffix);
        if (!entryExists(candidate)) return candidate;
    }
}

bool KP2File::removeDirs(const QString &path, bool removeSelf) {
    // QDir("") is the working directory: a blank path names nothing to remove.
    if (path.trimmed().isEmpty()) return false;
    const QDir dir(path);
    if (!dir.exists()) return true;
    // System lists what the other filters leave out: dangling links, FIFOs, sockets and device nodes. The permission
    // test is made here rather than by the filter, which would follow links and so skip a dangling one.
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        // A link is removed as a link: following one to a directory would empty a directory outside the tree.
        if (entry.isSymLink()) {
            QFile::remove(entry.absoluteFilePath());
            continue;
        }
        if (!entry.isReadable() || !entry.isWritable()) continue;
        if (entry.isDir())
            removeDirs(entry.absoluteFilePath(), true);
        else
            QFile::remove(entry.absoluteFilePath());
    }
    if (removeSelf) QDir().rmdir(dir.absolutePath());  // fails while anything is left inside
    return !dir.exists();
}

bool KP2File::loadResource(const QString &path) {
    QString file = path;
    if (path.trimmed().isEmpty() || !QFileInfo::exists(path))
        file = QCoreApplication::applicationDirPath() + QDir::separator() + path;
    const QFileInfo info(file);
    if (!info.exists()) return false;
    return QResource::registerResource(info.absoluteFilePath());
}

QString KP2File::version(const QString &, int *, int *, int *, int *) {
    return QString();
}

bool KP2File::setTime(const QString &, const QDateTime &) {
    return false;
}
