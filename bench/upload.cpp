// Upload throughput: a snapshot stream (1 GiB of data by default) through OrvTool::upload, the daemon's upload
// (script, pty, quoted command line, pipefail), against the same `zfs send | orvclient pipe` pipeline run directly
// by bash, in the same run, alternating the two so that drift of a shared machine hits both alike. Goal: the median
// throughput of OrvTool::upload is at least 0.95 of the direct pipeline's. The snapshot comes from the stand-in zfs
// built beside this program, or with --real-zfs from a real ZFS (scripts/zfspool.sh: a pool on a sparse file, a
// dataset holding that much random data); the object-store tool is always the stand-in.
// With --stages (real ZFS only) the dataset holds ordinary compressible files (bench/textdata.sh) and both stream
// stages run, zstd then age (StreamStages, for a key pair made here), in both pipelines; a second goal is an object
// of at most half the stream's size, and each stage's CPU time is measured on its own over the same stream.
// Run: build/bin/bench_upload [--mib N] [--rounds R] [--real-zfs [--stages]]  (exit status 1 when a goal is missed)

#include <sys/resource.h>
#include <sys/utsname.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "clientsettings.h"
#include "kp2linux/lnx2utils.h"
#include "orvtool.h"
#include "streamstages.h"
#include "zfstool.h"

namespace {

bool runQuietly(const QString &program, const QStringList &args) {
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, args);
    // Set-up and the direct pipeline: no limit, a slow disk only makes the run longer.
    return p.waitForStarted() && p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// CPU seconds used so far by all waited-for descendants (zfs, the tool, bash, script).
double childrenCpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_CHILDREN, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

QString firstLineOf(const QString &file, const QByteArray &prefix) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) return QString();
    // /proc files report a size of 0, so read to the end rather than asking atEnd().
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(prefix)) return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
    return QString();
}

const QString kZfsPool = QStringLiteral(QIV_SOURCE_DIR "/scripts/zfspool.sh");
const QString kTextData = QStringLiteral(QIV_SOURCE_DIR "/bench/textdata.sh");

// CPU seconds of one run of program from the file in to the file out; -1 when it fails.
double cpuOfRun(const QString &program, const QStringList &args, const QString &in, const QString &out) {
    QProcess p;
    p.setStandardInputFile(in);
    p.setStandardOutputFile(out);
    const double before = childrenCpuSeconds();
    p.start(program, args);
    // A measurement: as long as the stream takes.
    const bool ok =
        p.waitForStarted() && p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return ok ? childrenCpuSeconds() - before : -1;
}

// Destroys the real pool made in a directory when the benchmark ends, however it ends.
struct PoolRemover {
    QString dir;
    ~PoolRemover() {
        if (!dir.isEmpty()) runQuietly(kZfsPool, {QStringLiteral("destroy"), dir});
    }
};

