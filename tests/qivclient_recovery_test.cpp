// The daemon binary across a crash and a stop, with the stand-in core agent, zfs and object-store tool: left-over
// snapshots uploaded after a restart, no pipeline outliving a killed daemon, partial objects never listed; and the
// start-up mends (refused empty --root, stale save files, open-file limit) and the refusal messages.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>

#include "daemonfixture.h"
#include "testsupport.h"

using namespace testsupport;

namespace {

const char *const kSerial = "SN-REC";
const QJsonObject kActive{{"active", true}, {"orvane", QJsonObject{{"url", "http://s"}, {"uid", "u"}, {"pwd", "p"}}}};

class Recovery : public DaemonFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(DaemonFixture::SetUp());
        ASSERT_TRUE(writeJson(path("/ovra/etc/qivclient/settings.json"), kActive));
    }

    QByteArray zfs(const QStringList &args) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(binPath("zfs"), args);
        EXPECT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
        return p.readAllStandardOutput();
    }
    QStringList snapshots() {
        return QString::fromUtf8(zfs({"list", "-H", "-t", "snapshot"})).split('\n', Qt::SkipEmptyParts);
    }
    QString objectFile(const QString &key) const {
        return orvState + "/objects/myorvane/bucket1/" + kSerial + "/" + key;
    }
    QStringList pipeCalls() const {
        QStringList out;
        for (const QByteArray &line : readFile(orvState + "/calls.log").split('\n')) {
            const QJsonArray args = QJsonDocument::fromJson(line).array();
            if (args.at(0).toString() == "pipe") out += args.at(1).toString().section('/', 3);
        }
        return out;
    }
    // Processes (other than zombies) that carry this test's stand-in state in their environment: the daemon and
    // whatever it started.
    int processesOfThisTest() const {
        const QByteArray mark = "QIV_FAKE_ORV_DIR=" + orvState.toUtf8();
        int n = 0;
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
            if (pid.toInt() <= 0 || readFile("/proc/" + pid + "/stat").contains(") Z ")) continue;
            if (readFile("/proc/" + pid + "/environ").split('\0').contains(mark)) ++n;
        }
        return n;
    }
    // Both listings, as the keys below the machine root they show with the size they report.
    QMap<QString, double> listed(const QString &dataset) {
        QMap<QString, double> shown;
        const QJsonObject all = call("qivclient_remote_alload").value("results").toObject();
        for (const QString &dmpath : all.keys())
            for (const QJsonValue &e : all.value(dmpath).toArray())
                shown.insert("all:" + e.toObject().value("subpath").toString(), e.toObject().value("size").toDouble());
        const QJsonObject by = call("qivclient_remote_loadby", {{"dmpath", dataset}}).value("results").toObject();
        for (const QJsonValue &e : by.value("snapshots").toArray())
            shown.insert("by:" + e.toObject().value("dmpath").toString(), e.toObject().value("size").toDouble());
        return shown;
    }
};

