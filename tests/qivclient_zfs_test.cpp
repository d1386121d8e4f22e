// Backups on a real ZFS (zfs-fuse, through scripts/zfspool.sh): the daemon binary snapshots real datasets, streams
// them with the real `zfs send` into the stand-in object-store tool, and each stored object, received with
// `zfs receive`, gives back the dataset's files; the scheduler picks exactly the selected datasets. Skipped, with the
// reason, where this machine has no ZFS to offer.
#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <memory>

#include "approot.h"
#include "daemonfixture.h"
#include "qivclient.h"
#include "testsupport.h"
#include "zfspool.h"

using namespace testsupport;

namespace {

const char *const kSerial = "SN-ZFS";

// One pool for the whole suite: starting zfs-fuse and making a pool take seconds.
std::unique_ptr<ZfsPool> g_pool;

class RealZfs : public DaemonFixture {
protected:
    static void SetUpTestSuite() { g_pool = std::make_unique<ZfsPool>(); }
    static void TearDownTestSuite() { g_pool.reset(); }

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(DaemonFixture::SetUp());
        if (!g_pool->available()) return;
        // The real zfs, not the stand-in of the bin directory; the daemon reads the machine's own mount table.
        env.insert(QStringLiteral("PATH"), QString::fromLocal8Bit(qgetenv("PATH")));
        ASSERT_TRUE(QDir().mkpath(path("/proc/self")));
        ASSERT_TRUE(QFile::link(QStringLiteral("/proc/self/mounts"), path("/proc/self/mounts")));
        ASSERT_TRUE(startAgent(kSerial));
    }

    QString objectDir(const QString &dataset) const {
        return orvState + "/objects/myorvane/bucket1/" + kSerial + "/" + dataset;
    }
    QStringList objects(const QString &dataset) const {
        return QDir(objectDir(dataset)).entryList(QDir::Files, QDir::Name);
    }
    // Receives the dataset's stored object into target and compares its files with the dataset's.
    static void expectRestoresIdentically(const QString &object, const QString &source, const QString &target) {
        QByteArray err;
        ASSERT_TRUE(g_pool->run({"receive", target}, &err, object)) << err.constData();
        EXPECT_TRUE(sameFiles(g_pool->mountpointOf(source), g_pool->mountpointOf(target)));
    }
};

TEST_F(RealZfs, DatasetsAreUploadedAndEachObjectReceivesIntoIdenticalFiles) {
    QIV_REQUIRE_ZFS(*g_pool);
    const QString files = g_pool->createDataset("files", nullptr, true);
    const QString blank = g_pool->createDataset("with blank", nullptr, true);
    ASSERT_TRUE(writeActiveSettings());
    ASSERT_TRUE(serve());

    for (const QString &dataset : {files, blank})
        ASSERT_EQ(call("qivclient_zfsbackup", QJsonObject{{"dmpath", dataset}}).value("err").toInt(-1), 0);
    // Done when the worker has destroyed both snapshots after their uploads.
    ASSERT_TRUE(waitUntil(
        [&] {
            return g_pool->snapshots(g_pool->name()).isEmpty() && objects(files).size() == 1 &&
                   objects(blank).size() == 1 &&
                   call("qivclient_settingload").value("results").toObject().value("inbackup").toInt(-1) == 0;
        },
        120000))
        << g_pool->snapshots(g_pool->name()).join(' ').toStdString() << daemonOutput().constData();

    expectRestoresIdentically(objectDir(files) + "/" + objects(files).first(), files, g_pool->name() + "/back1");
    expectRestoresIdentically(objectDir(blank) + "/" + objects(blank).first(), blank, g_pool->name() + "/back 2");
    // The listing shows the backup under the dataset's own name, blank included.
    const QJsonObject listed = call("qivclient_remote_loadby", QJsonObject{{"dmpath", blank}});
    EXPECT_EQ(listed.value("results").toObject().value("snapshots").toArray().size(), 1);
}

TEST_F(RealZfs, BackupOfAMissingDatasetCarriesZfsOwnMessage) {
    QIV_REQUIRE_ZFS(*g_pool);
    ASSERT_TRUE(writeActiveSettings());
    ASSERT_TRUE(serve());
    const QString missing = g_pool->name() + "/missing";
    const QJsonObject reply = call("qivclient_zfsbackup", QJsonObject{{"dmpath", missing}});
    EXPECT_EQ(reply.value("err").toInt(), 9999);
    const QJsonObject step = reply.value("journals").toArray().first().toObject();
    EXPECT_TRUE(step.value("action").toString().startsWith("zfs snapshot " + missing + "@qiv_"));
    EXPECT_TRUE(step.value("msg").toString().contains("dataset does not exist"))
        << step.value("msg").toString().toStdString();
}

// The scheduler runs in-process, where its time units can shrink to milliseconds.
TEST_F(RealZfs, ScheduledCycleBacksUpExactlyTheSelectedDatasets) {
    QIV_REQUIRE_ZFS(*g_pool);
    const QString chosen = g_pool->createDataset("chosen", nullptr, true);
    const QString other = g_pool->createDataset("other", nullptr, true);
    ASSERT_TRUE(writeActiveSettings({chosen}));
    qputenv("QIV_FAKE_ORV_DIR", QFile::encodeName(orvState));
    AppRoot::setRoot(root.path());
    {
        QivClient client;
        client.setTimeUnits(QivClient::TimeUnits{10, 40, 2});  // backups every 200 ms
        KP2Journals journals;
        client.loadConfigure(journals, QJsonObject());
        EXPECT_TRUE(waitUntil([&] { return objects(chosen).size() >= 2; }, 120000));
    }
    AppRoot::setRoot(QString());
    EXPECT_TRUE(objects(other).isEmpty());
    EXPECT_EQ(g_pool->snapshots(other), QStringList());
}

}  // namespace
