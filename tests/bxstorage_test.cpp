// The storage layer's reading of the mount table: one entry per mount, ZFS entries with their pool and dataset.
#include <gtest/gtest.h>

#include <QJsonObject>

#include "bxstorage.h"

TEST(BXStorage, MountTableBecomesOneEntryPerMountWithPoolAndDataset) {
    const QByteArray table =
        "tank /tank zfs rw,xattr 0 0\n"
        "tank/data /tank/data zfs rw 0 0\n"
        "tank/my\\040files /tank/my\\040files zfs rw 0 0\n"
        "/dev/sda1 / ext4 rw 0 0\n"
        "big /mnt/big ZFS rw 0 0\n"
        "fz/a\\040b /fz/a\\040b fuse.zfs rw,allow_other 0 0\n";
    const QJsonObject mounts = BXStorage::parseMountTable(table);
    EXPECT_EQ(mounts.size(), 6);
    const QJsonObject data = mounts.value("/tank/data").toObject();
    EXPECT_EQ(data.value("fstype").toString(), "zfs");
    EXPECT_EQ(data.value("dmpath").toString(), "tank/data");
    EXPECT_EQ(data.value("vg").toString(), "tank");
    EXPECT_EQ(data.value("lv").toString(), "data");
    const QJsonObject poolRoot = mounts.value("/tank").toObject();
    EXPECT_EQ(poolRoot.value("lv").toString(), "tank");
    const QJsonObject blank = mounts.value("/tank/my files").toObject();
    EXPECT_EQ(blank.value("dmpath").toString(), "tank/my files");
    EXPECT_EQ(blank.value("lv").toString(), "my files");
    EXPECT_EQ(mounts.value("/").toObject().value("fstype").toString(), "ext4");
    const QJsonObject userSpace = mounts.value("/fz/a b").toObject();  // zfs-fuse
    EXPECT_EQ(userSpace.value("fstype").toString(), "zfs");
    EXPECT_EQ(userSpace.value("lv").toString(), "a b");
}
