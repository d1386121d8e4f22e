// Restores and the backup status through the daemon binary: a backup brought back into a new dataset, the refusals
// and failures of a restore (existing dataset, short fetch), the status after success, failure and restart,
// and what qivctl makes of a known status; compressed and encrypted backups, their settings and identities.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include "daemonfixture.h"
#include "testsupport.h"
#include "zfspool.h"

using namespace testsupport;

namespace {

class Restore : public DaemonFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(DaemonFixture::SetUp());
        ASSERT_TRUE(startAgent(QStringLiteral("SN-R")));
        ASSERT_TRUE(writeActiveSettings({"tank/selected"}));
    }

    QJsonObject status() { return call(QStringLiteral("qivclient_status")).value("results").toObject(); }
    QJsonObject dataset(const QString &name) { return status().value("datasets").toObject().value(name).toObject(); }

    // Backs dataset up through the daemon and waits until its upload has ended; the backup's subpath.
    QString backup(const QString &dataset) {
        EXPECT_EQ(call("qivclient_zfsbackup", {{"dmpath", dataset}}).value("err").toInt(-1), 0);
        EXPECT_TRUE(waitUntil([&] { return status().value("uploads").toArray().isEmpty(); }, 60000));
        // The object of the last snapshot, whatever stages its name carries.
        const QString object = this->dataset(dataset).value("lastSnapshot").toString().replace('@', '/');
        const QJsonObject listed = call("qivclient_remote_loadby", {{"dmpath", dataset}}).value("results").toObject();
        for (const QJsonValue &entry : listed.value("snapshots").toArray())
            if (entry.toObject().value("dmpath").toString().startsWith(object))
                return entry.toObject().value("dmpath").toString();
        return object;
    }
    QString qivctl(const QStringList &args, int *exitCode) {
        QByteArray out;
        *exitCode = run(binPath("qivctl"), args, &out);
        return QString::fromUtf8(out);
    }
};

