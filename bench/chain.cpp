// Incremental chains on a real ZFS (zfs-fuse, scripts/zfspool.sh), through the daemon binary with fullevery 6:
//   1. a dataset of 1 GiB of random data is backed up (a full object), 1% of its 128 KiB records are rewritten, and
//      it is backed up again: goal, the incremental object is at most 1.2 times the bytes changed;
//   2. four more such rounds make a chain of a full and five incrementals, and the last object is restored with its
//      chain through the daemon (qivclient_remote_restore, followed through qivclient_status), against the same
//      gets and receives run by a shell, alternating, each into a new dataset: goal, the daemon's median throughput
//      is at least 0.95 of the shell's.
// The object-store tool and the core agent are the stand-ins built beside this program.
// Run: build/bin/bench_chain [--mib N] [--rounds R]     (exit status 1 when a goal is missed, 2 without ZFS)

#include <sys/utsname.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "backupchains.h"
#include "benchsupport.h"
#include "kp2linux/lnx2utils.h"
#include "kp2localserver.h"

namespace {

constexpr qint64 kRecord = 128 * 1024;

// Rewrites `count` records of the file at random places with new random bytes; the bytes changed.
qint64 changeRecords(const QString &file, qint64 records, qint64 count) {
    QFile f(file);
    if (!f.open(QIODevice::ReadWrite)) return -1;
    QByteArray block(kRecord, '\0');
    QList<qint64> picked;
    while (picked.size() < count) {
        const qint64 r = qint64(QRandomGenerator::global()->bounded(quint32(records)));
        if (!picked.contains(r)) picked.append(r);
    }
    for (const qint64 r : picked) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        if (!f.seek(r * kRecord) || f.write(block) != block.size()) return -1;
    }
    f.close();
    bench::run(QStringLiteral("sync"), {});
    return count * kRecord;
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    qint64 mib = 1024;
    int rounds = 3;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--mib")) mib = args.at(i + 1).toLongLong();
        if (args.at(i) == QLatin1String("--rounds")) rounds = args.at(i + 1).toInt();
    }
    bench::Sandbox box;
    QString pool, mountpoint;
    // The pool: room for the dataset, its kept base and two restored copies.
    if (!box.prepare(app.applicationDirPath()) || !box.makePool(mib * 5 + 1024, &pool, &mountpoint)) return 2;
    const QString dataset = pool + QStringLiteral("/data");
    const QString file = mountpoint + QStringLiteral("/data/data");
    const QString serial = QStringLiteral("BENCH-SN");
    const QString folder = QStringLiteral("myorvane/bucket1/") + serial + QLatin1Char('/') + dataset;
    if (!bench::run(QStringLiteral("zfs"), {QStringLiteral("create"), dataset}) ||
        !bench::run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("head -c $1 /dev/urandom >$2"),
                                                QStringLiteral("sh"), QString::number(mib * 1024 * 1024), file})) {
        std::fprintf(stderr, "set-up of %s failed\n", qPrintable(dataset));
        return 2;
    }
    // Chains of up to six objects.
    box.startDaemon(serial, QJsonObject{{"fullevery", 6}});

    // One backup in a second of its own (snapshot names count seconds); the name of the object it stored.
    const QString objects = box.orvState + QStringLiteral("/objects/") + folder;
    auto backup = [&]() -> QString {
        const QString second = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
        while (QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss")) == second) QThread::msleep(50);
        const QStringList before = QDir(objects).entryList(QDir::Files);
        if (box.ask({{"cmd", "qivclient_zfsbackup"}, {"params", QJsonObject{{"dmpath", dataset}}}})
                .value(QStringLiteral("err"))
                .toInt(-1) != 0)
            return QString();
        for (;;) {
            QThread::msleep(100);
            const QJsonObject status = box.ask({{"cmd", "qivclient_status"}});
            if (status.value(QStringLiteral("results")).toObject().value(QStringLiteral("uploads")).toArray().isEmpty())
                break;
        }
        for (const QString &name : QDir(objects).entryList(QDir::Files))
            if (!before.contains(name)) return name;
        return QString();
    };

    const qint64 records = mib * 1024 * 1024 / kRecord;
    const QString full = backup();
    const qint64 changed = changeRecords(file, records, records / 100);
    const QString first = backup();
    if (full.isEmpty() || first.isEmpty() || changed <= 0 || !first.contains(QLatin1String("_from_"))) {
        std::fprintf(stderr, "backups failed: %s, %s\n", qPrintable(full), qPrintable(first));
        return 2;
    }
    const qint64 incremental = QFileInfo(objects + QLatin1Char('/') + first).size();
    const double sizeRatio = double(incremental) / double(changed);
    QString last = first;
    for (int i = 0; i < 4; ++i) {
        changeRecords(file, records, records / 100);
        last = backup();
    }

    // The chain as the store lists it, for the shell's run.
    QList<BackupChains::Object> listed;
    for (const QString &name : QDir(objects).entryList(QDir::Files)) {
        BackupChains::Object object{name, {}, QFileInfo(objects + QLatin1Char('/') + name).size()};
        if (BackupName::parse(name, &object.parsed)) listed.append(object);
    }
    QList<BackupChains::Object> chain;
    if (!BackupChains(listed).chainTo(last, &chain) || chain.size() != 6) {
        std::fprintf(stderr, "no chain of six up to %s\n", qPrintable(last));
        return 2;
    }
    qint64 chainBytes = 0;
    for (const BackupChains::Object &object : chain) chainBytes += object.size;

    auto viaShell = [&](const QString &target) {
        const QString staged = toShellArgEscaped(box.staging + QStringLiteral("/shell.zfs"));
        QString line = QStringLiteral("set -e; trap 'rm -f %1' EXIT; ").arg(staged);
        for (int i = 0; i < chain.size(); ++i)
            line += toShellArgEscaped(box.tool) + QStringLiteral(" get ") +
                    toShellArgEscaped(folder + QLatin1Char('/') + chain.at(i).name) + QLatin1Char(' ') + staged +
                    QStringLiteral("; zfs receive ") + (i + 1 < chain.size() ? QStringLiteral("-u ") : QString()) +
                    toShellArgEscaped(target) + QStringLiteral(" <") + staged + QStringLiteral("; rm -f ") + staged +
                    QStringLiteral("; ");
        line += QStringLiteral("zfs mount ") + toShellArgEscaped(target);
        return bench::run(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), line});
    };
    int made = 0;
    auto timed = [&](bool daemon, double *mibPerSecond) {
        const QString target = pool + QStringLiteral("/restored%1").arg(++made);
        QElapsedTimer t;
        t.start();
        const bool ok = daemon ? box.restore(dataset + "/" + last, target) : viaShell(target);
        const qint64 ns = t.nsecsElapsed();
        if (!ok || !bench::destroyDataset(target)) {
            std::fprintf(stderr, "%s restore into %s failed\n", daemon ? "daemon" : "shell", qPrintable(target));
            return false;
        }
        *mibPerSecond = double(chainBytes) / 1048576.0 / (double(ns) / 1e9);
        return true;
    };
    double ignored = 0;
    if (!timed(false, &ignored) || !timed(true, &ignored)) return 2;  // warm-up: caches, first loads
    std::vector<double> daemonRuns, shellRuns;
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 2; ++k) {  // A B B A ...: each kind goes first in every other round
            const bool daemon = (r % 2 == 0) == (k == 0);
            double mps = 0;
            if (!timed(daemon, &mps)) return 2;
            (daemon ? daemonRuns : shellRuns).push_back(mps);
            std::printf("round %d %-20s %8.1f MiB/s\n", r + 1, daemon ? "daemon chain restore" : "shell gets+receives",
                        mps);
        }
    }

    utsname u{};
    uname(&u);
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    loadavg.open(QIODevice::ReadOnly);
    const double mDaemon = bench::median(daemonRuns), mShell = bench::median(shellRuns), ratio = mDaemon / mShell;
    std::printf(
        "\nreal ZFS (zfs-fuse), %lld MiB of data, chain of %d objects (%.1f MiB), %d rounds each, %d CPUs, %s "
        "%s, load %s\n",
        mib, int(chain.size()), double(chainBytes) / 1048576.0, rounds, QThread::idealThreadCount(), u.sysname,
        u.release, loadavg.readAll().trimmed().constData());
    std::printf("incremental object %.2f MiB for %.2f MiB of changed records: size ratio %.3f (goal <= 1.2): %s\n",
                double(incremental) / 1048576.0, double(changed) / 1048576.0, sizeRatio,
                sizeRatio <= 1.2 ? "PASS" : "FAIL");
    std::printf(
        "median daemon chain restore %.1f MiB/s, the same gets and receives in a shell %.1f MiB/s, ratio "
        "%.3f (goal >= 0.95): %s\n",
        mDaemon, mShell, ratio, ratio >= 0.95 ? "PASS" : "FAIL");
    return sizeRatio <= 1.2 && ratio >= 0.95 ? 0 : 1;
}