// A real pool in dir (scripts/zfspool.sh), a dataset holding mib MiB of random data (of ordinary files when
// textData) and its snapshot.
bool realSnapshot(const QString &dir, qint64 mib, bool textData, QString *pool, QString *snapshot) {
    QProcess helper;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QIV_ZFSPOOL_SIZE"), QStringLiteral("%1M").arg(mib * 2 + 512));
    helper.setProcessEnvironment(env);
    helper.start(kZfsPool, {QStringLiteral("create"), dir});
    // Starting zfs-fuse takes seconds; the helper bounds its own waits.
    if (!helper.waitForFinished(-1) || helper.exitCode() != 0) {
        std::fprintf(stderr, "no real ZFS: %s\n", helper.readAllStandardError().constData());
        return false;
    }
    const QStringList words = QString::fromUtf8(helper.readAllStandardOutput()).trimmed().split(QLatin1Char(' '));
    *pool = words.value(0);
    const QString dataset = *pool + QStringLiteral("/bench");
    *snapshot = dataset + QStringLiteral("@qiv_20240101120000");
    const QString bytes = QString::number(mib * 1024 * 1024);
    const QString mount = words.value(1) + QStringLiteral("/bench");
    return runQuietly(QStringLiteral("zfs"), {QStringLiteral("create"), dataset}) &&
           (textData ? runQuietly(kTextData, {mount, bytes})
                     : runQuietly(QStringLiteral("/bin/sh"),
                                  {QStringLiteral("-c"), QStringLiteral("head -c $1 /dev/urandom >$2"),
                                   QStringLiteral("sh"), bytes, mount + QStringLiteral("/data")})) &&
           runQuietly(QStringLiteral("zfs"), {QStringLiteral("snapshot"), *snapshot});
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    qint64 mib = 1024;
    int rounds = 9;
    const QStringList args = app.arguments();
    const bool realZfs = args.contains(QStringLiteral("--real-zfs"));
    const bool withStages = args.contains(QStringLiteral("--stages"));
    if (withStages && !realZfs) {
        std::fprintf(stderr, "--stages needs --real-zfs: the stand-in's stream is no file system of ordinary files\n");
        return 2;
    }
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--mib")) mib = args.at(i + 1).toLongLong();
        if (args.at(i) == QLatin1String("--rounds")) rounds = args.at(i + 1).toInt();
    }
    const qint64 bytes = mib * 1024 * 1024;

    const QString bin = app.applicationDirPath();
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir(dir.path()).mkpath(QStringLiteral("zfs")) ||
        !QDir(dir.path()).mkpath(QStringLiteral("orv"))) {
        std::fprintf(stderr, "cannot create a temporary directory\n");
        return 2;
    }
    qputenv("QIV_FAKE_ZFS_DIR", QFile::encodeName(dir.filePath(QStringLiteral("zfs"))));
    qputenv("QIV_FAKE_ORV_DIR", QFile::encodeName(dir.filePath(QStringLiteral("orv"))));
    const QString toolPath = bin + QStringLiteral("/orvclient");
    QString pool;
    QString snapshot = QStringLiteral("tank/bench@qiv_20240101120000");
    PoolRemover remover;
    if (realZfs) {
        const bool made = realSnapshot(dir.filePath(QStringLiteral("pool")), mib, withStages, &pool, &snapshot);
        if (!pool.isEmpty()) remover.dir = dir.filePath(QStringLiteral("pool"));
        if (!made) {
            if (!pool.isEmpty()) std::fprintf(stderr, "set-up of %s on the real ZFS failed\n", qPrintable(snapshot));
            return 2;
        }
    } else {
        // The stand-in zfs first on PATH, where OrvTool's pipeline and the direct one both find it.
        qputenv("PATH", QFile::encodeName(bin) + ':' + qgetenv("PATH"));
        const QString zfs = bin + QStringLiteral("/zfs");
        if (!runQuietly(zfs, {"create", "tank/bench", "--size", QString::number(bytes)}) ||
            !runQuietly(zfs, {"snapshot", snapshot})) {
            std::fprintf(stderr, "set-up with the stand-in zfs in %s failed\n", qPrintable(bin));
            return 2;
        }
    }
    if (!runQuietly(toolPath, {"alias", "set", OrvTool::Alias, "http://store:9000", "ak", "sk"})) {
        std::fprintf(stderr, "set-up of the stand-in tool in %s failed\n", qPrintable(bin));
        return 2;
    }
    // The stand-in's stream is exactly the data; a real stream adds ZFS's records, and the stages change its size:
    // the object's size is taken from the first run.
    qint64 objectBytes = realZfs ? -1 : bytes;

    // The upload's commands before the tool, the same for both pipelines: the stream, then the stages.
    ClientSettings settings;
    const QString identity = dir.filePath(QStringLiteral("age.key"));
    if (withStages) {
        QProcess keygen;
        keygen.start(QStringLiteral("age-keygen"), {QStringLiteral("-o"), identity});
        // Set-up: a moment, no limit needed.
        keygen.waitForFinished(-1);
        settings.compress = QStringLiteral("zstd");
        settings.encrypt = QString::fromUtf8(keygen.readAllStandardError()).section(QLatin1Char(' '), -1).trimmed();
        if (!settings.encrypt.startsWith(QLatin1String("age1"))) {
            std::fprintf(stderr, "age-keygen made no key pair\n");
            return 2;
        }
    }
    const OrvTool::Stream stream =
        OrvTool::Stream{ZfsTool().sendWords(snapshot)} + StreamStages::of(settings).uploadFilters();

    const OrvTool tool(toolPath);
    const QString remoteTool = QStringLiteral("myorvane/bucket1/S/tank/bench/via-orvtool");
    const QString remoteDirect = QStringLiteral("myorvane/bucket1/S/tank/bench/via-bash");
    const QString objects = dir.filePath(QStringLiteral("orv/objects/"));
    QStringList directCommands;
    for (const QStringList &words : stream + OrvTool::Stream{{toolPath, QStringLiteral("pipe"), remoteDirect}}) {
        QStringList quoted;
        for (const QString &word : words) quoted.append(toShellArgEscaped(word));
        directCommands.append(quoted.join(QLatin1Char(' ')));
    }
    const QString directLine = QStringLiteral("set -o pipefail; ") + directCommands.join(QStringLiteral(" | "));

    auto timed = [&](bool viaTool, double *mibPerSecond, double *cpuSeconds) {
        const QString object = objects + (viaTool ? remoteTool : remoteDirect);
        const double cpuBefore = childrenCpuSeconds();
        QElapsedTimer t;
        t.start();
        QString failure;
        const bool ok = viaTool ? tool.upload(stream, remoteTool, &failure)
                                : runQuietly(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), directLine});
        const qint64 ns = t.nsecsElapsed();
        *cpuSeconds = childrenCpuSeconds() - cpuBefore;
        if (objectBytes < 0) objectBytes = QFileInfo(object).size();
        const bool complete = QFileInfo(object).size() == objectBytes;
        QFile::remove(object);  // drops the dirty pages, so that write-back does not spill into the next run
        if (!ok || !complete) {
            std::fprintf(stderr, "%s run failed: %s\n", viaTool ? "OrvTool::upload" : "bash", qPrintable(failure));
            return false;
        }
        *mibPerSecond = double(mib) / (double(ns) / 1e9);
        return true;
    };

    // One untimed run of each first: page cache, the programs' first loads. The direct pipeline goes first, so that
    // a real object's size is taken from it.
    double ignored = 0, ignoredCpu = 0;
    if (!timed(false, &ignored, &ignoredCpu) || !timed(true, &ignored, &ignoredCpu)) return 2;

    std::vector<double> viaTool, direct, cpuTool, cpuDirect;
    for (int r = 0; r < rounds; ++r) {
        // A B B A ...: each kind goes first in every other round.
        for (int k = 0; k < 2; ++k) {
            const bool useTool = (r % 2 == 0) == (k == 0);
            double mps = 0, cpu = 0;
            if (!timed(useTool, &mps, &cpu)) return 2;
            (useTool ? viaTool : direct).push_back(mps);
            (useTool ? cpuTool : cpuDirect).push_back(cpu);
            std::printf("round %d %-16s %8.1f MiB/s  %6.3f s CPU\n", r + 1,
                        useTool ? "OrvTool::upload" : "bash pipeline", mps, cpu);
        }
    }

    // Each stage on its own over the same stream, saved to a file: its CPU time, and the sizes it makes.
    qint64 streamBytes = objectBytes;
    double zstdCpu = 0, ageCpu = 0;
    if (withStages) {
        const QString plain = dir.filePath(QStringLiteral("stream")), packed = plain + QStringLiteral(".zst");
        zstdCpu =
            runQuietly(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("zfs send \"$1\" >\"$2\""),
                                                   QStringLiteral("sh"), snapshot, plain})
                ? cpuOfRun(stream.at(1).first(), stream.at(1).mid(1), plain, packed)
                : -1;
        ageCpu = cpuOfRun(stream.at(2).first(), stream.at(2).mid(1), packed, QProcess::nullDevice());
        streamBytes = QFileInfo(plain).size();
        QFile::remove(plain);
        QFile::remove(packed);
        if (zstdCpu < 0 || ageCpu < 0) {
            std::fprintf(stderr, "a stage failed on its own\n");
            return 2;
        }
    }

    utsname u{};
    uname(&u);
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    loadavg.open(QIODevice::ReadOnly);
    const double mTool = median(viaTool), mDirect = median(direct), ratio = mTool / mDirect;
    std::printf("\n%s, %lld MiB of %s (stream %lld bytes), %d rounds each, machine: %s, %d CPUs, %s %s, load %s\n",
                realZfs ? "real ZFS (zfs-fuse)" : "stand-in zfs", mib,
                withStages ? "ordinary files, both stages (zstd -3, age)" : "random data", streamBytes, rounds,
                qPrintable(firstLineOf(QStringLiteral("/proc/cpuinfo"), "model name")), QThread::idealThreadCount(),
                u.sysname, u.release, loadavg.readAll().trimmed().constData());
    std::printf("median CPU of the programs per run: OrvTool::upload %.3f s, bash pipeline %.3f s\n", median(cpuTool),
                median(cpuDirect));
    std::printf("median OrvTool::upload %.1f MiB/s, bash pipeline %.1f MiB/s, ratio %.3f (goal >= 0.95): %s\n", mTool,
                mDirect, ratio, ratio >= 0.95 ? "PASS" : "FAIL");
    if (!withStages) return ratio >= 0.95 ? 0 : 1;
    const double shrink = double(objectBytes) / double(streamBytes);
    std::printf("CPU of each stage on its own over the stream: zstd -q -T0 -3 %.3f s, age -r %.3f s\n", zstdCpu,
                ageCpu);
    std::printf("object %lld bytes of a %lld-byte stream, ratio %.3f (goal <= 0.5): %s\n", objectBytes, streamBytes,
                shrink, shrink <= 0.5 ? "PASS" : "FAIL");
    return ratio >= 0.95 && shrink <= 0.5 ? 0 : 1;
}