TEST_F(Restore, ParametersAreCheckedBeforeAnythingRuns) {
    ASSERT_TRUE(serve());
    const struct {
        const char *name, *subpath, *dataset, *staging, *errmsg;  // "缺少参数": 9995, "参数无效": 9996
    } rows[] = {
        {"no subpath", "", "tank/r", "", "缺少参数: subpath"},
        {"subpath leaves the machine root", "../x/qiv_1", "tank/r", "", "参数无效: subpath"},
        {"no dataset", "tank/d/qiv_1", "", "", "缺少参数: dataset"},
        {"dataset as an option", "tank/d/qiv_1", "-F", "", "参数无效: dataset"},  // more in restorejob_test
        {"relative staging", "tank/d/qiv_1", "tank/r", "tmp", "参数无效: staging"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QJsonObject reply = call("qivclient_remote_restore",
                                       {{"subpath", row.subpath}, {"dataset", row.dataset}, {"staging", row.staging}});
        const QString errmsg = QString::fromUtf8(row.errmsg);
        EXPECT_EQ(reply.value("err").toInt(), errmsg.startsWith("缺少参数") ? 9995 : 9996);
        EXPECT_EQ(reply.value("errmsg").toString(), errmsg);
    }
    EXPECT_TRUE(readFile(orvState + "/calls.log").isEmpty());
}

TEST_F(Restore, OnlyTheLastFiftyRestoresAreKept) {
    ASSERT_TRUE(serve());
    for (int i = 0; i < 53; ++i)
        call("qivclient_remote_restore",
             {{"subpath", "tank/none/qiv_1"}, {"dataset", QStringLiteral("tank/r%1").arg(i)}});
    QJsonArray restores;
    ASSERT_TRUE(waitUntil([&] {
        restores = status().value("restores").toArray();
        return restores.last().toObject().value("state") == "failed";
    }));
    ASSERT_EQ(restores.size(), 50);
    EXPECT_EQ(restores.first().toObject().value("id").toInt(), 4);
    EXPECT_TRUE(restores.last().toObject().value("error").toString().contains("the store lists no object"));
}

TEST_F(Restore, StatusKeepsSuccessAndFailureAcrossARestart) {
    ASSERT_EQ(run("zfs", {"create", "tank/data"}), 0);
    ASSERT_TRUE(serve());
    backup("tank/data");
    const QJsonObject success = dataset("tank/data");
    EXPECT_FALSE(success.value("lastSuccess").toString().isEmpty());
    EXPECT_EQ(success.value("failures").toInt(-1), 0);

    ASSERT_TRUE(writeFile(zfsState + "/fail-snapshot", "cannot create snapshot: out of space\n"));
    call("qivclient_zfsbackup", {{"dmpath", "tank/data"}});
    call("qivclient_zfsbackup", {{"dmpath", "tank/data"}});
    const QJsonObject before = status();
    const QJsonObject failed = before.value("datasets").toObject().value("tank/data").toObject();
    EXPECT_EQ(failed.value("failures").toInt(), 2);
    EXPECT_TRUE(failed.value("lastError").toString().contains("cannot create snapshot: out of space"));
    EXPECT_EQ(failed.value("lastSuccess"), success.value("lastSuccess"));
    EXPECT_TRUE(before.value("datasets").toObject().value("tank/selected").isObject());  // selected, never backed up

    daemon.terminate();
    ASSERT_TRUE(daemon.waitForFinished(20000));
    ASSERT_TRUE(serve());
    EXPECT_EQ(status(), before);
}

TEST_F(Restore, QivctlShowsAKnownStatusAsTableAndMetrics) {
    ASSERT_TRUE(writeJson(path("/ovra/etc/qivclient/settings.json"), QJsonObject()));
    ASSERT_TRUE(writeFile(path("/ovra/etc/qivclient/status.json"), R"({"datasets": {
        "tank/a": {"lastSuccess": "2026-01-02T03:04:05+00:00", "lastAttempt": "2026-01-02T03:04:00+00:00",
                   "failures": 0, "lastSize": 1572864, "chain": 3},
        "tank/b\"x": {"lastAttempt": "2026-01-01T00:00:00+01:00", "failures": 2, "lastError": "zfs said:\nno space"}},
      "restores": [{"id": 7, "state": "failed", "error": "the fetched file has 1 bytes, the store lists 2",
                    "subpath": "tank/a/qiv_1", "dataset": "tank/r", "updated": "2026-01-02T03:04:05+00:00"}]})"));
    ASSERT_TRUE(serve());
    ASSERT_TRUE(writeJson(path("/ovra/etc/orvane/config.json"), QJsonObject{{"localagentid", socket()}}));

    int exitCode = -1;
    // The socket comes from the daemon's configuration, below --root or named by --cfg; the texts themselves are
    // statusformat's (statusformat_test).
    const QString metrics = qivctl({"--root", root.path(), "status", "--metrics"}, &exitCode);
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(metrics.contains("qivclient_backup_last_success_timestamp_seconds{dataset=\"tank/a\"} 1767323045\n"))
        << metrics.toStdString();

    const QString table = qivctl({"--cfg", root.filePath("cfg.json"), "status"}, &exitCode);
    EXPECT_EQ(exitCode, 0);
    for (const char *line : {R"(^tank/b"x +never .* 2 +zfs said: no space$)", R"(^  restore 7: failed: )"})
        EXPECT_TRUE(table.contains(QRegularExpression(line, QRegularExpression::MultilineOption)))
            << line << "\nin:\n"
            << table.toStdString();
}

TEST_F(Restore, HostileStageSettingsAreRefusedAndUnusableIdentitiesFailBeforeFetching) {
    ASSERT_TRUE(serve());
    const QString pwned = root.filePath("pwned");
    const struct {
        const char *name, *key;
        QString value;
        QString error;  // the refusal's errmsg, or the failed restore's error
    } rows[] = {
        {"unknown compression", "compress", "gzip", "参数无效: compress"},
        {"relative identity", "identity", "keys/age.key", "参数无效: identity"},
        {"recipient with a command", "encrypt", "age1qqqq; touch " + pwned, "参数无效: encrypt"},
        {"recipient substituting a command", "encrypt", "$(touch " + pwned + ")", "参数无效: encrypt"},
        {"recipient with blanks", "encrypt", "age1 qqqq", "参数无效: encrypt"},
        {"identity is a directory", "identity", root.path(),
         "no identity to decrypt qiv_1.zst.age: " + root.path() + ": is a directory"},
        {"identity missing", "identity", root.filePath("none"),
         "no identity to decrypt qiv_1.age: " + root.filePath("none") + ": does not exist"},
    };
    const QString settingsFile = path("/ovra/etc/qivclient/settings.json");
    const QByteArray before = readFile(settingsFile);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QJsonObject orvane{{"url", "http://s"}, {"uid", "u"}, {"pwd", "p"}, {row.key, row.value}};
        const QJsonObject reply = call("qivclient_settingsave", {{"active", true}, {"orvane", orvane}});
        if (row.error.startsWith("参数无效")) {
            EXPECT_EQ(reply.value("err").toInt(), 9996);
            EXPECT_EQ(reply.value("errmsg").toString(), row.error);
            EXPECT_EQ(readFile(settingsFile), before);
            continue;
        }
        ASSERT_EQ(reply.value("err").toInt(-1), 0);
        const QString object = row.error.section(' ', 4, 4).chopped(1);
        ASSERT_TRUE(writeFile(orvState + "/objects/myorvane/bucket1/SN-R/tank/d/" + object, "stored"));
        const QJsonObject record = restore({{"subpath", "tank/d/" + object}, {"dataset", "tank/r"}});
        EXPECT_EQ(record.value("error").toString(), row.error);
        ASSERT_TRUE(writeFile(settingsFile, before));
    }
    EXPECT_FALSE(QFileInfo::exists(pwned));
    const QByteArray calls = readFile(orvState + "/calls.log");
    EXPECT_FALSE(calls.contains(R"(["get")")) << calls.constData();  // the chain is listed, nothing fetched
    // age's own reason comes with the refusal.
    const QJsonObject reply = call("qivclient_settingsave", {{"orvane", QJsonObject{{"encrypt", "age1 qqqq"}}}});
    EXPECT_TRUE(QJsonDocument(reply).toJson().contains("malformed recipient"))
        << QJsonDocument(reply).toJson().constData();
}

