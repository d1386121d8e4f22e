// What the benchmarks on a real ZFS share: running a set-up program, writing a file, the median of the rounds, and
// the cleanup of the pool, the daemon and the agent however a benchmark ends. Header only; QIV_SOURCE_DIR names the
// source tree (for scripts/zfspool.sh).
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "kp2localserver.h"

namespace bench {

inline const QString ZfsPoolScript = QStringLiteral(QIV_SOURCE_DIR "/scripts/zfspool.sh");

// Runs program to its end; true when it returned 0. No limit: set-up and the shell's runs take as long as the data.
inline bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr) {
    QProcess p;
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, args);
    const bool ok =
        p.waitForStarted() && p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out) *out = p.readAllStandardOutput();
    return ok;
}

inline bool writeText(const QString &path, const QByteArray &text) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

inline double median(std::vector<double> v) {
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
        if (!poolDir.isEmpty()) run(ZfsPoolScript, {QStringLiteral("destroy"), poolDir});
    }
};

// A daemon's appliance root in a temporary directory, with a real pool, the stand-in tool and agent from bin; all of
// it goes when the sandbox does.
struct Sandbox {
    QTemporaryDir dir;
    QString bin;
    QString root = dir.filePath(QStringLiteral("root"));
    QString orvState = dir.filePath(QStringLiteral("orv"));
    QString staging = root + QStringLiteral("/ovra/var/qivclient/restore");
    QString tool;
    QString socket = root + QStringLiteral("/run/qivclient.sock");
    Cleanup cleanup;  // last: it runs first, while the pool's directory still exists

    // The directories, and the stand-in tool's state for this process and its children.
    bool prepare(const QString &binDir) {
        bin = binDir;
        tool = bin + QStringLiteral("/orvclient");
        qputenv("QIV_FAKE_ORV_DIR", QFile::encodeName(orvState));
        if (dir.isValid() && QDir().mkpath(orvState) && QDir().mkpath(staging) &&
            QDir().mkpath(root + QStringLiteral("/ovra/sbin")))
            return true;
        std::fprintf(stderr, "cannot create a temporary directory\n");
        return false;
    }
    // A pool on a sparse file of sizeMiB; false without a real ZFS (the reason on standard error).
    bool makePool(qint64 sizeMiB, QString *pool, QString *mountpoint) {
        QProcess helper;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QIV_ZFSPOOL_SIZE"), QStringLiteral("%1M").arg(sizeMiB));
        helper.setProcessEnvironment(env);
        helper.start(ZfsPoolScript, {QStringLiteral("create"), dir.filePath(QStringLiteral("pool"))});
        if (!helper.waitForFinished(-1) || helper.exitCode() != 0) {  // zfs-fuse may take a while to start
            std::fprintf(stderr, "no real ZFS: %s\n", helper.readAllStandardError().constData());
            return false;
        }
        cleanup.poolDir = dir.filePath(QStringLiteral("pool"));
        const QStringList words = QString::fromUtf8(helper.readAllStandardOutput()).trimmed().split(QLatin1Char(' '));
        *pool = words.value(0);
        *mountpoint = words.value(1);
        return true;
    }
    // The daemon under --root, active with the given "orvane" settings (credentials added), and the stand-in agent
    // answering serial; waits until both listen.
    void startDaemon(const QString &serial, QJsonObject orvane) {
        const QString agentSocket = root + QStringLiteral("/run/ovra/localsockets/.ls.brimvex.agent.");
        QFile::link(tool, root + QStringLiteral("/ovra/sbin/orvclient"));
        writeText(root + QStringLiteral("/ovra/etc/orvane/config.json"),
                  QJsonDocument(QJsonObject{{"localagentid", socket}}).toJson());
        orvane.insert(QStringLiteral("url"), QStringLiteral("http://store"));
        orvane.insert(QStringLiteral("uid"), QStringLiteral("u"));
        orvane.insert(QStringLiteral("pwd"), QStringLiteral("p"));
        writeText(root + QStringLiteral("/ovra/etc/qivclient/settings.json"),
                  QJsonDocument(QJsonObject{{"active", true}, {"orvane", orvane}}).toJson());
        QDir().mkpath(QFileInfo(agentSocket).path());
        cleanup.agent.start(bin + QStringLiteral("/fake_agent"),
                            {QStringLiteral("--socket"), agentSocket, QStringLiteral("--sn"), serial});
        for (int i = 0; i < 200 && !QFileInfo::exists(agentSocket); ++i) QThread::msleep(25);
        cleanup.daemon.setStandardOutputFile(QProcess::nullDevice());
        cleanup.daemon.start(bin + QStringLiteral("/qivclient"), {QStringLiteral("--root"), root});
        for (int i = 0; i < 200 && !QFileInfo::exists(socket); ++i) QThread::msleep(25);
    }
    // One request; an empty object when no reply came.
    QJsonObject ask(const QJsonObject &request) const {
        QJsonObject reply;
        KP2LocalServer::localRequest(socket, request, &reply, 30);
        return reply;
    }
    // Restores subpath into dataset through the daemon and follows it the way an operator's tool does (the status
    // is cheap to ask for); true when it is done.
    bool restore(const QString &subpath, const QString &dataset) const {
        const QJsonObject reply = ask(
            {{"cmd", "qivclient_remote_restore"}, {"params", QJsonObject{{"subpath", subpath}, {"dataset", dataset}}}});
        if (reply.value(QStringLiteral("err")).toInt(-1) != 0) {
            std::fprintf(stderr, "restore refused: %s\n", QJsonDocument(reply).toJson().constData());
            return false;
        }
        const int id = reply.value(QStringLiteral("results")).toObject().value(QStringLiteral("id")).toInt();
        for (;;) {
            QThread::msleep(20);
            const QJsonObject status = ask({{"cmd", "qivclient_status"}});
            if (status.isEmpty()) return false;
            for (const QJsonValue &v :
                 status.value(QStringLiteral("results")).toObject().value(QStringLiteral("restores")).toArray()) {
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
    }
};

// Destroying a dataset right after it was written can find it busy under FUSE for a moment.
inline bool destroyDataset(const QString &dataset) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (run(QStringLiteral("zfs"), {QStringLiteral("destroy"), QStringLiteral("-r"), dataset})) return true;
        QThread::msleep(100);
    }
    return false;
}

}  // namespace bench
