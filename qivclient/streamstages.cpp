#include "streamstages.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

const QString Zstd = QStringLiteral("zstd");
const QString Age = QStringLiteral("age");

}  // namespace

StreamStages StreamStages::of(const ClientSettings &settings) {
    StreamStages stages;
    stages.m_compress = settings.compress == Zstd;
    stages.m_recipient = settings.encrypt;
    return stages;
}

void StreamStages::mark(BackupName *name) const {
    name->compressed = compresses();
    name->encrypted = encrypts();
}

StreamStages::Commands StreamStages::uploadFilters() const {
    Commands filters;
    // -3: zstd's default level; at it, zstd on every core keeps ahead of zfs send on the appliance's text-like data
    // (see docs/PERFORMANCE.md). -q keeps the progress line off the upload's terminal.
    if (compresses()) filters.append({Zstd, QStringLiteral("-q"), QStringLiteral("-T0"), QStringLiteral("-3")});
    if (encrypts()) filters.append({Age, QStringLiteral("-r"), m_recipient});
    return filters;
}

StreamStages::Commands StreamStages::undoFilters(const BackupName &name, const QString &identity) {
    Commands filters;
    if (name.encrypted) filters.append({Age, QStringLiteral("-d"), QStringLiteral("-i"), identity});
    if (name.compressed) filters.append({Zstd, QStringLiteral("-q"), QStringLiteral("-d")});
    return filters;
}

bool StreamStages::canUndo(const QString &object, const QString &identity, QString *reason) {
    BackupName name;
    if (!BackupName::parse(object, &name) || !name.encrypted) return true;
    // age reads the identity itself; this only tells a missing or unusable file apart before anything is fetched,
    // which age could only say after the whole object had been staged. A FIFO or device is refused unopened.
    const QFileInfo info(identity);
    QString why;
    if (!info.exists()) {
        why = QStringLiteral("does not exist");
    } else if (info.isDir()) {
        why = QStringLiteral("is a directory");
    } else if (!info.isFile()) {
        why = QStringLiteral("is not a regular file");
    } else {
        QFile file(identity);
        if (!file.open(QIODevice::ReadOnly) || file.read(1).isEmpty())
            why = file.error() == QFileDevice::NoError ? QStringLiteral("is empty") : file.errorString();
    }
    if (why.isEmpty()) return true;
    *reason = QStringLiteral("no identity to decrypt %1: %2: %3").arg(object, identity, why);
    return false;
}

bool StreamStages::checkSettings(const QJsonObject &file, QString *parameter, QString *reason) {
    // Read as ClientSettings reads them: trimmed, anything but a string counts as "".
    const QJsonObject orvane = file.value(QStringLiteral("orvane")).toObject();
    const QString compress = orvane.value(QStringLiteral("compress")).toString().trimmed();
    const QString encrypt = orvane.value(QStringLiteral("encrypt")).toString().trimmed();
    const QString identity = orvane.value(QStringLiteral("identity")).toString().trimmed();
    if (!compress.isEmpty() && compress != Zstd) {
        *parameter = QStringLiteral("compress");
        *reason = QStringLiteral("\"%1\" is no compression this client knows; \"zstd\" or \"\"").arg(compress);
        return false;
    }
    if (!identity.isEmpty() && !QDir::isAbsolutePath(identity)) {
        *parameter = QStringLiteral("identity");
        *reason = QStringLiteral("\"%1\" is not an absolute path").arg(identity);
        return false;
    }
    if (encrypt.isEmpty()) return true;
    // The recipient is asked of age itself, in the very words an upload uses, on empty input: what it refuses here
    // it would refuse at every upload. An argument list, so the text reaches age as one word whatever it holds.
    *parameter = QStringLiteral("encrypt");
    QProcess age;
    age.setStandardInputFile(QProcess::nullDevice());
    age.setStandardOutputFile(QProcess::nullDevice());
    age.start(Age, {QStringLiteral("-r"), encrypt});
    if (!age.waitForStarted(CheckMs)) {
        *reason = QStringLiteral("age did not start: ") + age.errorString();
        return false;
    }
    const bool finished = age.waitForFinished(CheckMs) || age.state() == QProcess::NotRunning;
    if (!finished) {
        age.kill();
        // Bounded: a killed child is gone within moments.
        age.waitForFinished(CheckMs);
        *reason = QStringLiteral("age did not answer within %1 s").arg(CheckMs / 1000);
        return false;
    }
    if (age.exitStatus() == QProcess::NormalExit && age.exitCode() == 0) return true;
    const QString said = QString::fromUtf8(age.readAllStandardError()).trimmed();
    *reason = said.isEmpty() ? QStringLiteral("age refused the recipient, exit code %1").arg(age.exitCode()) : said;
    return false;
}
