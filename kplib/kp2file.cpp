#include "kp2file.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextCodec>
#include <QTextStream>

#include "kp2utils.h"

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
    return parseJson(readAll(path)).object();
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
    const QJsonDocument doc = parseJson(data, &error);
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

int KP2File::removeSaveLeftovers(const QString &path) {
    // QSaveFile writes into an unnamed file (O_TMPFILE) where the file system offers it, which a killed process
    // leaves nothing of. Elsewhere it names its file after the target plus "." and six random ASCII letters
    // (QTemporaryFile's template "<name>.XXXXXX"); only names of exactly that form are taken for its leftovers.
    const QFileInfo target(path);
    const QRegularExpression leftover(QLatin1Char('^') + QRegularExpression::escape(target.fileName()) +
                                      QStringLiteral("\\.[A-Za-z]{6}$"));
    QDir dir = target.absoluteDir();
    int removed = 0;
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (leftover.match(name).hasMatch() && dir.remove(name)) ++removed;
    }
    return removed;
}

bool KP2File::saveJsonAtomic(const QString &path, const QJsonValue &v, bool compact) {
    QByteArray data;
    if (!serialise(v, compact, &data) || !makeParentDir(path)) return false;

    // QSaveFile writes to a temporary file in the final file's directory (a symbolic link is followed to that file),
    // syncs it and renames it over the final file on commit(). Destroyed uncommitted, it discards the temporary file,
    // so every early return below leaves the previous file as it was.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    // The flush is checked here because commit() does not check its own: with Qt 5.15.8, content that fits the
    // 16 KiB write buffer and fails to reach the file at commit (an 8000-byte object under a 1000-byte file size
    // limit) replaced the target with the truncated file and commit() returned true.
    if (file.write(data) != data.size() || !file.flush()) return false;
    // commit() gives the file only the permission bits Qt knows (no set-id bits) and our own owner, and it ignores a
    // failed sync; the file must not replace the previous one unless it is complete on disk.
    if (!keepOwnerAndMode(file.handle(), path) || !syncToDisk(file.handle())) return false;
    if (!file.commit()) return false;

    // The rename itself survives a crash only once the directory holding the final file is synced.
    syncDirectory(QFileInfo(QFileInfo(path).canonicalFilePath()).absolutePath());
    return true;
}

bool KP2File::loadText(QString &out, const QString &path, const QString &codec) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
    QTextStream stream(&file);
    // Looked up first: QTextStream::setCodec(const char *) would warn about an unknown name.
    if (QTextCodec *named = codec.isEmpty() ? nullptr : QTextCodec::codecForName(codec.toLatin1()))
        stream.setCodec(named);
    out = stream.readAll();
    return true;
}

QString KP2File::toMd5(const QString &path) {
    QByteArray data;
    if (!loadBinary(data, path)) return QString();
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QString KP2File::fileMd5(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QString();
    // A file that grows while it is read is digested as it was when opened.
    qint64 left = file.size();
    QCryptographicHash hash(QCryptographicHash::Md5);
    while (left > 0) {
        const QByteArray piece = file.read(qMin<qint64>(left, 4096));
        if (piece.isEmpty()) break;  // shrunk meanwhile: what was there is the file
        hash.addData(piece);
        left -= piece.size();
    }
    if (file.error() != QFileDevice::NoError) return QString();
    return QString::fromLatin1(hash.result().toHex());
}

QString KP2File::toBase64(const QString &path, QString *md5) {
    QByteArray data;
    if (!loadBinary(data, path)) return QString();
    if (md5) *md5 = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
    return QString::fromLatin1(data.toBase64());
}
