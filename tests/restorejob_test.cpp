// RestoreJob's own rules: the dataset names it accepts, and a staging directory without room for the object refused
// before anything is fetched (the stand-in tool and zfs, a 1 MiB tmpfs as the staging directory).
#include "restorejob.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <QDir>
#include <QTemporaryDir>

#include "testsupport.h"

using namespace testsupport;

namespace {

TEST(RestoreJob, DatasetNamesThatZfsWouldMisreadAreRefused) {
    const struct {
        const char *name, *dataset;
        bool valid;
    } rows[] = {
        {"a plain dataset", "tank/r", true},
        {"an option", "-F", false},
        {"an empty part", "tank//r", false},
        {"a snapshot", "tank/r@s", false},
    };
    for (const auto &row : rows) EXPECT_EQ(RestoreJob::isValidDatasetName(row.dataset), row.valid) << row.name;
}

TEST(RestoreJob, StagingWithoutRoomRefusesBeforeFetching) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString orv = dir.filePath("orv"), zfs = dir.filePath("zfs"), staging = dir.filePath("small");
    qputenv("QIV_FAKE_ORV_DIR", QFile::encodeName(orv));
    qputenv("QIV_FAKE_ZFS_DIR", QFile::encodeName(zfs));
    ASSERT_TRUE(writeJson(orv + "/aliases/myorvane.json", {{"url", "http://store"}, {"accessKey", "a"}}));
    ASSERT_TRUE(writeFile(orv + "/objects/myorvane/b/tank/big/qiv_1", QByteArray(3000000, 'x')));
    ASSERT_TRUE(QDir().mkpath(staging) && QDir().mkpath(zfs));
    if (::mount("tmpfs", QFile::encodeName(staging).constData(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "mounting a 1 MiB tmpfs needs the right to mount";
    struct Unmount {
        QString path;
        ~Unmount() { ::umount(QFile::encodeName(path).constData()); }
    } unmount{staging};

    RestoreJob job(OrvTool(binPath("orvclient")), ZfsTool(binPath("zfs")), 1, "myorvane/b/tank/big/qiv_1", "tank/r",
                   staging);
    QString reason;
    EXPECT_FALSE(job.run(RestoreJob::Observer(), &reason));
    EXPECT_TRUE(reason.contains("no room in the staging directory")) << reason.toStdString();
    EXPECT_FALSE(readFile(orv + "/calls.log").contains(R"(["get")"));
    EXPECT_TRUE(readFile(zfs + "/calls.log").isEmpty());  // no receive: no dataset
}

}  // namespace
