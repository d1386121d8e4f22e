#include "restorejob.h"

#include <sys/statvfs.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

// How often a running fetch reports the bytes staged so far and a running program looks at the stop request.
constexpr int PollMs = 500;
constexpr int ReceiveStartMs = 10000;
constexpr int KillReapMs = 5000;

QString standardErrorOf(QProcess &process) {
    return QString::fromUtf8(process.readAllStandardError()).trimmed();
}

// Kills a program that must not go on and reaps it; bounded because a killed child is gone within moments.
void giveUp(QProcess &process) {
    if (process.state() == QProcess::NotRunning) return;
    process.kill();
    process.waitForFinished(KillReapMs);
}

// Removes the staged file however the job ends.
struct RemoveOnExit {
    QString path;
    ~RemoveOnExit() { QFile::remove(path); }
};

}  // namespace

RestoreJob::RestoreJob(const OrvTool &tool, int id, const QString &remotePath, const QString &dataset,
                       const QString &staging)
    : m_tool(tool), m_id(id), m_remotePath(remotePath), m_dataset(dataset), m_staging(staging) {}

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

bool RestoreJob::listedSize(const OrvTool &tool, const QString &remotePath, qint64 *size, QString *why) {
    const int slash = remotePath.lastIndexOf(QLatin1Char('/'));
    const QString folder = remotePath.left(slash);
    const QString name = remotePath.mid(slash + 1);
    QByteArray output;
    QByteArray standardError;
    if (!tool.ls(folder, &output, &standardError)) {
        *why = QStringLiteral("listing %1 failed: %2").arg(folder, QString::fromUtf8(standardError).trimmed());
        return false;
    }
    for (const QJsonValue &v : OrvTool::parseListing(output)) {
        const QJsonObject line = v.toObject();
        if (line.value(QStringLiteral("key")).toString() != name) continue;
        const QJsonValue listed = line.value(QStringLiteral("size"));
        if (!listed.isDouble() || listed.toDouble() < 0) break;
        *size = qint64(listed.toDouble());
        return true;
    }
    *why = QStringLiteral("the store lists no object %1 with a size").arg(remotePath);
    return false;
}

qint64 RestoreJob::freeBytes(const QString &dir) {
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(dir).constData(), &fs) != 0) return -1;
    return qint64(fs.f_bavail) * qint64(fs.f_frsize);
}

bool RestoreJob::run(const Observer &observer, QString *reason) {
    qint64 total = 0;
    if (!listedSize(m_tool, m_remotePath, &total, reason)) return false;

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
    QString toolSaid;
    if (!fetch(observer, total, &toolSaid, reason)) return false;
    const qint64 got = QFileInfo(staged).size();
    if (got != total) {
        *reason = QStringLiteral("the fetched file has %1 bytes, the store lists %2").arg(got).arg(total);
        if (!toolSaid.isEmpty()) *reason += QStringLiteral("; the tool said: ") + toolSaid;
        return false;
    }
    if (observer.receiving) observer.receiving();
    return receive(observer, reason);
}

bool RestoreJob::fetch(const Observer &observer, qint64 total, QString *toolSaid, QString *reason) {
    const QString staged = stagedFile();
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(m_tool.toolPath(), {QStringLiteral("get"), m_remotePath, staged});
    if (!process.waitForStarted(m_tool.waits().getStart)) {
        *reason = QStringLiteral("the tool did not start: ") + process.errorString();
        giveUp(process);
        return false;
    }
    // No overall limit: the fetch lasts as long as the object takes to arrive; it is watched every PollMs.
    qint64 reported = -1;
    while (process.state() != QProcess::NotRunning) {
        if (observer.stopRequested && observer.stopRequested()) {
            giveUp(process);
            *reason = QStringLiteral("stopped while fetching");
            return false;
        }
        const qint64 bytes = QFileInfo(staged).size();
        if (bytes != reported && observer.downloading) observer.downloading(bytes, total);
        reported = bytes;
        process.waitForFinished(PollMs);
    }
    if (observer.downloading) observer.downloading(QFileInfo(staged).size(), total);
    // The exit code is not trusted either way; the size check decides.
    *toolSaid = standardErrorOf(process);
    return true;
}

bool RestoreJob::receive(const Observer &observer, QString *reason) {
    QProcess process;
    process.setStandardInputFile(stagedFile());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(QStringLiteral("zfs"), {QStringLiteral("receive"), m_dataset});
    if (!process.waitForStarted(ReceiveStartMs)) {
        *reason = QStringLiteral("zfs receive did not start: ") + process.errorString();
        giveUp(process);
        return false;
    }
    // No overall limit: receiving takes as long as the stream is long.
    while (process.state() != QProcess::NotRunning) {
        if (observer.stopRequested && observer.stopRequested()) {
            giveUp(process);
            *reason = QStringLiteral("stopped while receiving");
            return false;
        }
        process.waitForFinished(PollMs);
    }
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) return true;
    const QString error = standardErrorOf(process);
    *reason = QStringLiteral("zfs receive %1 failed: %2")
                  .arg(m_dataset, error.isEmpty() ? QStringLiteral("exit code %1").arg(process.exitCode()) : error);
    return false;
}
