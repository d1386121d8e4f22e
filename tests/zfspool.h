// ZfsPool: a real ZFS pool for one test or suite, made and destroyed by scripts/zfspool.sh (the helper the demo
// uses too). It starts zfs-fuse when no ZFS answers and stops it again when its last pool goes. Where no ZFS can be
// had (no /dev/fuse, not root, zfs-fuse missing) available() is false and skipReason() says why: such tests skip
// with QIV_REQUIRE_ZFS, and CTest reports them as skipped, never as passed.
// Not thread-safe; one object per suite is plenty (starting zfs-fuse takes seconds).
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class ZfsPool {
public:
    // Creates the pool in a temporary directory; see available().
    ZfsPool();
    // Destroys the pool, also when the test failed.
    ~ZfsPool();
    ZfsPool(const ZfsPool &) = delete;
    ZfsPool &operator=(const ZfsPool &) = delete;

    bool available() const { return !m_name.isEmpty(); }
    QString skipReason() const { return m_skipReason; }
    QString name() const { return m_name; }
    // Where the pool's root dataset is mounted.
    QString mountpoint() const { return m_mountpoint; }

    // Creates NAME/relative (relative may contain blanks) and returns its mount point in *mountpoint.
    bool createDataset(const QString &relative, QString *mountpoint = nullptr) const;
    // Runs zfs, or zpool when the first argument is "zpool", with an argument list, within a minute; true when it
    // exited with status 0.
    bool run(const QStringList &args, QByteArray *out = nullptr, QByteArray *err = nullptr) const;

private:
    QTemporaryDir m_dir;
    QString m_name;
    QString m_mountpoint;
    QString m_skipReason;
};

// In a TEST body: skip with the reason when no ZFS is available.
#define QIV_REQUIRE_ZFS(pool) \
    if (!(pool).available()) GTEST_SKIP() << (pool).skipReason().toStdString()
