#include "daemonfixture.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

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
    // setsid(1), not leading a group itself, execs the program in a new session: the pid QProcess knows stays.
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

int DaemonFixture::run(const QString &program, const QStringList &args, QByteArray *out) const {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStandardPaths::findExecutable(program, env.value(QStringLiteral("PATH")).split(QLatin1Char(':'))), args);
    const bool ended = p.waitForFinished(60000);
    if (out) *out = p.readAll();
    return ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QJsonObject DaemonFixture::restore(const QJsonObject &params) const {
    const QJsonObject reply = call(QStringLiteral("qivclient_remote_restore"), params);
    EXPECT_EQ(reply.value("err").toInt(-1), 0) << reply.value("errmsg").toString().toStdString();
    const int id = reply.value("results").toObject().value("id").toInt();
    QJsonObject record;
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            const QJsonObject status = call(QStringLiteral("qivclient_status")).value("results").toObject();
            for (const QJsonValue &v : status.value("restores").toArray())
                if (v.toObject().value("id").toInt() == id) record = v.toObject();
            return record.value("state") == "done" || record.value("state") == "failed";
        },
        60000));
    return record;
}

bool DaemonFixture::writeActiveSettings(const QJsonArray &dmpaths) const {
    return writeJson(path(QStringLiteral("/ovra/etc/qivclient/settings.json")),
                     QJsonObject{{"active", true},
                                 {"orvane", QJsonObject{{"url", "http://s"}, {"uid", "u"}, {"pwd", "p"}}},
                                 {"dmpaths", dmpaths}});
}
