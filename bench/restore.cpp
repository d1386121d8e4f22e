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
#include "clientsettings.h"
#include "kp2linux/lnx2utils.h"
#include "kp2localserver.h"
#include "streamstages.h"

namespace {

const QString kZfsPool = QStringLiteral(QIV_SOURCE_DIR "/scripts/zfspool.sh");
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

bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr) {
    QProcess p;
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, args);
    // Set-up and the direct restore: no limit, a slow disk only makes the run longer.
    const bool ok =
        p.waitForStarted() && p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out) *out = p.readAllStandardOutput();
    return ok;
}

bool writeText(const QString &path, const QByteArray &text) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Destroys the pool and stops the daemon and the agent when the benchmark ends, however it ends.
struct Cleanup {
    QString poolDir;
    QProcess daemon;
    QProcess agent;
    ~Cleanup() {
        for (QProcess *p : {&daemon, &agent}) {
            p->terminate();
            p->waitForFinished(20000);
        }
        if (!poolDir.isEmpty()) run(kZfsPool, {QStringLiteral("destroy"), poolDir});
    }
};

// Destroying a dataset right after it was written can find it busy under FUSE for a moment.
bool destroyDataset(const QString &dataset) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (run(QStringLiteral("zfs"), {QStringLiteral("destroy"), QStringLiteral("-r"), dataset})) return true;
        QThread::msleep(100);
    }
    return false;
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
    const QString bin = app.applicationDirPath();
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("root"));
    const QString orvState = dir.filePath(QStringLiteral("orv"));
    const QString staging = root + QStringLiteral("/ovra/var/qivclient/restore");
    if (!dir.isValid() || !QDir().mkpath(orvState) || !QDir().mkpath(staging) ||
        !QDir().mkpath(root + QStringLiteral("/ovra/sbin"))) {
        std::fprintf(stderr, "cannot create a temporary directory\n");
        return 2;
    }
    qputenv("QIV_FAKE_ORV_DIR", QFile::encodeName(orvState));
    Cleanup cleanup;

    // The pool: room for the dataset and two received copies of it.
    QProcess helper;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QIV_ZFSPOOL_SIZE"), QStringLiteral("%1M").arg(mib * 4 + 512));
    helper.setProcessEnvironment(env);
    helper.start(kZfsPool, {QStringLiteral("create"), dir.filePath(QStringLiteral("pool"))});
    if (!helper.waitForFinished(-1) || helper.exitCode() != 0) {
        std::fprintf(stderr, "no real ZFS: %s\n", helper.readAllStandardError().constData());
        return 2;
    }
    cleanup.poolDir = dir.filePath(QStringLiteral("pool"));
    const QStringList words = QString::fromUtf8(helper.readAllStandardOutput()).trimmed().split(QLatin1Char(' '));
    const QString pool = words.value(0);
    const QString tool = bin + QStringLiteral("/orvclient");
    const QString serial = QStringLiteral("BENCH-SN");
    // The stages of the backup, and the commands that undo them, as the daemon has them.
    ClientSettings settings;
    settings.identity = dir.filePath(QStringLiteral("age.key"));
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
    const QString mount = words.value(1) + QStringLiteral("/data");
    if (!run(QStringLiteral("zfs"), {QStringLiteral("create"), pool + QStringLiteral("/data")}) ||
        !(withStages
              ? run(kTextData, {mount, bytes})
              : run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("head -c $1 /dev/urandom >$2"),
                                                QStringLiteral("sh"), bytes, mount + QStringLiteral("/data")})) ||
        !run(QStringLiteral("zfs"), {QStringLiteral("snapshot"), pool + QStringLiteral("/data@s")}) ||
        !run(tool, {"alias", "set", "myorvane", "http://store", "u", "p"}) ||
        !run(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), storeLine})) {
        std::fprintf(stderr, "set-up of the backup on %s failed\n", qPrintable(pool));
        return 2;
    }

    // The daemon under --root with the stand-in agent, active, serving on its own socket.
    const QString socket = root + QStringLiteral("/run/qivclient.sock");
    const QString agentSocket = root + QStringLiteral("/run/ovra/localsockets/.ls.brimvex.agent.");
    QFile::link(tool, root + QStringLiteral("/ovra/sbin/orvclient"));
    writeText(root + QStringLiteral("/ovra/etc/orvane/config.json"),
              QJsonDocument(QJsonObject{{"localagentid", socket}}).toJson());
    writeText(root + QStringLiteral("/ovra/etc/qivclient/settings.json"),
              QJsonDocument(QJsonObject{{"active", true},
                                        {"orvane", QJsonObject{{"url", "http://store"},
                                                               {"uid", "u"},
                                                               {"pwd", "p"},
                                                               {"compress", settings.compress},
                                                               {"encrypt", settings.encrypt},
                                                               {"identity", settings.identity}}}})
                  .toJson());
    QDir().mkpath(QFileInfo(agentSocket).path());
    cleanup.agent.start(bin + QStringLiteral("/fake_agent"),
                        {QStringLiteral("--socket"), agentSocket, QStringLiteral("--sn"), serial});
    for (int i = 0; i < 200 && !QFileInfo::exists(agentSocket); ++i) QThread::msleep(25);
    cleanup.daemon.setStandardOutputFile(QProcess::nullDevice());
    cleanup.daemon.start(bin + QStringLiteral("/qivclient"), {QStringLiteral("--root"), root});
    for (int i = 0; i < 200 && !QFileInfo::exists(socket); ++i) QThread::msleep(25);

    int serialNumber = 0;
    auto viaDaemon = [&](const QString &dataset) {
        QJsonObject reply;
        if (!KP2LocalServer::localRequest(
                socket,
                QJsonObject{{"cmd", "qivclient_remote_restore"},
                            {"params", QJsonObject{{"subpath", subpath}, {"dataset", dataset}}}},
                &reply, 30) ||
            reply.value(QStringLiteral("err")).toInt(-1) != 0) {
            std::fprintf(stderr, "restore refused: %s\n", QJsonDocument(reply).toJson().constData());
            return false;
        }
        const int id = reply.value(QStringLiteral("results")).toObject().value(QStringLiteral("id")).toInt();
        // Followed the way an operator's tool follows it; the status is cheap to ask for.
        for (;;) {
            QThread::msleep(20);
            if (!KP2LocalServer::localRequest(socket, QJsonObject{{"cmd", "qivclient_status"}}, &reply, 30))
                return false;
            for (const QJsonValue &v :
                 reply.value(QStringLiteral("results")).toObject().value(QStringLiteral("restores")).toArray()) {
                const QJsonObject r = v.toObject();
                if (r.value(QStringLiteral("id")).toInt() != id) continue;
                const QString state = r.value(QStringLiteral("state")).toString();
                if (state == QLatin1String("done")) return true;
                if (state == QLatin1String("failed")) {
                    std::fprintf(stderr, "restore failed: %s\n",
                                 qPrintable(r.value(QStringLiteral("error")).toString()));
                    return false;
                }
            }
        }
    };
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
        return run(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), line});
    };
    int made = 0;
    auto timed = [&](bool daemon, double *mibPerSecond) {
        const QString dataset = pool + QStringLiteral("/restored%1").arg(++made);
        QElapsedTimer t;
        t.start();
        const bool ok = daemon ? viaDaemon(dataset) : direct(dataset);
        const qint64 ns = t.nsecsElapsed();
        if (!ok || !destroyDataset(dataset)) {
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
        if (!run(tool, {QStringLiteral("get"), object, in})) return 2;
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
    const double mDaemon = median(viaDaemonRuns), mDirect = median(directRuns), ratio = mDaemon / mDirect;
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
