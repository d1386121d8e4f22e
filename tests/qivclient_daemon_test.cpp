// The daemon binary itself: start-up refusal, quitting on SIGINT/SIGTERM and surviving SIGHUP/SIGPIPE.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <functional>

namespace {

const QString kDaemon = QStringLiteral(QIV_BIN_DIR "/qivclient");

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        QThread::msleep(5);
    }
    return true;
}

// True once the process has handlers installed for SIGHUP, SIGINT, SIGPIPE and SIGTERM ("SigCgt" in its status).
bool catchesQuitSignals(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (!line.startsWith("SigCgt:")) continue;
        const quint64 mask = line.mid(7).trimmed().toULongLong(nullptr, 16);
        const quint64 want =
            (1ull << (SIGHUP - 1)) | (1ull << (SIGINT - 1)) | (1ull << (SIGPIPE - 1)) | (1ull << (SIGTERM - 1));
        return (mask & want) == want;
    }
    return false;
}

class Daemon : public ::testing::Test {
protected:
    void writeConfig(const QString &path, const QJsonObject &cfg) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(cfg).toJson());
    }

    // Starts the daemon with --root and the given extra arguments and waits until its handlers are in place.
    void startDaemon(const QStringList &extra) {
        proc.setProgram(kDaemon);
        proc.setArguments(QStringList{"--root", root.path()} + extra);
        proc.start();
        ASSERT_TRUE(proc.waitForStarted(5000));
    }

    void waitReady() {
        ASSERT_TRUE(waitUntil([&] { return catchesQuitSignals(proc.processId()); }));
    }

    void TearDown() override {
        if (proc.state() != QProcess::NotRunning) {
            proc.kill();
            proc.waitForFinished(5000);
        }
    }

    QTemporaryDir root;
    QProcess proc;
};

TEST_F(Daemon, WithoutLocalAgentIdExitsSilentlyWith255) {
    const QString cfg = root.filePath("cfg.json");
    writeConfig(cfg, QJsonObject{{"debugging", true}, {"appname", "x"}});
    startDaemon({"--cfg", cfg});
    ASSERT_TRUE(proc.waitForFinished(10000));
    EXPECT_EQ(proc.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(proc.exitCode(), 255);
    EXPECT_EQ(proc.readAllStandardOutput(), QByteArray());
    EXPECT_EQ(proc.readAllStandardError(), QByteArray());
}

TEST_F(Daemon, MissingOrMalformedConfigurationExitsWith255) {
    startDaemon({"--cfg", root.filePath("absent.json")});
    ASSERT_TRUE(proc.waitForFinished(10000));
    EXPECT_EQ(proc.exitCode(), 255);

    QFile bad(root.filePath("bad.json"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("{\"localagentid\": \"x\"");
    bad.close();
    startDaemon({"--cfg", bad.fileName()});
    ASSERT_TRUE(proc.waitForFinished(10000));
    EXPECT_EQ(proc.exitCode(), 255);
}

TEST_F(Daemon, SigtermPrintsOneQuitLineAndExitsWithZero) {
    const QString cfg = root.filePath("cfg.json");
    writeConfig(cfg, QJsonObject{{"localagentid", root.filePath("sock")}});
    startDaemon({"--cfg", cfg});
    waitReady();
    ::kill(proc.processId(), SIGTERM);
    ASSERT_TRUE(proc.waitForFinished(10000));
    EXPECT_EQ(proc.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(proc.exitCode(), 0);
    EXPECT_EQ(proc.readAllStandardOutput(), QByteArray("Wait for quit ...\n"));
}

TEST_F(Daemon, SigintAlsoQuits) {
    const QString cfg = root.filePath("cfg.json");
    writeConfig(cfg, QJsonObject{{"localagentid", "   "}});  // blanks are a name, not an empty id
    startDaemon({"--cfg", cfg});
    waitReady();
    ::kill(proc.processId(), SIGINT);
    ASSERT_TRUE(proc.waitForFinished(10000));
    EXPECT_EQ(proc.exitCode(), 0);
    EXPECT_EQ(proc.readAllStandardOutput(), QByteArray("Wait for quit ...\n"));
}

TEST_F(Daemon, SighupAndSigpipeLeaveItRunning) {
    const QString cfg = root.filePath("cfg.json");
    writeConfig(cfg, QJsonObject{{"localagentid", root.filePath("sock")}});
    startDaemon({"--cfg", cfg});
    waitReady();
    for (int i = 0; i < 3; ++i) {
        ::kill(proc.processId(), SIGHUP);
        ::kill(proc.processId(), SIGPIPE);
    }
    // Had either signal kept its default action the process would die by it (a crash exit) instead of ending
    // normally on the SIGTERM sent after them.
    ::kill(proc.processId(), SIGTERM);
    ASSERT_TRUE(proc.waitForFinished(10000));
    EXPECT_EQ(proc.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(proc.exitCode(), 0);
    EXPECT_EQ(proc.readAllStandardOutput(), QByteArray("Wait for quit ...\n"));
}

TEST_F(Daemon, WithoutCfgReadsConfigJsonBelowTheRoot) {
    writeConfig(root.filePath("ovra/etc/orvane/config.json"), QJsonObject{{"localagentid", root.filePath("sock")}});
    startDaemon({});
    waitReady();
    ::kill(proc.processId(), SIGTERM);
    ASSERT_TRUE(proc.waitForFinished(10000));
    EXPECT_EQ(proc.exitCode(), 0);  // 255 would mean the file below the root was not read
}

TEST_F(Daemon, HelpExplainsTheOptions) {
    startDaemon({"--help"});
    ASSERT_TRUE(proc.waitForFinished(10000));
    EXPECT_EQ(proc.exitCode(), 0);
    const QByteArray out = proc.readAllStandardOutput();
    EXPECT_TRUE(out.contains("--cfg"));
    EXPECT_TRUE(out.contains("--root"));
}

}  // namespace
