// Backups on a real ZFS (zfs-fuse, through scripts/zfspool.sh): the daemon binary snapshots real datasets, streams
// them with the real `zfs send` into the stand-in object-store tool, and each stored object, received with
// `zfs receive`, gives back the dataset's files; the scheduler picks exactly the selected datasets. Skipped, with the
// reason, where this machine has no ZFS to offer.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QRandomGenerator>
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
    }

    // A new dataset of the suite's pool holding a few files (text, binary, a subdirectory); returns its name.
    static QString datasetWithFiles(const QString &relative) {
        QString mountpoint;
        EXPECT_TRUE(g_pool->createDataset(relative, &mountpoint));
        QByteArray random(512 * 1024, '\0');
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
        EXPECT_TRUE(writeFile(mountpoint + "/notes.txt", "backed up on a real ZFS\n"));
        EXPECT_TRUE(writeFile(mountpoint + "/sub dir/random.bin", random));
        EXPECT_TRUE(writeFile(mountpoint + "/sub dir/empty", QByteArray()));
        return g_pool->name() + "/" + relative;
    }
    // The backup snapshots of a dataset, or of the whole pool.
    static QStringList qivSnapshots(const QString &dataset = g_pool->name()) {
        QByteArray out;
        g_pool->run({"list", "-H", "-t", "snapshot", "-o", "name", "-r", dataset}, &out);
        return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts).filter("@qiv_");
    }
    QString objectDir(const QString &dataset) const {
        return orvState + "/objects/myorvane/bucket1/" + kSerial + "/" + dataset;
    }
    // The objects stored under a dataset's folder.
    QStringList objects(const QString &dataset) const {
        return QDir(objectDir(dataset)).entryList(QDir::Files, QDir::Name);
    }
    // Receives a stored object into a new dataset of the pool and compares its files with the source's.
    static void expectRestoresIdentically(const QString &object, const QString &source, const QString &target) {
        QProcess receive;
        receive.setStandardInputFile(object);
        receive.start("zfs", {"receive", target});
        ASSERT_TRUE(receive.waitForFinished(120000));
        ASSERT_EQ(receive.exitCode(), 0) << receive.readAllStandardError().constData();
        QByteArray sourceMount;
        QByteArray targetMount;
        ASSERT_TRUE(g_pool->run({"get", "-H", "-o", "value", "mountpoint", source}, &sourceMount));
        ASSERT_TRUE(g_pool->run({"get", "-H", "-o", "value", "mountpoint", target}, &targetMount));
        QProcess diff;
        diff.start("diff", {"-r", QString::fromUtf8(sourceMount.trimmed()), QString::fromUtf8(targetMount.trimmed())});
        ASSERT_TRUE(diff.waitForFinished(60000));
        EXPECT_EQ(diff.exitCode(), 0) << diff.readAllStandardOutput().constData();
    }
    void serveActive(const QJsonArray &dmpaths = QJsonArray()) {
        ASSERT_TRUE(startAgent(kSerial));
        ASSERT_TRUE(writeJson(path("/ovra/etc/qivclient/settings.json"),
                              QJsonObject{{"active", true},
                                          {"orvane", QJsonObject{{"url", "http://s"}, {"uid", "u"}, {"pwd", "p"}}},
                                          {"dmpaths", dmpaths}}));
        ASSERT_TRUE(serve());
    }
};

TEST_F(RealZfs, DatasetsAreUploadedAndEachObjectReceivesIntoIdenticalFiles) {
    QIV_REQUIRE_ZFS(*g_pool);
    const QString files = datasetWithFiles("files");
    const QString blank = datasetWithFiles("with blank");
    ASSERT_NO_FATAL_FAILURE(serveActive());

    for (const QString &dataset : {files, blank})
        ASSERT_EQ(call("qivclient_zfsbackup", QJsonObject{{"dmpath", dataset}}).value("err").toInt(-1), 0);
    // Done when the worker has destroyed both snapshots after their uploads.
    ASSERT_TRUE(waitUntil(
        [&] {
            return qivSnapshots(files).isEmpty() && qivSnapshots(blank).isEmpty() && objects(files).size() == 1 &&
                   objects(blank).size() == 1 &&
                   call("qivclient_settingload").value("results").toObject().value("inbackup").toInt(-1) == 0;
        },
        120000))
        << qivSnapshots().join(' ').toStdString() << daemonOutput().constData();

    expectRestoresIdentically(objectDir(files) + "/" + objects(files).first(), files, g_pool->name() + "/back1");
    expectRestoresIdentically(objectDir(blank) + "/" + objects(blank).first(), blank, g_pool->name() + "/back 2");

    // The listing shows the backup under the dataset's own name, blank included.
    const QJsonObject listed = call("qivclient_remote_loadby", QJsonObject{{"dmpath", blank}});
    ASSERT_EQ(listed.value("err").toInt(-1), 0);
    EXPECT_EQ(listed.value("results").toObject().value("snapshots").toArray().size(), 1);
}

TEST_F(RealZfs, BackupOfAMissingDatasetCarriesZfsOwnMessage) {
    QIV_REQUIRE_ZFS(*g_pool);
    ASSERT_NO_FATAL_FAILURE(serveActive());
    const QString missing = g_pool->name() + "/missing";
    const QJsonObject reply = call("qivclient_zfsbackup", QJsonObject{{"dmpath", missing}});
    EXPECT_EQ(reply.value("err").toInt(), 9999);
    const QJsonObject step = reply.value("journals").toArray().first().toObject();
    EXPECT_TRUE(step.value("action").toString().startsWith("zfs snapshot " + missing + "@qiv_"));
    EXPECT_TRUE(step.value("msg").toString().contains("dataset does not exist"))
        << step.value("msg").toString().toStdString();
    EXPECT_TRUE(objects(missing).isEmpty());
}

// The scheduler runs in-process, where its time units can shrink to milliseconds; zfs, the mount table and the
// upload pipeline are the real ones.
TEST_F(RealZfs, ScheduledCycleBacksUpExactlyTheSelectedDatasets) {
    QIV_REQUIRE_ZFS(*g_pool);
    const QString chosen = datasetWithFiles("chosen");
    const QString other = datasetWithFiles("other");
    ASSERT_TRUE(startAgent(kSerial));
    ASSERT_TRUE(QFile::link(binPath("orvclient"), path("/ovra/sbin/orvclient")) ||
                QFileInfo::exists(path("/ovra/sbin/orvclient")));
    ASSERT_TRUE(writeJson(path("/ovra/etc/qivclient/settings.json"),
                          QJsonObject{{"active", true},
                                      {"orvane", QJsonObject{{"url", "http://s"}, {"uid", "u"}, {"pwd", "p"}}},
                                      {"dmpaths", QJsonArray{chosen}}}));
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
    EXPECT_TRUE(qivSnapshots(other).isEmpty()) << qivSnapshots(other).join(' ').toStdString();
}

}  // namespace
