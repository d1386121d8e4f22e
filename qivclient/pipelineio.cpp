#include "pipelineio.h"

#include <limits.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QList>
#include <algorithm>

namespace pipelineio {

namespace {

// An upload line is `script` → bash → the pipeline's commands; a little deeper leaves room for a wrapper.
constexpr int MaxDepth = 5;
// A bound on the processes looked at, whatever the tree below the root holds.
constexpr int MaxProcesses = 64;

struct Process {
    qint64 pid;
    QByteArray in;   // "pipe:[inode]" when standard input is a pipe, else empty
    QByteArray out;  // the same for standard output
};

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

QByteArray pipeOf(qint64 pid, int fd) {
    const QByteArray link = QFile::encodeName(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd));
    char target[PATH_MAX];
    const ssize_t size = ::readlink(link.constData(), target, sizeof target);
    const QByteArray name = size > 0 ? QByteArray(target, int(size)) : QByteArray();
    return name.startsWith("pipe:") ? name : QByteArray();
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

QList<Process> descendants(qint64 root) {
    QList<Process> found;
    QList<qint64> level = childrenOf(root);
    for (int depth = 1; depth <= MaxDepth && !level.isEmpty(); ++depth) {
        QList<qint64> next;
        for (const qint64 pid : qAsConst(level)) {
            if (found.size() >= MaxProcesses) return found;
            found.append(Process{pid, pipeOf(pid, 0), pipeOf(pid, 1)});
            next += childrenOf(pid);
        }
        level = next;
    }
    return found;
}

}  // namespace

qint64 streamBytesRead(qint64 root) {
    const QList<Process> processes = descendants(root);
    for (const Process &reader : processes) {
        if (reader.in.isEmpty()) continue;
        const auto writer =
            std::find_if(processes.cbegin(), processes.cend(), [&](const Process &p) { return p.out == reader.in; });
        if (writer == processes.cend() || writer->in.isEmpty()) return counter(reader.pid, QByteArrayLiteral("rchar"));
    }
    return -1;
}

}  // namespace pipelineio
