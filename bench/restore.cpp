// Restore throughput on a real ZFS (zfs-fuse, scripts/zfspool.sh): the daemon binary restores a stored backup of a
// dataset holding 1 GiB of data (qivclient_remote_restore, followed through qivclient_status until done), against the
// same work run directly in a shell: the tool's "get" into the same staging directory, then `zfs receive`. Both in
// the same run, alternating, each into a new dataset that is destroyed afterwards. Goal: the median throughput of
// the daemon's restore is at least 0.95 of the direct one's. The object-store tool and the core agent are the
// stand-ins built beside this program. With --stages the dataset holds ordinary compressible files
// (bench/textdata.sh) and the backup went through both stream stages (zstd, then age for a key pair made here): the
// daemon undoes them in its receive pipeline, the shell in the same pipeline of its own, and each undoing stage's
// CPU time is measured on its own over the same object.
// Run: build/bin/bench_restore [--mib N] [--rounds R] [--stages]   (exit status 1 when the goal is missed, 2 without
// ZFS)

#include <sys/resource.h>
#include <sys/utsname.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "backupname.h"
#include "benchsupport.h"
#include "clientsettings.h"
#include "kp2linux/lnx2utils.h"
#include "kp2localserver.h"
#include "streamstages.h"

namespace {

const QString kTextData = QStringLiteral(QIV_SOURCE_DIR "/bench/textdata.sh");

// The commands as one bash pipeline, every word quoted.
QString shellPipeline(const QList<QStringList> &commands) {
    QStringList line;
    for (const QStringList &words : commands) {
        QStringList quoted;
        for (const QString &word : words) quoted.append(toShellArgEscaped(word));
        line.append(quoted.join(QLatin1Char(' ')));
    }
    return line.join(QStringLiteral(" | "));
}

// CPU seconds of one run of program from the file in to the file out; -1 when it fails.
double cpuOfRun(const QString &program, const QStringList &args, const QString &in, const QString &out) {
    QProcess p;
    p.setStandardInputFile(in);
    p.setStandardOutputFile(out);
    const auto cpu = [] {
        rusage r{};
        getrusage(RUSAGE_CHILDREN, &r);
        return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    const double before = cpu();
    p.start(program, args);
    // A measurement: as long as the object takes.
    const bool ok =
        p.waitForStarted() && p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return ok ? cpu() - before : -1;
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    qint64 mib = 1024;
    int rounds = 5;
    const QStringList args = app.arguments();
    const bool withStages = args.contains(QStringLiteral("--stages"));
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--mib")) mib = args.at(i + 1).toLongLong();
        if (args.at(i) == QLatin1String("--rounds")) rounds = args.at(i + 1).toInt();
    }
    bench::Sandbox box;
    QString pool, mountpoint;
    // The pool: room for the dataset and two received copies of it.
    if (!box.prepare(app.applicationDirPath()) || !box.makePool(mib * 4 + 512, &pool, &mountpoint)) return 2;
    const QString &tool = box.tool;
    const QString &staging = box.staging;
    const QString serial = QStringLiteral("BENCH-SN");
    // The stages of the backup, and the commands that undo them, as the daemon has them.
    ClientSettings settings;
    settings.identity = box.dir.filePath(QStringLiteral("age.key"));
    if (withStages) {
        QByteArray said;
        QProcess keygen;
        keygen.start(QStringLiteral("age-keygen"), {QStringLiteral("-o"), settings.identity});
        // Set-up: a moment, no limit needed.
        keygen.waitForFinished(-1);
        settings.compress = QStringLiteral("zstd");
        settings.encrypt = QString::fromUtf8(keygen.readAllStandardError()).section(QLatin1Char(' '), -1).trimmed();
    }
    const StreamStages stages = StreamStages::of(settings);
    BackupName name{QStringLiteral("20240101120000"), QString(), false, false};
    stages.mark(&name);
    const QList<QStringList> undo = StreamStages::undoFilters(name, settings.identity);
    const QString subpath = pool + QStringLiteral("/data/") + name.toString();
    const QString object = QStringLiteral("myorvane/bucket1/") + serial + QLatin1Char('/') + subpath;

    // The backup: a dataset of random data (ordinary files with the stages), its snapshot stored through the
    // stand-in tool.
    const QString storeLine =
        QStringLiteral("set -o pipefail; ") +
        shellPipeline(QList<QStringList>{{QStringLiteral("zfs"), QStringLiteral("send"), pool + "/data@s"}} +
                      stages.uploadFilters() + QList<QStringList>{{tool, QStringLiteral("pipe"), object}});
    const QString bytes = QString::number(mib * 1024 * 1024);
    const QString mount = mountpoint + QStringLiteral("/data");
    if (!bench::run(QStringLiteral("zfs"), {QStringLiteral("create"), pool + QStringLiteral("/data")}) ||
        !(withStages ? bench::run(kTextData, {mount, bytes})
                     : bench::run(QStringLiteral("/bin/sh"),
                                  {QStringLiteral("-c"), QStringLiteral("head -c $1 /dev/urandom >$2"),
                                   QStringLiteral("sh"), bytes, mount + QStringLiteral("/data")})) ||
        !bench::run(QStringLiteral("zfs"), {QStringLiteral("snapshot"), pool + QStringLiteral("/data@s")}) ||
        !bench::run(tool, {"alias", "set", "myorvane", "http://store", "u", "p"}) ||
        !bench::run(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), storeLine})) {
        std::fprintf(stderr, "set-up of the backup on %s failed\n", qPrintable(pool));
        return 2;
    }

    // The daemon under --root, active with the stages the backup went through.
    box.startDaemon(
        serial,
        QJsonObject{{"compress", settings.compress}, {"encrypt", settings.encrypt}, {"identity", settings.identity}});

    int serialNumber = 0;
    auto direct = [&](const QString &dataset) {
        const QString staged = staging + QStringLiteral("/direct-%1.zfs").arg(++serialNumber);
        // The staged file is the first command's input: the stages' undoing ones, or zfs receive itself.
        const QString receive =
            QStringLiteral("<") + toShellArgEscaped(staged) + QLatin1Char(' ') +
            shellPipeline(undo + QList<QStringList>{{QStringLiteral("zfs"), QStringLiteral("receive"), dataset}});
        const QString line = QStringLiteral("set -o pipefail; ") + toShellArgEscaped(tool) + QStringLiteral(" get ") +
                             toShellArgEscaped(object) + QLatin1Char(' ') + toShellArgEscaped(staged) +
                             QStringLiteral(" && ") + receive + QStringLiteral("; status=$?; rm -f ") +
                             toShellArgEscaped(staged) + QStringLiteral("; exit $status");
        return bench::run(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), line});
    };
    int made = 0;
    auto timed = [&](bool daemon, double *mibPerSecond) {
        const QString dataset = pool + QStringLiteral("/restored%1").arg(++made);
        QElapsedTimer t;
        t.start();
        const bool ok = daemon ? box.restore(subpath, dataset) : direct(dataset);
        const qint64 ns = t.nsecsElapsed();
        if (!ok || !bench::destroyDataset(dataset)) {
            std::fprintf(stderr, "%s restore into %s failed\n", daemon ? "daemon" : "direct", qPrintable(dataset));
            return false;
        }
        *mibPerSecond = double(mib) / (double(ns) / 1e9);
        return true;
    };

    double ignored = 0;
    if (!timed(false, &ignored) || !timed(true, &ignored)) return 2;  // warm-up: caches, first loads
    std::vector<double> viaDaemonRuns, directRuns;
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 2; ++k) {  // A B B A ...: each kind goes first in every other round
            const bool daemon = (r % 2 == 0) == (k == 0);
            double mps = 0;
            if (!timed(daemon, &mps)) return 2;
            (daemon ? viaDaemonRuns : directRuns).push_back(mps);
            std::printf("round %d %-16s %8.1f MiB/s\n", r + 1, daemon ? "daemon restore" : "get + receive", mps);
        }
    }

    // Each undoing stage on its own over the same object: its CPU time.
    QStringList stageCpu;
    if (withStages) {
        QString in = staging + QStringLiteral("/object");
        if (!bench::run(tool, {QStringLiteral("get"), object, in})) return 2;
        for (const QStringList &command : undo) {
            const QString out = in + QStringLiteral(".out");
            const double cpu = cpuOfRun(command.first(), command.mid(1), in, out);
            QFile::remove(in);
            in = out + QStringLiteral("x");
            QFile::rename(out, in);
            if (cpu < 0) return 2;
            stageCpu.append(QStringLiteral("%1 %2 s").arg(command.first()).arg(cpu, 0, 'f', 3));
        }
        QFile::remove(in);
    }

    utsname u{};
    uname(&u);
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    loadavg.open(QIODevice::ReadOnly);
    const double mDaemon = bench::median(viaDaemonRuns), mDirect = bench::median(directRuns), ratio = mDaemon / mDirect;
    std::printf("\nreal ZFS (zfs-fuse), %lld MiB of %s, object %s, %d rounds each, %d CPUs, %s %s, load %s\n", mib,
                withStages ? "ordinary files" : "random data", qPrintable(name.toString()), rounds,
                QThread::idealThreadCount(), u.sysname, u.release, loadavg.readAll().trimmed().constData());
    if (withStages)
        std::printf("CPU of each undoing stage on its own over the object: %s\n", qPrintable(stageCpu.join(", ")));
    std::printf(
        "median daemon restore %.1f MiB/s, get + zfs receive in a shell %.1f MiB/s, ratio %.3f (goal >= 0.95): "
        "%s\n",
        mDaemon, mDirect, ratio, ratio >= 0.95 ? "PASS" : "FAIL");
    return ratio >= 0.95 ? 0 : 1;
}
