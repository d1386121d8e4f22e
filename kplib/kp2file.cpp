#include "kp2file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTextStream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

static bool makeParentDir(const QString &path) {
    const QString dir = QFileInfo(path).absolutePath();
    return QDir().mkpath(dir) && QFileInfo(dir).isDir();
}

// Only objects and arrays make a document; anything else gives false and leaves out alone.
static bool serialise(const QJsonValue &v, bool compact, QByteArray *out) {
    const auto format = compact ? QJsonDocument::Compact : QJsonDocument::Indented;
    if (v.isObject())
        *out = QJsonDocument(v.toObject()).toJson(format);
    else if (v.isArray())
        *out = QJsonDocument(v.toArray()).toJson(format);
    else
        return false;
    return true;
}

QByteArray KP2File::readAll(const QString &path) {
    QByteArray data;
    loadBinary(data, path);
    return data;
}

QJsonObject KP2File::readJsonObject(const QString &path) {
    return QJsonDocument::fromJson(readAll(path)).object();
}

bool KP2File::loadBinary(QByteArray &out, const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    QByteArray data = file.readAll();
    // A read error half-way must not pass a truncated file off as the whole one.
    if (file.error() != QFileDevice::NoError) return false;
    out = std::move(data);
    return true;
}

bool KP2File::loadJson(QJsonObject &out, const QString &path) {
    QByteArray data;
    if (!loadBinary(data, path)) return false;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError) return false;
    out = doc.object();
    return true;
}

bool KP2File::saveBinary(const QByteArray &data, const QString &path) {
    makeParentDir(path);  // a failure shows up as a failed open
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    // A short write (disk full, size limit) is a failure: callers must not believe their data was saved.
    const bool written = file.write(data) == data.size() && file.flush();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

bool KP2File::saveJson(const QString &path, const QJsonValue &v, bool compact) {
    QByteArray data;
    if (!serialise(v, compact, &data) || !makeParentDir(path)) return false;
    return saveBinary(data, path);
}

bool KP2File::saveText(const QString &content, const QString &path, const QString &codec) {
    if (path.contains(QLatin1Char('/'))) makeParentDir(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return false;
    QTextStream stream(&file);
    if (!codec.isEmpty()) stream.setCodec(codec.toLatin1().constData());
    stream << content;
    stream.flush();
    const bool written = stream.status() == QTextStream::Ok && file.flush();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

// Writes all of data to fd, resuming after partial writes and signals.
static bool writeAll(int fd, const QByteArray &data) {
    const char *p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= n;
    }
    return true;
}

// How it works: a uniquely named hidden file is created beside the target (same directory, hence the same file
// system, so rename() is atomic), filled, given the target's mode and owner, fsync'ed and renamed over the target;
// finally the directory is fsync'ed so that the rename itself survives a crash. Until the rename the old file is
// untouched; any failure before it only removes the temporary file.
bool KP2File::saveJsonAtomic(const QString &path, const QJsonValue &v, bool compact) {
    QByteArray data;
    if (!serialise(v, compact, &data)) return false;

    QFileInfo info(path);
    if (info.isSymLink() && !info.canonicalFilePath().isEmpty()) info = QFileInfo(info.canonicalFilePath());
    if (!makeParentDir(info.absoluteFilePath())) return false;
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const QByteArray dir = QFile::encodeName(info.absolutePath());

    // The temporary file is created with 0666 so that a new target gets the usual umask-based mode.
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = dir + "/." + QFile::encodeName(info.fileName()) + ".tmp" +
               QByteArray::number(QRandomGenerator::global()->generate(), 36);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;

    bool ok = writeAll(fd, data);
    struct stat old;
    if (ok && ::stat(target.constData(), &old) == 0) {
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
        // chown may drop set-id bits, so the mode is applied once more after it.
        if (ok && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()))
            ok = ::fchown(fd, old.st_uid, old.st_gid) == 0 && ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), target.constData()) == 0;
    if (!ok) {
        ::unlink(temp.constData());
        return false;
    }
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);  // the new content is in place; a failed directory sync cannot undo that
        ::close(dirFd);
    }
    return true;
}