TEST_F(Recovery, DaemonKilledMidUploadUploadsTheLeftOverAfterRestartAndNeverListsThePartialObject) {
    QByteArray content;
    for (int i = 0; i < 50000; ++i) content += QByteArray::number(i * 7919) + ',';
    ASSERT_TRUE(writeFile(root.filePath("content"), content));
    const struct {
        const char *name;
        bool wholeGroup;
    } rows[] = {{"killed with its children", true}, {"killed alone", false}};
    int n = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QString dataset = QString("tank/data%1").arg(n++);
        zfs({"create", dataset, "--from", root.filePath("content")});
        ASSERT_TRUE(startAgent(kSerial));
        // The stream stalls halfway: the object holds half the data when the daemon dies.
        ASSERT_TRUE(writeFile(zfsState + "/pause-send", "600000"));
        ASSERT_TRUE(serve(true));
        ASSERT_EQ(call("qivclient_zfsbackup", {{"dmpath", dataset}}).value("err").toInt(-1), 0);
        ASSERT_TRUE(waitUntil([&] { return pipeCalls().size() == 1; }));
        const QString key = pipeCalls().first();
        ASSERT_TRUE(waitUntil([&] { return QFileInfo(objectFile(key)).size() == content.size() / 2; }));
        const QMap<QString, double> during = listed(dataset);
        EXPECT_FALSE(during.contains("all:" + key) || during.contains("by:" + key));

        ::kill(row.wholeGroup ? -daemon.processId() : daemon.processId(), SIGKILL);
        ASSERT_TRUE(daemon.waitForFinished(10000));
        stopProcess(agent);
        // No part of the pipeline is left to finish the upload behind the next daemon's back.
        EXPECT_TRUE(waitUntil([&] { return processesOfThisTest() == 0; })) << processesOfThisTest();
        EXPECT_EQ(QFileInfo(objectFile(key)).size(), content.size() / 2);
        ASSERT_EQ(snapshots().size(), 1);

        // The restarted daemon uploads it again, slowly enough for listings to run meanwhile.
        ASSERT_TRUE(writeFile(zfsState + "/pause-send", "300"));
        ASSERT_TRUE(startAgent(kSerial));
        ASSERT_TRUE(serve());
        QStringList partialShown;
        ASSERT_TRUE(waitUntil(
            [&] {
                const QMap<QString, double> shown = listed(dataset);
                for (auto it = shown.begin(); it != shown.end(); ++it)
                    if (it.value() != content.size()) partialShown += it.key();
                return shown.contains("all:" + key) && snapshots().isEmpty();
            },
            30000));
        EXPECT_EQ(partialShown, QStringList());
        EXPECT_EQ(readFile(objectFile(key)), content);
        EXPECT_EQ(pipeCalls(), (QStringList{key, key}));
        daemon.terminate();
        ASSERT_TRUE(daemon.waitForFinished(10000));
        stopProcess(agent);
        QFile::remove(orvState + "/calls.log");
    }
}

TEST_F(Recovery, NamesQueuedAtAStopAndLeftOverSnapshotsAreUploadedOldestFirstAfterTheRestart) {
    ASSERT_TRUE(startAgent(kSerial));
    for (const char *dataset : {"tank/a", "tank/b"}) zfs({"create", dataset});
    // Left over from earlier runs, named out of time order; a snapshot of another kind stays untouched.
    zfs({"snapshot", "tank/b@qiv_20240101000002"});
    zfs({"snapshot", "tank/a@qiv_20240101000003"});
    zfs({"snapshot", "tank/a@manual"});
    // The alias cannot be stored, so nothing is uploaded before the stop.
    ASSERT_TRUE(writeFile(orvState + "/fail-set", "orvclient: access denied\n"));
    ASSERT_TRUE(serve());
    ASSERT_EQ(call("qivclient_zfsbackup", {{"dmpath", "tank/a"}}).value("err").toInt(-1), 0);
    QStringList taken = snapshots();
    for (const char *earlier : {"tank/a@manual", "tank/a@qiv_20240101000003", "tank/b@qiv_20240101000002"})
        taken.removeOne(earlier);
    ASSERT_EQ(taken.size(), 1) << snapshots().join(' ').toStdString();
    const QString queued = taken.first();
    daemon.terminate();
    ASSERT_TRUE(daemon.waitForFinished(10000));
    EXPECT_EQ(pipeCalls(), QStringList());

    ASSERT_TRUE(QFile::remove(orvState + "/fail-set"));
    ASSERT_TRUE(serve());
    ASSERT_TRUE(waitUntil([&] { return snapshots() == QStringList{"tank/a@manual"}; }, 30000))
        << snapshots().join(' ').toStdString();
    EXPECT_EQ(pipeCalls(), (QStringList{"tank/b/qiv_20240101000002", "tank/a/qiv_20240101000003",
                                        QString(queued).replace('@', '/')}));
}

