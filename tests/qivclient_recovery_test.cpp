// The daemon binary (with the stand-ins) across a crash and a stop, its start-up mends and its refusal messages.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <thread>

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
        ASSERT_TRUE(writeActiveSettings());
    }

    QStringList zfs(const QStringList &args) {
        QByteArray out;
        EXPECT_EQ(run("zfs", args, &out), 0) << out.constData();
        return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts);
    }
    QStringList snapshots() { return zfs({"list", "-H", "-t", "snapshot"}); }
    qint64 objectSize(const QString &key) const {
        return QFileInfo(orvState + "/objects/myorvane/bucket1/" + kSerial + "/" + key).size();
    }
    // The object keys (below the machine root) the tool was asked to store, in order.
    QStringList pipeCalls() const {
        QStringList out;
        for (const QByteArray &line : readFile(orvState + "/calls.log").split('\n')) {
            const QJsonArray args = QJsonDocument::fromJson(line).array();
            if (args.at(0).toString() == "pipe") out += args.at(1).toString().section('/', 3);
        }
        return out;
    }
    // Live processes that carry this test's stand-in state in their environment: the daemon and all it started.
    int processesOfThisTest() const {
        const QByteArray mark = "QIV_FAKE_ORV_DIR=" + orvState.toUtf8();
        int n = 0;
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs))
            if (!readFile("/proc/" + pid + "/stat").contains(") Z ") &&
                readFile("/proc/" + pid + "/environ").split('\0').contains(mark))
                ++n;
        return n;
    }
    // The object keys both listings show; those shown with another size than `size` are marked "partial:".
    QStringList listed(const QString &dataset, double size) {
        QJsonArray entries =
            call("qivclient_remote_loadby", {{"dmpath", dataset}}).value("results")["snapshots"].toArray();
        for (const QJsonValue &group : call("qivclient_remote_alload").value("results").toObject())
            for (const QJsonValue &e : group.toArray()) entries.append(e);
        QStringList shown;
        for (const QJsonValue &e : entries)  // "dmpath" of a per-dataset entry, "subpath" of a full-listing one
            shown += (e["size"].toDouble() == size ? "" : "partial:") +
                     (e["subpath"].toString().contains('/') ? e["subpath"] : e["dmpath"]).toString();
        return shown;
    }
};

TEST_F(Recovery, DaemonKilledMidUploadUploadsTheLeftOverAfterRestartAndNeverListsThePartialObject) {
    QByteArray content;
    for (int i = 0; i < 50000; ++i) content += QByteArray::number(i * 7919) + ',';
    ASSERT_TRUE(writeFile(root.filePath("content"), content));
    for (const bool wholeGroup : {true, false}) {
        SCOPED_TRACE(wholeGroup ? "killed with its children" : "killed alone");
        const QString dataset = QString("tank/data%1").arg(wholeGroup);
        zfs({"create", dataset, "--from", root.filePath("content")});
        ASSERT_TRUE(startAgent(kSerial));
        ASSERT_TRUE(writeFile(zfsState + "/pause-send", "600000"));  // the stream stalls halfway
        ASSERT_TRUE(serve(true));
        ASSERT_EQ(call("qivclient_zfsbackup", {{"dmpath", dataset}}).value("err").toInt(-1), 0);
        ASSERT_TRUE(waitUntil([&] { return pipeCalls().size() == 1; }));
        const QString key = pipeCalls().first();
        ASSERT_TRUE(waitUntil([&] { return objectSize(key) == content.size() / 2; }));
        EXPECT_EQ(listed(dataset, content.size()).filter(key), QStringList());

        ::kill(wholeGroup ? -daemon.processId() : daemon.processId(), SIGKILL);
        ASSERT_TRUE(daemon.waitForFinished(10000));
        stopProcess(agent);
        // Nothing is left to finish the upload behind the next daemon's back.
        EXPECT_TRUE(waitUntil([&] { return processesOfThisTest() == 0; }));
        EXPECT_EQ(objectSize(key), content.size() / 2);

        // The restarted daemon uploads it again, slowly enough for listings to run meanwhile.
        ASSERT_TRUE(writeFile(zfsState + "/pause-send", "300"));
        ASSERT_TRUE(startAgent(kSerial));
        ASSERT_TRUE(serve());
        QStringList partial;
        EXPECT_TRUE(waitUntil(
            [&] {
                const QStringList shown = listed(dataset, content.size());
                partial += shown.filter("partial:");
                return shown.contains(key) && snapshots().isEmpty();
            },
            30000));
        EXPECT_EQ(partial, QStringList());
        EXPECT_EQ(objectSize(key), content.size());
        EXPECT_EQ(pipeCalls(), (QStringList{key, key}));
        daemon.terminate();
        ASSERT_TRUE(daemon.waitForFinished(10000));
        stopProcess(agent);
        QFile::remove(orvState + "/calls.log");
    }
}