// On a real ZFS (the object store stays the stand-in tool); each test starts from a backup of a dataset with files.
class RealRestore : public Restore {
protected:
    static void SetUpTestSuite() { s_pool = new ZfsPool; }  // one pool: starting zfs-fuse takes seconds
    static void TearDownTestSuite() {
        delete s_pool;
        s_pool = nullptr;
    }
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Restore::SetUp());
        QIV_REQUIRE_ZFS(pool);
        env.insert("PATH", QString::fromLocal8Bit(qgetenv("PATH")));  // the real zfs, not the stand-in
        // Each test's datasets below a dataset of its own.
        static int test = 0;
        relative = QStringLiteral("t%1").arg(++test);
        prefix = pool.createDataset(relative);
        ASSERT_FALSE(pool.createDataset(relative + "/src", &source, true).isEmpty());
        ASSERT_NO_FATAL_FAILURE(beforeServe());
        ASSERT_TRUE(serve());
        subpath = backup(prefix + "/src");
        ASSERT_FALSE(subpath.isEmpty());
    }
    virtual void beforeServe() {}
    QStringList staged() { return QDir(path("/ovra/var/qivclient/restore")).entryList(QDir::Files); }

    static ZfsPool *s_pool;
    const ZfsPool &pool = *s_pool;
    QString relative, prefix;  // this test's datasets: prefix/src, the source, and the restore targets
    QString source, subpath;
};

TEST_F(RealRestore, IntoANewDatasetGivesIdenticalFiles) {
    const QString target = prefix + "/restored";
    int exitCode = -1;
    const QString out = qivctl({"--cfg", root.filePath("cfg.json"), "restore", subpath, target, "--wait"}, &exitCode);
    EXPECT_EQ(exitCode, 0) << out.toStdString();
    EXPECT_TRUE(out.startsWith("restore 1: queued\n")) << out.toStdString();
    EXPECT_TRUE(out.endsWith("restore 1: done\n")) << out.toStdString();

    EXPECT_TRUE(sameFiles(source, pool.mountpointOf(target)));
    EXPECT_TRUE(staged().isEmpty());
    // What was fetched is what the status says the upload stored.
    const QJsonObject record = status().value("restores").toArray().at(0).toObject();
    EXPECT_EQ(record.value("bytes"), dataset(prefix + "/src").value("lastSize"));
}

TEST_F(RealRestore, IntoAnExistingDatasetFailsWithZfsMessageAndLeavesItUntouched) {
    QString existing;
    ASSERT_FALSE(pool.createDataset(relative + "/existing", &existing).isEmpty());
    ASSERT_TRUE(writeFile(existing + "/keep", "mine\n"));
    const QJsonObject record = restore({{"subpath", subpath}, {"dataset", prefix + "/existing"}});
    EXPECT_EQ(record.value("state"), "failed");
    const QString error = record.value("error").toString();
    EXPECT_TRUE(error.contains("zfs receive") && error.contains("exists")) << error.toStdString();
    EXPECT_EQ(QDir(existing).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"keep"});
    EXPECT_EQ(readFile(existing + "/keep"), "mine\n");
    EXPECT_TRUE(staged().isEmpty());
}

TEST_F(RealRestore, AShortFetchFailsBeforeReceivingAndCreatesNoDataset) {
    ASSERT_TRUE(writeFile(orvState + "/half-get", ""));
    int exitCode = -1;
    const QString out =
        qivctl({"--cfg", root.filePath("cfg.json"), "restore", subpath, prefix + "/short", "--wait"}, &exitCode);
    EXPECT_EQ(exitCode, 1);
    EXPECT_TRUE(out.contains(QRegularExpression("restore 1: failed: the fetched file has \\d+ bytes, the store lists")))
        << out.toStdString();
    EXPECT_FALSE(pool.run({"list", prefix + "/short"}));
    EXPECT_TRUE(staged().isEmpty());
}

ZfsPool *RealRestore::s_pool = nullptr;

