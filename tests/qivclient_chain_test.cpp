// Incremental chains on a real ZFS (zfs-fuse): the daemon binary backs a dataset up as chains of a full and
// incremental objects, restores any object with its whole chain, refuses a broken chain before fetching anything,
// prunes whole chains, and loses nothing when it is killed in the middle of an upload or a prune. Skipped, with the
// reason, where this machine has no ZFS to offer.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <memory>

#include "backupchains.h"
#include "daemonfixture.h"
#include "testsupport.h"
#include "zfspool.h"

using namespace testsupport;

namespace {

const char *const kSerial = "SN-CHAIN";

std::unique_ptr<ZfsPool> g_pool;  // one pool for the suite: starting zfs-fuse takes seconds

class Chains : public DaemonFixture {
protected:
    static void SetUpTestSuite() { g_pool = std::make_unique<ZfsPool>(); }
    static void TearDownTestSuite() { g_pool.reset(); }

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(DaemonFixture::SetUp());
        QIV_REQUIRE_ZFS(*g_pool);
        env.insert(QStringLiteral("PATH"), QString::fromLocal8Bit(qgetenv("PATH")));  // the real zfs
        static int test = 0;
        source = g_pool->createDataset(QStringLiteral("c%1").arg(++test), &mountpoint, true);
        ASSERT_FALSE(source.isEmpty());
        ASSERT_TRUE(startAgent(kSerial));
        ASSERT_TRUE(serve(true));
    }

    void saveSettings(const QJsonObject &chains) {
        QJsonObject orvane{{"url", "http://s"}, {"uid", "u"}, {"pwd", "p"}};
        for (auto it = chains.begin(); it != chains.end(); ++it) orvane.insert(it.key(), it.value());
        ASSERT_EQ(call("qivclient_settingsave", {{"active", true}, {"orvane", orvane}}).value("err").toInt(-1), 0);
    }
    QJsonObject status() { return call("qivclient_status").value("results").toObject(); }
    QString objectDir() const { return orvState + "/objects/myorvane/bucket1/" + kSerial + "/" + source; }
    // The dataset's objects, oldest first.
    QStringList objects() const { return QDir(objectDir()).entryList(QDir::Files, QDir::Name); }
    QStringList calls(const char *command) const {
        return QString::fromUtf8(readFile(orvState + "/calls.log")).split('\n').filter(QString("[\"%1\"").arg(command));
    }

    // Changes the dataset and asks for a backup in a second of its own (snapshot names count seconds).
    void startBackup(const QString &change) {
        EXPECT_TRUE(waitUntil([&] { return QDateTime::currentDateTime().toString("yyyyMMddHHmmss") != m_lastSecond; }));
        m_lastSecond = QDateTime::currentDateTime().toString("yyyyMMddHHmmss");
        EXPECT_TRUE(writeFile(mountpoint + "/" + change, change.toUtf8().repeated(1000)));
        EXPECT_EQ(call("qivclient_zfsbackup", {{"dmpath", source}}).value("err").toInt(-1), 0);
    }
    // startBackup(), then waits until the upload has ended; the name of the object it stored.
    QString backup(const QString &change) {
        const QStringList earlier = objects();
        startBackup(change);
        EXPECT_TRUE(waitUntil([&] { return status().value("uploads").toArray().isEmpty(); }, 60000));
        for (const QString &object : objects())
            if (!earlier.contains(object)) return object;
        return QString();
    }
    // Restores object (a name below the dataset) into target and waits for the end; the restore's record.
    QJsonObject restoreObject(const QString &object, const QString &target) {
        return restore({{"subpath", source + "/" + object}, {"dataset", target}});
    }
    QString copyOfFiles(const QString &name) {
        const QString copy = root.filePath(name);
        EXPECT_EQ(run("cp", {"-a", mountpoint, copy}), 0);
        return copy;
    }
    // The snapshots the daemon keeps as bases: "name\tobject".
    QStringList keptBases() {
        QByteArray out;
        EXPECT_TRUE(g_pool->run({"list", "-H", "-t", "snapshot", "-o", "name,qiv:uploaded", "-r", source}, &out));
        return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts).filter(QRegularExpression("\t(?!-$)"));
    }
    // Every object left restores with its whole chain.
    ::testing::AssertionResult onlyRestorableChains() const {
        QList<BackupChains::Object> listed;
        for (const QString &name : objects()) {
            BackupChains::Object object{name, {}, 0};
            if (BackupName::parse(name, &object.parsed)) listed.append(object);
        }
        const BackupChains chains(listed);
        for (const BackupChains::Object &object : listed) {
            QList<BackupChains::Object> chain;
            if (!chains.chainTo(object.name, &chain))
                return ::testing::AssertionFailure() << "broken: " << object.name.toStdString();
        }
        return ::testing::AssertionSuccess();
    }

    QString source, mountpoint;

private:
    QString m_lastSecond;
};

bool isFull(const QString &object) {
    return !object.contains("_from_");
}