TEST_F(Recovery, AnUploadThatEndsWhileAListingRunsIsNotListedWithThePartTheToolSaw) {
    QByteArray content;
    for (int i = 0; i < 50000; ++i) content += QByteArray::number(i * 7919) + ',';
    ASSERT_TRUE(writeFile(root.filePath("content"), content));
    zfs({"create", "tank/data", "--from", root.filePath("content")});
    ASSERT_TRUE(startAgent(kSerial));
    ASSERT_TRUE(writeFile(zfsState + "/pause-send", "600000"));  // each stream stalls halfway
    ASSERT_TRUE(serve());
    // While the listing's tool waits after reading the half-stored object, the upload fails and the object goes.
    const auto uploadEnds = [&] {
        ASSERT_TRUE(waitUntil([&] { return QFile::exists(orvState + "/ls-held"); }));
        for (const QString &pid : QDir("/proc").entryList(QDir::Dirs))  // the stalled `zfs send`
            if (readFile("/proc/" + pid + "/cmdline").split('\0').value(1) == "send" &&
                readFile("/proc/" + pid + "/environ").split('\0').contains("QIV_FAKE_ZFS_DIR=" + zfsState.toUtf8()))
                ::kill(pid.toInt(), SIGKILL);
        ASSERT_TRUE(waitUntil([&] {
            const QJsonObject status = call("qivclient_status").value("results").toObject();
            return status.contains("uploads") && status.value("uploads").toArray().isEmpty();
        }));
        ASSERT_TRUE(writeFile(orvState + "/release-ls", ""));
    };
    for (const char *listing : {"qivclient_remote_loadby", "qivclient_remote_alload"}) {
        SCOPED_TRACE(listing);
        for (const char *file : {"hold-ls", "ls-held", "release-ls"}) QFile::remove(orvState + "/" + file);
        ASSERT_EQ(call("qivclient_zfsbackup", {{"dmpath", "tank/data"}}).value("err").toInt(-1), 0);
        ASSERT_TRUE(waitUntil([&] { return !pipeCalls().isEmpty() && objectSize(pipeCalls().last()) > 0; }));
        ASSERT_TRUE(writeFile(orvState + "/hold-ls", ""));
        std::thread ending(uploadEnds);
        const QJsonObject reply = call(listing, {{"dmpath", "tank/data"}});
        ending.join();
        // The failed upload's snapshot goes without the worker waiting for it; the next backup may take its name.
        ASSERT_TRUE(waitUntil([&] { return snapshots().isEmpty(); }));
        EXPECT_EQ(reply.value("err").toInt(-1), 0);
        EXPECT_FALSE(QJsonDocument(reply.value("results").toObject()).toJson().contains("qiv_"))
            << QJsonDocument(reply).toJson().constData();
    }
}

