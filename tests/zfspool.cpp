#include "zfspool.h"

#include <QProcess>
#include <QRandomGenerator>

#include "testsupport.h"

namespace {

const QString kScript = QStringLiteral(QIV_SOURCE_DIR "/scripts/zfspool.sh");
constexpr int kNoZfs = 77;  // the helper's exit status (reason on standard error) where no ZFS can be had

}  // namespace

ZfsPool::ZfsPool() {
    QProcess helper;
    helper.start(kScript, {QStringLiteral("create"), m_dir.path()});
    // Starting zfs-fuse or waiting on another test's helper take seconds; two minutes is the helper's lock bound.
    if (!helper.waitForFinished(150000)) {
        m_skipReason = QStringLiteral("scripts/zfspool.sh create did not finish");
        return;
    }
    const QStringList words = QString::fromUtf8(helper.readAllStandardOutput()).trimmed().split(QLatin1Char(' '));
    if (helper.exitStatus() != QProcess::NormalExit || helper.exitCode() != 0 || words.size() != 2) {
        m_skipReason = QString::fromUtf8(helper.readAllStandardError()).trimmed();
        if (helper.exitCode() != kNoZfs)
            ADD_FAILURE() << "scripts/zfspool.sh create failed: " << m_skipReason.toStdString();
        return;
    }
    m_name = words.at(0);
}

ZfsPool::~ZfsPool() {
    if (!available()) return;
    QProcess helper;
    helper.start(kScript, {QStringLiteral("destroy"), m_dir.path()});
    // The helper's lock bound (two minutes) and its retries of a busy pool (30 s).
    if (!helper.waitForFinished(180000) || helper.exitCode() != 0) {
        // The pool may still be imported: its image must stay, or the pool turns FAULTED.
        m_dir.setAutoRemove(false);
        ADD_FAILURE() << "scripts/zfspool.sh destroy " << m_name.toStdString()
                      << " failed: " << helper.readAllStandardError().constData();
    }
}

QString ZfsPool::createDataset(const QString &relative, QString *mountpoint, bool withFiles) const {
    const QString dataset = m_name + QLatin1Char('/') + relative;
    const QString mount = run({QStringLiteral("create"), dataset}) ? mountpointOf(dataset) : QString();
    if (mountpoint) *mountpoint = mount;
    if (mount.isEmpty()) return QString();
    if (withFiles) {
        QByteArray random(512 * 1024, '\0');
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
        if (!testsupport::writeFile(mount + "/notes.txt", "backed up on a real ZFS\n") ||
            !testsupport::writeFile(mount + "/sub dir/random.bin", random) ||
            !testsupport::writeFile(mount + "/sub dir/empty", QByteArray()))
            return QString();
    }
    return dataset;
}

QString ZfsPool::mountpointOf(const QString &dataset) const {
    QByteArray out;
    return run({"get", "-H", "-o", "value", "mountpoint", dataset}, &out) ? QString::fromUtf8(out).trimmed()
                                                                          : QString();
}

QStringList ZfsPool::snapshots(const QString &dataset) const {
    QByteArray out;
    run({"list", "-H", "-t", "snapshot", "-o", "name", "-r", dataset}, &out);
    return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool ZfsPool::run(const QStringList &args, QByteArray *out, const QString &stdinFile) const {
    QProcess process;
    if (!stdinFile.isEmpty()) process.setStandardInputFile(stdinFile);
    process.start(QStringLiteral("zfs"), args);
    const bool ok =
        process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (out) *out = ok ? process.readAllStandardOutput() : process.readAllStandardError();
    return ok;
}

::testing::AssertionResult sameFiles(const QString &a, const QString &b) {
    QProcess diff;
    diff.start(QStringLiteral("diff"), {QStringLiteral("-r"), a, b});
    if (diff.waitForFinished(60000) && diff.exitStatus() == QProcess::NormalExit && diff.exitCode() == 0 &&
        !a.isEmpty() && !b.isEmpty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "diff -r " << a.toStdString() << " " << b.toStdString() << ": "
                                         << diff.readAll().constData();
}
