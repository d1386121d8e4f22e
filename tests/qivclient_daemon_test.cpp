// The daemon binary itself: start-up refusal, quitting on SIGINT/SIGTERM, surviving SIGHUP/SIGPIPE, and the limit it
// sets on requests.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <QJsonObject>

#include "daemonfixture.h"
#include "kp2localserver.h"
#include "testsupport.h"

using namespace testsupport;

namespace {

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

class Daemon : public DaemonFixture {
protected:
    // Waits until the daemon's signal handlers are in place: from then on a signal reaches the handler.
    void waitReady() {
        ASSERT_TRUE(waitUntil([&] { return catchesQuitSignals(daemon.processId()); }));
    }
};

// The configuration is checked first: no zfs runs, so its failure cannot print a trace line either.
TEST_F(Daemon, WithoutLocalAgentIdExitsSilentlyWith255) {
    const QString cfg = root.filePath("cfg.json");
    ASSERT_TRUE(writeJson(cfg, QJsonObject{{"debugging", true}, {"appname", "x"}}));
    ASSERT_TRUE(writeFile(zfsState + "/fail-list", ""));
    ASSERT_TRUE(start({"--cfg", cfg}));
    ASSERT_TRUE(daemon.waitForFinished(10000));
    EXPECT_EQ(daemon.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(daemon.exitCode(), 255);
    EXPECT_EQ(daemonOutput(), QByteArray());
    EXPECT_EQ(daemon.readAllStandardError(), QByteArray());
    EXPECT_FALSE(QFile::exists(zfsState + "/calls.log"));
}

TEST_F(Daemon, MissingOrMalformedConfigurationExitsWith255) {
    ASSERT_TRUE(start({"--cfg", root.filePath("absent.json")}));
    ASSERT_TRUE(daemon.waitForFinished(10000));
    EXPECT_EQ(daemon.exitCode(), 255);

    const QString bad = root.filePath("bad.json");
    ASSERT_TRUE(writeFile(bad, "{\"localagentid\": \"x\""));
    ASSERT_TRUE(start({"--cfg", bad}));
    ASSERT_TRUE(daemon.waitForFinished(10000));
    EXPECT_EQ(daemon.exitCode(), 255);
}

TEST_F(Daemon, SigtermPrintsOneQuitLineAndExitsWithZero) {
    const QString cfg = root.filePath("cfg.json");
    ASSERT_TRUE(writeJson(cfg, QJsonObject{{"localagentid", root.filePath("sock")}}));
    ASSERT_TRUE(start({"--cfg", cfg}));
    waitReady();
    ::kill(daemon.processId(), SIGTERM);
    ASSERT_TRUE(daemon.waitForFinished(10000));
    EXPECT_EQ(daemon.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(daemon.exitCode(), 0);
    EXPECT_EQ(daemonOutput(), QByteArray("Wait for quit ...\n"));
}

TEST_F(Daemon, SigintAlsoQuits) {
    const QString cfg = root.filePath("cfg.json");
    ASSERT_TRUE(writeJson(cfg, QJsonObject{{"localagentid", "   "}}));  // blanks are a name, not an empty id
    ASSERT_TRUE(start({"--cfg", cfg}));
    waitReady();
    ::kill(daemon.processId(), SIGINT);
    ASSERT_TRUE(daemon.waitForFinished(10000));
    EXPECT_EQ(daemon.exitCode(), 0);
    EXPECT_EQ(daemonOutput(), QByteArray("Wait for quit ...\n"));
}

TEST_F(Daemon, SighupAndSigpipeLeaveItRunning) {
    const QString cfg = root.filePath("cfg.json");
    ASSERT_TRUE(writeJson(cfg, QJsonObject{{"localagentid", root.filePath("sock")}}));
    ASSERT_TRUE(start({"--cfg", cfg}));
    waitReady();
    for (int i = 0; i < 3; ++i) {
        ::kill(daemon.processId(), SIGHUP);
        ::kill(daemon.processId(), SIGPIPE);
    }
    // Had either signal kept its default action the process would die by it (a crash exit) instead of ending
    // normally on the SIGTERM sent after them.
    ::kill(daemon.processId(), SIGTERM);
    ASSERT_TRUE(daemon.waitForFinished(10000));
    EXPECT_EQ(daemon.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(daemon.exitCode(), 0);
    EXPECT_EQ(daemonOutput(), QByteArray("Wait for quit ...\n"));
}

TEST_F(Daemon, WithoutCfgReadsConfigJsonBelowTheRoot) {
    ASSERT_TRUE(writeJson(path("/ovra/etc/orvane/config.json"), QJsonObject{{"localagentid", root.filePath("sock")}}));
    ASSERT_TRUE(start({}));
    waitReady();
    ::kill(daemon.processId(), SIGTERM);
    ASSERT_TRUE(daemon.waitForFinished(10000));
    EXPECT_EQ(daemon.exitCode(), 0);  // 255 would mean the file below the root was not read
}

TEST_F(Daemon, HelpExplainsTheOptions) {
    ASSERT_TRUE(start({"--help"}));
    ASSERT_TRUE(daemon.waitForFinished(10000));
    EXPECT_EQ(daemon.exitCode(), 0);
    const QByteArray out = daemonOutput();
    EXPECT_TRUE(out.contains("--cfg"));
    EXPECT_TRUE(out.contains("--root"));
}

TEST_F(Daemon, RequestOverFourMiBClosesItsConnectionAndTheDaemonServesOn) {
    ASSERT_TRUE(serve());
    const auto request = [](int padding) {
        return QJsonObject{{"cmd", "no_such_command"}, {"params", QJsonObject{{"pad", QString(padding, 'x')}}}};
    };
    QJsonObject reply;
    EXPECT_FALSE(KP2LocalServer::localRequest(socket(), request(4 * 1024 * 1024), &reply, 30));
    ASSERT_TRUE(KP2LocalServer::localRequest(socket(), request(4 * 1024 * 1024 - 100), &reply, 30));
    EXPECT_EQ(reply.value("err").toInt(), 9885);
}

}  // namespace