TEST_F(Chains, ChainsOfThreeRestoreWholeAndABrokenChainFailsBeforeAnythingIsFetched) {
    saveSettings({{"fullevery", 3}});
    const QStringList stored = {backup("one"), backup("two"), backup("three")};
    const QString third = copyOfFiles("third");
    const QString fourth = backup("four");
    EXPECT_TRUE(isFull(stored[0]) && !isFull(stored[1]) && !isFull(stored[2]) && isFull(fourth))
        << (stored + QStringList{fourth}).join(' ').toStdString();
    // One base is kept: the newest; the one it replaced goes without the worker waiting for it.
    EXPECT_TRUE(waitUntil([&] { return keptBases().size() == 1; }));
    EXPECT_TRUE(keptBases().value(0).endsWith("\t" + fourth));
    EXPECT_EQ(status().value("datasets").toObject().value(source).toObject().value("chain").toInt(), 1);
    // The listing names an incremental's base.
    const QJsonArray listed =
        call("qivclient_remote_loadby", {{"dmpath", source}}).value("results").toObject().value("snapshots").toArray();
    EXPECT_EQ(listed.at(1).toObject().value("base").toString(), stored[0]);
    EXPECT_FALSE(listed.at(0).toObject().contains("base"));

    // The third object comes back with its chain, file for file.
    const QJsonObject done = restoreObject(stored[2], source + "r3");
    EXPECT_EQ(done.value("state").toString(), "done") << done.value("error").toString().toStdString();
    EXPECT_EQ(done.value("objects").toInt(), 3);
    EXPECT_TRUE(sameFiles(third, g_pool->mountpointOf(source + "r3")));
    // The snapshots the restore received bear backups' names, yet a restarted daemon leaves them alone.
    daemon.terminate();
    ASSERT_TRUE(daemon.waitForFinished(10000));
    ASSERT_TRUE(serve(true));
    EXPECT_EQ(status().value("uploads").toArray(), QJsonArray());
    EXPECT_EQ(g_pool->snapshots(source + "r3").size(), 3);

    // Without the second object nothing is fetched and no dataset is made.
    ASSERT_EQ(call("qivclient_remote_remove", {{"subpath", source + "/" + stored[1]}}).value("err").toInt(-1), 0);
    const int gets = calls("get").size();
    const QJsonObject broken = restoreObject(stored[2], source + "r3b");
    EXPECT_EQ(broken.value("state").toString(), "failed");
    EXPECT_EQ(broken.value("error").toString(),
              QString("backup chain broken: %1 is not in the store").arg(stored[1].section("_from_", 0, 0)));
    EXPECT_EQ(calls("get").size(), gets);
    EXPECT_FALSE(g_pool->run({"list", source + "r3b"}));

    // The kept base's own object gone from the store: the next backup starts a new chain.
    ASSERT_EQ(call("qivclient_remote_remove", {{"subpath", source + "/" + fourth}}).value("err").toInt(-1), 0);
    EXPECT_TRUE(isFull(backup("five")));
}

TEST_F(Chains, PruneKeepsTheNewestChainsAndAPruneKilledMidwayLeavesOnlyRestorableChains) {
    saveSettings({{"fullevery", 2}});
    const QStringList stored = {backup("a"), backup("b"), backup("c"), backup("d")};
    QJsonObject reply = call("qivclient_remote_prune", {{"dmpath", source}, {"keep", 1}});
    ASSERT_EQ(reply.value("err").toInt(-1), 0) << reply.value("errmsg").toString().toStdString();
    EXPECT_EQ(reply.value("results").toObject().value("removed").toArray(),
              (QJsonArray{source + "/" + stored[1], source + "/" + stored[0]}));
    EXPECT_EQ(objects(), (QStringList{stored[2], stored[3]}));

    // Two more chains; the daemon dies while a slow removal runs.
    for (const char *change : {"e", "f", "g", "h"}) backup(change);
    ASSERT_TRUE(writeFile(orvState + "/delay-rm", "60000"));
    call("qivclient_settingload");  // the request below must not wait for a serial number
    QProcess prune;
    prune.start(binPath("qivctl"), {"--socket", socket(), "prune", source, "--keep", "1"});
    ASSERT_TRUE(waitUntil([&] { return calls("rm").size() > 2; }));
    ::kill(-daemon.processId(), SIGKILL);
    ASSERT_TRUE(daemon.waitForFinished(10000));
    prune.waitForFinished(10000);
    EXPECT_TRUE(onlyRestorableChains());
}

TEST_F(Chains, ADaemonKilledMidIncrementalUploadUploadsTheSnapshotAfterRestartAndKeepsItAsTheBase) {
    saveSettings({{"fullevery", 3}});
    const QString first = backup("first");
    ASSERT_TRUE(writeFile(mountpoint + "/large", QByteArray(4 << 20, 'x')));
    ASSERT_TRUE(writeFile(orvState + "/slow-pipe", "60000"));  // the stream stalls after its first piece
    startBackup("second");
    ASSERT_TRUE(waitUntil([&] { return calls("pipe").size() == 2; }));
    ::kill(-daemon.processId(), SIGKILL);
    ASSERT_TRUE(daemon.waitForFinished(10000));

    QFile::remove(orvState + "/slow-pipe");
    ASSERT_TRUE(serve(true));
    ASSERT_TRUE(waitUntil(
        [&] {
            return objects().size() == 2 && keptBases().size() == 1 && !keptBases().value(0).endsWith("\t" + first);
        },
        60000))
        << objects().join(' ').toStdString() << " / " << keptBases().join(' ').toStdString();
    const QString copy = copyOfFiles("second");
    const QJsonObject done = restoreObject(objects().last(), source + "r");
    EXPECT_EQ(done.value("state").toString(), "done") << done.value("error").toString().toStdString();
    EXPECT_TRUE(sameFiles(copy, g_pool->mountpointOf(source + "r")));
}

}  // namespace
