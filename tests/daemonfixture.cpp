#include "daemonfixture.h"

#include <QDir>
#include <QFile>

#include "testsupport.h"

using namespace testsupport;

void DaemonFixture::SetUp() {
    ASSERT_TRUE(root.isValid());
    zfsState = root.filePath(QStringLiteral("fake/zfs"));
    orvState = root.filePath(QStringLiteral("fake/orv"));
    ASSERT_TRUE(QDir().mkpath(zfsState));
    ASSERT_TRUE(QDir().mkpath(orvState));
    ASSERT_TRUE(QDir().mkpath(path("/ovra/sbin")));
    ASSERT_TRUE(QFile::link(binPath(QStringLiteral("orvclient")), path("/ovra/sbin/orvclient")));
    env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), QStringLiteral(QIV_BIN_DIR ":") + env.value(QStringLiteral("PATH")));
    env.insert(QStringLiteral("QIV_FAKE_ZFS_DIR"), zfsState);
    env.insert(QStringLiteral("QIV_FAKE_ORV_DIR"), orvState);
}

void DaemonFixture::TearDown() {
    if (daemon.state() != QProcess::NotRunning) {
        daemon.terminate();
        ASSERT_TRUE(daemon.waitForFinished(20000));  // else QProcess kills it as the fixture goes
        EXPECT_EQ(daemon.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(daemon.exitCode(), 0) << daemon.readAllStandardError().constData();
    }
    stopProcess(agent);
}

::testing::AssertionResult DaemonFixture::start(const QStringList &args, bool ownGroup) {
    m_output.clear();
    daemon.setProcessEnvironment(env);
    daemon.setWorkingDirectory(root.path());
    const QStringList daemonArgs = QStringList{QStringLiteral("--root"), root.path()} + args;
    // setsid(1) run by a process that leads no group makes the new session in place and execs the program: the
    // daemon keeps the pid that QProcess knows.
    if (ownGroup)
        daemon.start(QStringLiteral("setsid"), QStringList{binPath(QStringLiteral("qivclient"))} + daemonArgs);
    else
        daemon.start(binPath(QStringLiteral("qivclient")), daemonArgs);
    if (!daemon.waitForStarted(5000)) return ::testing::AssertionFailure() << "the daemon did not start";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult DaemonFixture::serve(bool ownGroup) {
    const QString cfg = root.filePath(QStringLiteral("cfg.json"));
    if (!writeJson(cfg, QJsonObject{{"debugging", true}, {"localagentid", socket()}}))
        return ::testing::AssertionFailure() << "cannot write " << cfg.toStdString();
    const ::testing::AssertionResult started = start({QStringLiteral("--cfg"), cfg}, ownGroup);
    if (!started) return started;
    if (!waitUntil([&] { return daemonOutput().contains("Local agent: "); }))
        return ::testing::AssertionFailure() << "no \"Local agent: \" line; output: " << m_output.constData();
    return ::testing::AssertionSuccess();
}

bool DaemonFixture::startAgent(const QString &serial) {
    return testsupport::startAgent(agent, path("/run/ovra/localsockets/.ls.brimvex.agent."),
                                   {QStringLiteral("--sn"), serial});
}

QByteArray DaemonFixture::daemonOutput() {
    daemon.waitForReadyRead(10);
    m_output += daemon.readAllStandardOutput();
    return m_output;
}

QJsonObject DaemonFixture::call(const QString &cmd, const QJsonObject &params) const {
    QJsonObject req{{"cmd", cmd}};
    if (!params.isEmpty()) req.insert(QStringLiteral("params"), params);
    return request(socket(), req);
}