TEST_F(Recovery, NamesQueuedAtAStopAndLeftOverSnapshotsAreUploadedOldestFirstAfterTheRestart) {
    ASSERT_TRUE(startAgent(kSerial));
    // Left over from earlier runs, named out of time order; a snapshot of another kind stays untouched.
    for (const QStringList &args : {QStringList{"create", "tank/a"},
                                    {"create", "tank/b"},
                                    {"snapshot", "tank/b@qiv_20240101000002"},
                                    {"snapshot", "tank/a@qiv_20240101000003"},
                                    {"snapshot", "tank/a@manual"}})
        zfs(args);
    // The alias cannot be stored, so nothing is uploaded before the stop.
    ASSERT_TRUE(writeFile(orvState + "/fail-set", "orvclient: access denied\n"));
    ASSERT_TRUE(serve());
    ASSERT_EQ(call("qivclient_zfsbackup", {{"dmpath", "tank/a"}}).value("err").toInt(-1), 0);
    const QString queued = snapshots().filter(QRegularExpression("@qiv_(?!20240101)")).value(0);
    daemon.terminate();
    ASSERT_TRUE(daemon.waitForFinished(10000));
    EXPECT_EQ(pipeCalls(), QStringList());

    ASSERT_TRUE(QFile::remove(orvState + "/fail-set"));
    ASSERT_TRUE(serve());
    ASSERT_TRUE(waitUntil([&] { return snapshots() == QStringList{"tank/a@manual"}; }, 30000));
    EXPECT_EQ(pipeCalls(), (QStringList{"tank/b/qiv_20240101000002", "tank/a/qiv_20240101000003",
                                        QString(queued).replace('@', '/')}));
}

TEST_F(Recovery, RemoteCommandsRefusedSayWhyWithTheirCodeUnchanged) {
    ASSERT_TRUE(serve());  // no agent yet: the serial number cannot be learned
    const struct {
        const char *name;
        QJsonObject settings;
        QString errmsg;
    } rows[] = {
        {"serial number unknown", kActive, "机器序列号未知"},
        {"client not active", QJsonObject{{"active", false}}, "客户端未启用"},
        {"credentials incomplete", QJsonObject{{"active", true}, {"orvane", QJsonObject{{"url", "x"}, {"pwd", " "}}}},
         "存储凭据不完整: uid, pwd"},
        {"alias not stored", kActive, "设置存储别名失败: orvclient: access denied"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.errmsg == "客户端未启用") {
            ASSERT_TRUE(startAgent(kSerial));
        }
        writeFile(orvState + "/fail-set", "orvclient: access denied\n");  // matters only once an alias is set
        ASSERT_EQ(call("qivclient_settingsave", row.settings).value("err").toInt(-1), 0);
        for (const QJsonObject &reply :
             {call("qivclient_remote_alload"), call("qivclient_remote_loadby", {{"dmpath", "tank/data"}}),
              call("qivclient_remote_remove", {{"subpath", "tank/data/qiv_1"}}),
              call("qivclient_remote_restore", {{"subpath", "tank/data/qiv_1"}, {"dataset", "tank/r"}}),
              call("qivclient_remote_prune", {{"dmpath", "tank/data"}, {"keep", 1}})}) {
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
    const QStringList kept{"settings.json.AbCdE1", "settings.json.bak", "other.json.AbCdEf"};
    for (const QString &name : kept + QStringList{"settings.json.AbCdEf", "status.json.XyZabc"})
        ASSERT_TRUE(writeFile(dir + name, "{"));
    struct rlimit ours, lowered;  // the daemon inherits a soft limit below the hard one
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &ours), 0);
    lowered = {qMin<rlim_t>(ours.rlim_max - 1, 512), ours.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const ::testing::AssertionResult served = serve();
    ::setrlimit(RLIMIT_NOFILE, &ours);
    ASSERT_TRUE(served);
    EXPECT_EQ(QDir(dir).entryList(QDir::Files),
              (QStringList{"other.json.AbCdEf", "settings.json", "settings.json.AbCdE1", "settings.json.bak",
                           "status.json"}));

    const QByteArray limits = readFile(QString("/proc/%1/limits").arg(daemon.processId()));
    const QList<QByteArray> open =
        limits.mid(limits.indexOf("Max open files")).split('\n').first().simplified().split(' ');
    ASSERT_GE(open.size(), 5);
    EXPECT_EQ(open.at(3), open.at(4));  // soft == hard
}

}  // namespace
