// ZfsPool: a real ZFS pool for one test or suite, made and destroyed by scripts/zfspool.sh (the helper the demo
// uses too), which starts zfs-fuse when no ZFS answers. Where no ZFS can be had (no /dev/fuse, not root, zfs-fuse
// missing) available() is false and skipReason() says why: such tests skip with QIV_REQUIRE_ZFS. Not thread-safe.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class ZfsPool {
public:
    ZfsPool();
    ~ZfsPool();  // destroys the pool, also when the test failed
    ZfsPool(const ZfsPool &) = delete;
    ZfsPool &operator=(const ZfsPool &) = delete;

    bool available() const { return !m_name.isEmpty(); }
    QString skipReason() const { return m_skipReason; }
    QString name() const { return m_name; }

    // Creates NAME/relative (blanks allowed) holding a text file, a random binary and an empty file (the latter two
    // in "sub dir") when withFiles; the dataset's full name, empty on failure; its mount point in *mountpoint.
    QString createDataset(const QString &relative, QString *mountpoint = nullptr, bool withFiles = false) const;
    QString mountpointOf(const QString &dataset) const;
    // The snapshots of dataset and its children.
    QStringList snapshots(const QString &dataset) const;
    // Runs zfs with an argument list, within a minute, stdin from stdinFile if given; true on exit status 0.
    // *out: its standard output, or its standard error when it failed.
    bool run(const QStringList &args, QByteArray *out = nullptr, const QString &stdinFile = QString()) const;

private:
    QTemporaryDir m_dir;
    QString m_name;
    QString m_skipReason;
};

// Whether two directory trees hold the same files (diff -r).
::testing::AssertionResult sameFiles(const QString &a, const QString &b);

// In a TEST body: skip with the reason when no ZFS is available.
#define QIV_REQUIRE_ZFS(pool) \
    if (!(pool).available()) GTEST_SKIP() << (pool).skipReason().toStdString()
