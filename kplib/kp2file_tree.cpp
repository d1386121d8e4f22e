// KP2File: names and places in the file tree (free names, recursive removal, resource bundles, file metadata).
#include "kp2file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QResource>

QString KP2File::autoRename(const QString &path) {
    const QFileInfo info(path);
    if (!info.exists()) return info.absoluteFilePath();
    const QString base = info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    const QDir dir = info.absoluteDir();
    // Ends at the first free number; a directory cannot hold names without end.
    for (int n = 2;; ++n) {
        const QString candidate = dir.absoluteFilePath(QStringLiteral("%1(%2)%3").arg(base).arg(n).arg(suffix));
        if (!QFileInfo::exists(candidate)) return candidate;
    }
}

QString KP2File::tempFileName(const QString &prefix, const QString &suffix) {
    const QDir dir(QDir::tempPath());
    const QString dotSuffix = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    // A random start keeps concurrent callers apart; the search ends at the first free number, which exists unless
    // all 2^32 names are taken.
    for (quint32 n = QRandomGenerator::global()->generate();; ++n) {
        const QString candidate = dir.absoluteFilePath(prefix + QString::number(n) + dotSuffix);
        if (!QFileInfo::exists(candidate)) return candidate;
    }
}

bool KP2File::removeDirs(const QString &path, bool removeSelf) {
    const QDir dir(path);
    if (!dir.exists()) return true;
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::Readable |
                                                    QDir::Writable | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        // A link to a directory is removed as a link: following it would empty a directory outside the tree.
        if (entry.isDir() && !entry.isSymLink())
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
