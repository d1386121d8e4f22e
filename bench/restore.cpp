// Restore throughput on a real ZFS (zfs-fuse, scripts/zfspool.sh): the daemon binary restores a stored backup of a
// dataset holding 1 GiB of data (qivclient_remote_restore, followed through qivclient_status until done), against the
// same work run directly in a shell: the tool's "get" into the same staging directory, then `zfs receive`. Both in
// the same run, alternating, each into a new dataset that is destroyed afterwards. Goal: the median throughput of
// the daemon's restore is at least 0.95 of the direct one's. The object-store tool and the core agent are the
// stand-ins built beside this program.
// Run: build/bin/bench_restore [--mib N] [--rounds R]     (exit status 1 when the goal is missed, 2 without ZFS)

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

#include "kp2linux/lnx2utils.h"
#include "kp2localserver.h"

namespace {

const QString kZfsPool = QStringLiteral(QIV_SOURCE_DIR "/scripts/zfspool.sh");

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
    const QString subpath = pool + QStringLiteral("/data/qiv_20240101120000");
    const QString object = QStringLiteral("myorvane/bucket1/") + serial + QLatin1Char('/') + subpath;

    // The backup: a dataset of random data, its snapshot stored through the stand-in tool.
    const QString storeLine = QStringLiteral("set -o pipefail; zfs send ") + toShellArgEscaped(pool + "/data@s") +
                              QStringLiteral(" | ") + toShellArgEscaped(tool) + QStringLiteral(" pipe ") +
                              toShellArgEscaped(object);
    if (!run(QStringLiteral("zfs"), {QStringLiteral("create"), pool + QStringLiteral("/data")}) ||
        !run(QStringLiteral("/bin/sh"),
             {QStringLiteral("-c"), QStringLiteral("head -c $1 /dev/urandom >$2"), QStringLiteral("sh"),
              QString::number(mib * 1024 * 1024), words.value(1) + QStringLiteral("/data/data")}) ||
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
                                        {"orvane", QJsonObject{{"url", "http://store"}, {"uid", "u"}, {"pwd", "p"}}}})
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
        const QString line = toShellArgEscaped(tool) + QStringLiteral(" get ") + toShellArgEscaped(object) +
                             QLatin1Char(' ') + toShellArgEscaped(staged) + QStringLiteral(" && zfs receive ") +
                             toShellArgEscaped(dataset) + QStringLiteral(" <") + toShellArgEscaped(staged) +
                             QStringLiteral("; status=$?; rm -f ") + toShellArgEscaped(staged) +
                             QStringLiteral("; exit $status");
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

    utsname u{};
    uname(&u);
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    loadavg.open(QIODevice::ReadOnly);
    const double mDaemon = median(viaDaemonRuns), mDirect = median(directRuns), ratio = mDaemon / mDirect;
    std::printf("\nreal ZFS (zfs-fuse), %lld MiB of data, %d rounds each, %d CPUs, %s %s, load %s\n", mib, rounds,
                QThread::idealThreadCount(), u.sysname, u.release, loadavg.readAll().trimmed().constData());
    std::printf(
        "median daemon restore %.1f MiB/s, get + zfs receive in a shell %.1f MiB/s, ratio %.3f (goal >= 0.95): "
        "%s\n",
        mDaemon, mDirect, ratio, ratio >= 0.95 ? "PASS" : "FAIL");
    return ratio >= 0.95 ? 0 : 1;
}
