// Recovery on a real ZFS (zfs-fuse, through scripts/zfspool.sh): a daemon killed while the real `zfs send` streams
// a snapshot leaves the snapshot behind; the restarted daemon uploads it whole, destroys it, and the object
// receives back into identical files. Skipped, with the reason, where this machine has no ZFS to offer.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include "daemonfixture.h"
#include "testsupport.h"
#include "zfspool.h"

using namespace testsupport;

namespace {

using RealZfsRecovery = DaemonFixture;

TEST_F(RealZfsRecovery, DaemonKilledMidUploadUploadsTheLeftOverSnapshotWholeAfterRestart) {
    ZfsPool pool;
    QIV_REQUIRE_ZFS(pool);
    QString mountpoint;
    ASSERT_TRUE(pool.createDataset("data", &mountpoint));
    QByteArray random(2 * 1024 * 1024, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
    ASSERT_TRUE(writeFile(mountpoint + "/random.bin", random));
    const QString dataset = pool.name() + "/data";
    // The real zfs, not the stand-in of the bin directory.
    env.insert("PATH", QString::fromLocal8Bit(qgetenv("PATH")));
    ASSERT_TRUE(startAgent("SN-ZR"));
    ASSERT_TRUE(writeJson(
        path("/ovra/etc/qivclient/settings.json"),
        QJsonObject{{"active", true}, {"orvane", QJsonObject{{"url", "http://s"}, {"uid", "u"}, {"pwd", "p"}}}}));
    const QString objects = orvState + "/objects/myorvane/bucket1/SN-ZR/" + dataset;
    auto snapshots = [&] {
        QByteArray out;
        pool.run({"list", "-H", "-t", "snapshot", "-o", "name", "-r", dataset}, &out);
        return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts);
    };

    ASSERT_TRUE(writeFile(orvState + "/pause-pipe", "600000"));  // the tool stalls after its first block
    ASSERT_TRUE(serve(true));
    ASSERT_EQ(call("qivclient_zfsbackup", {{"dmpath", dataset}}).value("err").toInt(-1), 0);
    ASSERT_TRUE(waitUntil([&] { return QDir(objects).entryList(QDir::Files).size() == 1; }, 60000));
    const QString object = objects + "/" + QDir(objects).entryList(QDir::Files).first();
    ::kill(-daemon.processId(), SIGKILL);
    ASSERT_TRUE(daemon.waitForFinished(10000));
    ASSERT_EQ(snapshots().size(), 1);
    EXPECT_LT(QFileInfo(object).size(), random.size());  // only part of the stream was stored

    ASSERT_TRUE(QFile::remove(orvState + "/pause-pipe"));
    ASSERT_TRUE(serve());
    ASSERT_TRUE(waitUntil([&] { return snapshots().isEmpty(); }, 120000)) << daemonOutput().constData();
    QProcess receive;
    receive.setStandardInputFile(object);
    receive.start("zfs", {"receive", pool.name() + "/back"});
    ASSERT_TRUE(receive.waitForFinished(120000));
    ASSERT_EQ(receive.exitCode(), 0) << receive.readAllStandardError().constData();
    QByteArray backMount;
    ASSERT_TRUE(pool.run({"get", "-H", "-o", "value", "mountpoint", pool.name() + "/back"}, &backMount));
    EXPECT_EQ(readFile(QString::fromUtf8(backMount.trimmed()) + "/random.bin"), random);
}

}  // namespace
