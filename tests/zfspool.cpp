#include "zfspool.h"

#include <QProcess>

namespace {

const QString kScript = QStringLiteral(QIV_SOURCE_DIR "/scripts/zfspool.sh");

// The helper exits with 77 (and its reason on standard error) when this machine has no ZFS to offer.
constexpr int kNoZfs = 77;

}  // namespace

ZfsPool::ZfsPool() {
    QProcess helper;
    helper.start(kScript, {QStringLiteral("create"), m_dir.path()});
    // Starting zfs-fuse and waiting on another test's helper both take seconds; two minutes is the helper's own
    // bound on the lock.
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
    m_mountpoint = words.at(1);
}

ZfsPool::~ZfsPool() {
    if (!available()) return;
    QProcess helper;
    helper.start(kScript, {QStringLiteral("destroy"), m_dir.path()});
    if (!helper.waitForFinished(150000) || helper.exitCode() != 0)
        ADD_FAILURE() << "scripts/zfspool.sh destroy " << m_name.toStdString()
                      << " failed: " << helper.readAllStandardError().constData();
}

bool ZfsPool::createDataset(const QString &relative, QString *mountpoint) const {
    const QString dataset = m_name + QLatin1Char('/') + relative;
    if (!run({QStringLiteral("create"), dataset})) return false;
    if (!mountpoint) return true;
    QByteArray out;
    if (!run({QStringLiteral("get"), QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("value"),
              QStringLiteral("mountpoint"), dataset},
             &out))
        return false;
    *mountpoint = QString::fromUtf8(out).trimmed();
    return true;
}

bool ZfsPool::run(const QStringList &args, QByteArray *out, QByteArray *err) const {
    QStringList rest = args;
    QString program = QStringLiteral("zfs");
    if (!rest.isEmpty() && rest.first() == QLatin1String("zpool")) program = rest.takeFirst();
    QProcess process;
    process.start(program, rest);
    const bool ok =
        process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (out) *out = process.readAllStandardOutput();
    if (err) *err = process.readAllStandardError();
    return ok;
}
