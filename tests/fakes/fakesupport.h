// Shared by the stand-in programs under tests/fakes/: state directory from the environment, the call log, failures
// and delays on demand, and plain descriptor I/O. Header-only so that each stand-in stays one program.
// Single-threaded programs only; nothing here is shared between processes except the append-only call log.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QString>
#include <QThread>
#include <cstdio>
#include <cstdlib>

namespace fake {

// The state directory named by the environment variable, or exit 2 with a message when it is unset or empty.
inline QString stateDir(const char *variable, const char *program) {
    const QByteArray dir = qgetenv(variable);
    if (dir.isEmpty()) {
        std::fprintf(stderr, "%s: %s must name the stand-in's state directory\n", program, variable);
        std::exit(2);
    }
    return QString::fromUtf8(dir);
}

inline bool writeAll(int fd, const char *data, qint64 size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= n;
    }
    return true;
}

inline void writeErr(const QString &text) {
    const QByteArray bytes = text.toUtf8();
    writeAll(2, bytes.constData(), bytes.size());
}

// Appends the arguments (without the program name) as one compact JSON array line to "<state>/calls.log". One
// write() on an O_APPEND descriptor keeps lines of concurrent calls whole.
inline void logCall(const QString &state, int argc, char **argv) {
    QJsonArray args;
    for (int i = 1; i < argc; ++i) args.append(QString::fromUtf8(argv[i]));
    const QByteArray line = QJsonDocument(args).toJson(QJsonDocument::Compact) + '\n';
    const int fd = ::open(QFile::encodeName(state + QStringLiteral("/calls.log")).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    writeAll(fd, line.constData(), line.size());
    ::close(fd);
}

// Reads "<state>/<prefix><what>" when it exists.
inline bool onDemand(const QString &state, const QString &name, QByteArray *content) {
    QFile f(state + QLatin1Char('/') + name);
    if (!f.open(QIODevice::ReadOnly)) return false;
    *content = f.readAll();
    return true;
}

// "<state>/delay-<what>" holds milliseconds to sleep before the command acts (to test waits and time limits).
inline void delayOnDemand(const QString &state, const QString &what) {
    QByteArray ms;
    if (onDemand(state, QStringLiteral("delay-") + what, &ms)) QThread::msleep(ms.trimmed().toULong());
}

// "<state>/fail-<what>": true when the command must fail; *message is the file's content for standard error.
inline bool failOnDemand(const QString &state, const QString &what, QByteArray *message) {
    return onDemand(state, QStringLiteral("fail-") + what, message);
}

// A name as one safe file name: UTF-8, percent-encoded, "." included so that "." and ".." stay ordinary names.
inline QString encodeName(const QString &name) {
    return QString::fromLatin1(name.toUtf8().toPercentEncoding(QByteArray(), QByteArrayLiteral(".")));
}

inline QString decodeName(const QString &file) {
    return QString::fromUtf8(QByteArray::fromPercentEncoding(file.toLatin1()));
}

}  // namespace fake