// The same with both stages on: keys made with age-keygen, zstd first on PATH behind a stand-in that can be told
// to die mid-stream.
class StagedRestore : public RealRestore {
protected:
    void beforeServe() override {
        const QString bin = root.filePath("stagebin");
        ASSERT_TRUE(writeFile(bin + "/zstd",
                              "#!/bin/sh\n"
                              "[ -e \"$0.kill\" ] && { head -c 200000; kill -KILL $$; }\n"
                              "exec /usr/bin/zstd \"$@\"\n"));
        ASSERT_TRUE(QFile::setPermissions(bin + "/zstd", QFile::ReadOwner | QFile::ExeOwner));
        env.insert("PATH", bin + ":" + env.value("PATH"));
        const QString recipient = makeKey(path("/ovra/etc/qivclient/age.key"));
        ASSERT_FALSE(recipient.isEmpty());
        ASSERT_TRUE(writeJson(
            path("/ovra/etc/qivclient/settings.json"),
            QJsonObject{
                {"active", true},
                {"orvane",
                 QJsonObject{
                     {"url", "http://s"}, {"uid", "u"}, {"pwd", "p"}, {"compress", "zstd"}, {"encrypt", recipient}}}}));
    }
    // A key pair in identity; its recipient, the public key age-keygen prints.
    QString makeKey(const QString &identity) {
        QByteArray out;
        EXPECT_EQ(run("age-keygen", {"-o", identity}, &out), 0) << out.constData();
        return QRegularExpression("age1[0-9a-z]+").match(QString::fromUtf8(out)).captured();
    }
};

TEST_F(StagedRestore, BothStagesHideTheStreamAndRestoreFileForFile) {
    EXPECT_TRUE(subpath.endsWith(".zst.age")) << subpath.toStdString();
    const QByteArray object = readFile(orvState + "/objects/myorvane/bucket1/SN-R/" + subpath);
    QByteArray plain;  // what zfs send makes of the same files
    ASSERT_TRUE(pool.run({"snapshot", prefix + "/src@plain"}));
    ASSERT_TRUE(pool.run({"send", prefix + "/src@plain"}, &plain));
    const QByteArray streamMagic = QByteArray::fromHex("accbbaf502000000");  // drr_begin's magic, little-endian
    for (const QByteArray &clear : {streamMagic, QByteArray("backed up on a real ZFS")}) {
        EXPECT_TRUE(plain.contains(clear));
        EXPECT_FALSE(object.contains(clear));
    }
    EXPECT_TRUE(object.startsWith("age-encryption.org/v1\n"));

    const QJsonObject record = restore({{"subpath", subpath}, {"dataset", prefix + "/restored"}});
    EXPECT_EQ(record.value("state"), "done") << record.value("error").toString().toStdString();
    EXPECT_TRUE(sameFiles(source, pool.mountpointOf(prefix + "/restored")));
    EXPECT_TRUE(staged().isEmpty());
}

TEST_F(StagedRestore, AnotherIdentityFailsWithAgesWordsAndCreatesNothing) {
    const QString other = root.filePath("other.key");
    ASSERT_FALSE(makeKey(other).isEmpty());
    QJsonObject settings = QJsonDocument::fromJson(readFile(path("/ovra/etc/qivclient/settings.json"))).object();
    QJsonObject orvane = settings.value("orvane").toObject();
    orvane.insert("identity", other);
    settings.insert("orvane", orvane);
    ASSERT_EQ(call("qivclient_settingsave", settings).value("err").toInt(-1), 0);

    const QJsonObject record = restore({{"subpath", subpath}, {"dataset", prefix + "/wrong"}});
    EXPECT_EQ(record.value("state"), "failed");
    EXPECT_TRUE(record.value("error").toString().contains("age: error: no identity matched any of the recipients"))
        << record.value("error").toString().toStdString();
    EXPECT_FALSE(pool.run({"list", prefix + "/wrong"}));
    EXPECT_TRUE(staged().isEmpty());
}

TEST_F(StagedRestore, AStageKilledMidUploadRemovesThePartialObject) {
    ASSERT_TRUE(writeFile(root.filePath("stagebin/zstd.kill"), ""));
    ASSERT_FALSE(pool.createDataset(relative + "/other", nullptr, true).isEmpty());
    EXPECT_EQ(call("qivclient_zfsbackup", {{"dmpath", prefix + "/other"}}).value("err").toInt(-1), 0);
    ASSERT_TRUE(waitUntil([&] { return dataset(prefix + "/other").value("failures").toInt() == 1; }, 60000));
    const QString error = dataset(prefix + "/other").value("lastError").toString();
    EXPECT_TRUE(error.contains("exit code 137") && error.contains("the partial object was removed"))
        << error.toStdString();
    EXPECT_TRUE(
        QDir(orvState + "/objects/myorvane/bucket1/SN-R/" + prefix + "/other").entryList(QDir::Files).isEmpty());
}

}  // namespace
