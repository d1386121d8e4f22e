#include "pipelineio.h"

#include <limits.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QList>

namespace pipelineio {

namespace {

// An upload line is `script` → bash → the pipeline's commands; a little deeper leaves room for a wrapper.
constexpr int MaxDepth = 5;
// A bound on the processes looked at, whatever the tree below the root holds.
constexpr int MaxProcesses = 64;

QByteArray readProc(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QByteArray();
    return file.readAll();  // /proc files report size 0: read until the end
}

QList<qint64> childrenOf(qint64 pid) {
    QList<qint64> children;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        for (const QByteArray &word : readProc(tasks.filePath(tid + QLatin1String("/children"))).split(' ')) {
            bool ok = false;
            const qint64 child = word.trimmed().toLongLong(&ok);
            if (ok && child > 0) children.append(child);
        }
    return children;
}

bool isPipe(qint64 pid, int fd) {
    const QByteArray link = QFile::encodeName(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd));
    char target[PATH_MAX];
    const ssize_t size = ::readlink(link.constData(), target, sizeof target);
    return size > 0 && QByteArray(target, int(size)).startsWith("pipe:");
}

qint64 counter(qint64 pid, const QByteArray &name) {
    for (const QByteArray &line : readProc(QStringLiteral("/proc/%1/io").arg(pid)).split('\n')) {
        if (!line.startsWith(name + ':')) continue;
        bool ok = false;
        const qint64 value = line.mid(name.size() + 1).trimmed().toLongLong(&ok);
        return ok ? value : -1;
    }
    return -1;
}

}  // namespace

qint64 sourceBytesWritten(qint64 root) {
    QList<qint64> level{root};
    int seen = 0;
    for (int depth = 0; depth <= MaxDepth && !level.isEmpty(); ++depth) {
        QList<qint64> next;
        for (const qint64 pid : qAsConst(level)) {
            if (++seen > MaxProcesses) return -1;
            if (depth > 0 && isPipe(pid, 1) && !isPipe(pid, 0)) return counter(pid, QByteArrayLiteral("wchar"));
            next += childrenOf(pid);
        }
        level = next;
    }
    return -1;
}

}  // namespace pipelineio