TEST_F(Recovery, RemoteCommandsRefusedSayWhyWithTheirCodeUnchanged) {
    ASSERT_TRUE(serve());  // no agent yet: the serial number cannot be learned
    const struct {
        const char *name;
        QJsonObject settings;
        bool agent;
        bool failSet;
        QString errmsg;
    } rows[] = {
        {"serial number unknown", kActive, false, false, "机器序列号未知"},
        {"client not active", QJsonObject{{"active", false}}, true, false, "客户端未启用"},
        {"credentials incomplete",
         QJsonObject{{"active", true}, {"orvane", QJsonObject{{"url", "http://s"}, {"pwd", " "}}}}, true, false,
         "存储凭据不完整: uid, pwd"},
        {"alias not stored", kActive, true, true, "设置存储别名失败: orvclient: access denied"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.agent && agent.state() == QProcess::NotRunning) {
            ASSERT_TRUE(startAgent(kSerial));
        }
        if (row.failSet) {
            ASSERT_TRUE(writeFile(orvState + "/fail-set", "orvclient: access denied\n"));
        }
        ASSERT_EQ(call("qivclient_settingsave", row.settings).value("err").toInt(-1), 0);
        for (const QJsonObject &reply :
             {call("qivclient_remote_alload"), call("qivclient_remote_loadby", {{"dmpath", "tank/data"}}),
              call("qivclient_remote_remove", {{"subpath", "tank/data/qiv_1"}})}) {
            EXPECT_EQ(reply.value("err").toInt(), 9999);
            EXPECT_EQ(reply.value("errmsg").toString(), row.errmsg);
        }
    }
}

TEST_F(Recovery, AFailedListingIsTracedByTheListingOperation) {
    ASSERT_TRUE(startAgent(kSerial));
    ASSERT_TRUE(serve());
    ASSERT_TRUE(writeFile(orvState + "/fail-ls", "bucket gone\n"));
    EXPECT_EQ(call("qivclient_remote_alload").value("err").toInt(), 9999);
    EXPECT_EQ(call("qivclient_remote_loadby", {{"dmpath", "tank/data"}}).value("err").toInt(), 9999);
    for (const char *operation : {"remoteAlload", "remoteLoadby"}) {
        const QByteArray line = QByteArray("=> ") + operation + ": process.readAllStandardError() = bucket gone";
        EXPECT_TRUE(waitUntil([&] { return daemonOutput().contains(line); })) << daemonOutput().constData();
    }
}

TEST_F(Recovery, AnEmptyRootIsRefusedAndNeverMeansTheApplianceRoot) {
    const QString cfg = root.filePath("cfg.json");
    ASSERT_TRUE(writeJson(cfg, QJsonObject{{"localagentid", socket()}}));
    for (const QStringList &args : {QStringList{"--cfg", cfg, "--root", ""}, QStringList{"--cfg", cfg, "--root"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        ASSERT_TRUE(start(args));
        ASSERT_TRUE(daemon.waitForFinished(10000));
        EXPECT_EQ(daemon.exitCode(), 255);
        EXPECT_TRUE(daemon.readAllStandardError().contains("--root needs a directory"));
    }
}

TEST_F(Recovery, StartRemovesTheTemporaryFilesOfAKilledSaveAndRaisesTheOpenFileLimit) {
    const QString dir = path("/ovra/etc/qivclient/");
    const QStringList stale{"settings.json.AbCdEf"};
    const QStringList kept{"settings.json.AbCdE1", "settings.json.bak", "other.json.AbCdEf"};
    for (const QString &name : stale + kept) ASSERT_TRUE(writeFile(dir + name, "{"));
    // The daemon inherits a soft limit below the hard one.
    struct rlimit ours;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &ours), 0);
    struct rlimit lowered = ours;
    lowered.rlim_cur = qMin<rlim_t>(ours.rlim_max - 1, 512);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const ::testing::AssertionResult served = serve();
    ::setrlimit(RLIMIT_NOFILE, &ours);
    ASSERT_TRUE(served);
    for (const QString &name : stale) EXPECT_FALSE(QFile::exists(dir + name)) << name.toStdString();
    for (const QString &name : kept) EXPECT_TRUE(QFile::exists(dir + name)) << name.toStdString();

    const QByteArray limits = readFile(QString("/proc/%1/limits").arg(daemon.processId()));
    const QList<QByteArray> open =
        limits.mid(limits.indexOf("Max open files")).split('\n').first().simplified().split(' ');
    ASSERT_GE(open.size(), 5);
    EXPECT_EQ(open.at(3), open.at(4));  // soft == hard
}

}  // namespace
