#include "kp2logger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMetaEnum>
#include <QMutexLocker>
#include <cstdarg>
#include <cstdio>

#include "kp2logger_p.h"

namespace {

// The registry. Loggers come and go on the main thread at start and end; the lock makes i() safe to call from a
// writing thread all the same.
QMutex g_registryLock;
QList<KP2Logger *> g_instances;
KP2Logger *g_instance = nullptr;

// Creates the file's directory with its missing parents; false when it does not exist afterwards.
bool makeDirectory(const QString &filePath) {
    const QDir dir = QFileInfo(filePath).absoluteDir();
    return dir.exists() || dir.mkpath(QStringLiteral("."));
}

}  // namespace

KP2LoggerPrivate::KP2LoggerPrivate() : writer([this] { return drain(); }, [this] { return queue.count() > 0; }) {}

KP2LoggerPrivate::~KP2LoggerPrivate() {
    writer.stop();
}

KP2LoggerPrivate::Settings KP2LoggerPrivate::settings() const {
    QMutexLocker guard(&lock);
    return Settings{filePath, maxSize, output, immediate};
}

QString KP2LoggerPrivate::backupPath(const QString &filePath, int n) {
    const QFileInfo info(filePath);
    return info.dir().filePath(info.completeBaseName() + QLatin1Char('.') + QString::number(n) + QLatin1Char('.') +
                               info.suffix());
}

void KP2LoggerPrivate::rotate(const QString &filePath) {
    // rename(2) replaces atomically and never copies; QFile::rename, refused an existing target, would copy the file
    // over it instead. Failures are ignored: the next write appends to whatever file is left.
    const auto move = [](const QString &from, const QString &to) {
        ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData());
    };
    if (backupCount < 1) backupCount = 1;
    for (int n = 1; n <= backupCount; ++n) {
        if (!QFileInfo::exists(backupPath(filePath, n))) {
            move(filePath, backupPath(filePath, n));
            return;
        }
    }
    QFile::remove(backupPath(filePath, 1));
    for (int n = 2; n <= backupCount; ++n) move(backupPath(filePath, n), backupPath(filePath, n - 1));
    move(filePath, backupPath(filePath, backupCount));
}

void KP2LoggerPrivate::writeNow(const Settings &s, const QByteArray &line) {
    // One step under the file lock: two writers that both found the file full would otherwise both rotate, and the
    // second would move the first one's fresh file over its backup.
    QMutexLocker guard(&fileLock);
    if (!makeDirectory(s.filePath)) return;
    if (s.maxSize > 0 && QFileInfo(s.filePath).size() + line.size() > s.maxSize) rotate(s.filePath);
    QFile file(s.filePath);
    if (!file.open(QIODevice::Append | QIODevice::Text)) return;
    file.write(line + '\n');
}

bool KP2LoggerPrivate::drain() {
    QFile file;
    qint64 size = 0;
    QByteArray line;
    // The destructor's stop ends the drain between two lines; what is left is dropped with the queue.
    while (!writer.stopRequested() && queue.pop(line)) {
        // The settings are read for every line, so that a line queued after setFilePath() goes to the new file even
        // when this drain began before the change.
        const Settings s = settings();
        // Immediate writers (after a change of mode) may use the same file meanwhile.
        QMutexLocker guard(&fileLock);
        if (file.fileName() != s.filePath) {
            file.close();
            file.setFileName(s.filePath);
        }
        // A line that cannot be written is dropped and ends the drain; the lines behind it wait for the next one.
        if (!makeDirectory(s.filePath)) return false;
        if (file.isOpen() && s.maxSize > 0 && size + line.size() > s.maxSize) {
            file.close();
            rotate(s.filePath);
        }
        if (!file.isOpen()) {
            if (s.maxSize > 0 && QFileInfo(s.filePath).size() + line.size() > s.maxSize) rotate(s.filePath);
            if (!file.open(QIODevice::Append | QIODevice::Text)) return false;
            size = file.size();
        }
        file.write(line + '\n');
        file.flush();
        size += line.size() + 1;
    }
    // Returning true lets the worker look once more for a line pushed while this drain found the queue empty.
    return true;
}

KP2Logger::KP2Logger(QObject *parent) : QObject(parent), d(new KP2LoggerPrivate) {
    QMutexLocker guard(&g_registryLock);
    g_instances.append(this);
    g_instance = this;
}

KP2Logger::~KP2Logger() {
    {
        QMutexLocker guard(&g_registryLock);
        g_instances.removeOne(this);
        if (g_instance == this) g_instance = g_instances.isEmpty() ? nullptr : g_instances.last();
    }
    // d's destructor waits for the writer thread before the queue goes.
}

KP2Logger *KP2Logger::i() {
    QMutexLocker guard(&g_registryLock);
    return g_instance;
}

void KP2Logger::setCurrentInstance() {
    QMutexLocker guard(&g_registryLock);
    g_instance = this;
}

QString KP2Logger::filePath() const {
    return d->settings().filePath;
}

void KP2Logger::setFilePath(const QString &path) {
    QMutexLocker guard(&d->lock);
    d->filePath = path;
}

qint64 KP2Logger::maxSize() const {
    return d->settings().maxSize;
}

void KP2Logger::setMaxSize(qint64 bytes) {
    QMutexLocker guard(&d->lock);
    d->maxSize = bytes;
}

bool KP2Logger::output() const {
    return d->settings().output;
}

void KP2Logger::setOutput(bool on) {
    QMutexLocker guard(&d->lock);
    d->output = on;
}

bool KP2Logger::immediate() const {
    return d->settings().immediate;
}

void KP2Logger::setImmediate(bool on) {
    QMutexLocker guard(&d->lock);
    d->immediate = on;
}

void KP2Logger::clean() {
    const QString path = filePath();
    if (path.isEmpty()) return;
    QMutexLocker guard(&d->fileLock);
    QFile::remove(path);
    for (int n = 1; n < d->backupCount; ++n) QFile::remove(KP2LoggerPrivate::backupPath(path, n));
}

QString KP2Logger::write(int level, const QString &context1, const QString &context2, int line, const char *format,
                         ...) {
    QString text = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "));
    // valueToKey() gives nullptr for the values without a name, which appends nothing.
    text += QLatin1String(QMetaEnum::fromType<LogLevel>().valueToKey(level));
    if (!context1.isEmpty()) text += QLatin1Char(' ') + context1;
    if (!context2.isEmpty()) text += QLatin1Char(' ') + context2;
    if (line > 0) text += QStringLiteral(" #") + QString::number(line);
    text += QLatin1Char(' ');
    va_list args;
    va_start(args, format);
    text += QString::vasprintf(format, args);
    va_end(args);
    text = text.trimmed();

    const KP2LoggerPrivate::Settings s = d->settings();
    if (!s.output || s.filePath.isEmpty()) return text;
    if (s.immediate) {
        d->writeNow(s, text.toUtf8());
    } else {
        d->queue.push(text.toUtf8());
        d->writer.start();
    }
    return text;
}
