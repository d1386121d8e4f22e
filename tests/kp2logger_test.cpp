// KP2Logger in a temporary directory: the line format, when a write rotates, how backups are numbered, queued
// writes from several threads, a directory that cannot be made, and the current logger of the registry.
#include "kp2logger.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <thread>
#include <vector>

#include "kp2core.h"
#include "kp2logger_p.h"
#include "testsupport.h"

using testsupport::readFile;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

TEST(KP2Logger, FormatsStampLevelContextsLineAndMessageAndWritesItOnce) {
    const struct {
        const char *name;
        int level, line;
        const char *context, *message, *expected;  // expected: the line after its 20-byte stamp
    } rows[] = {{"everything", KP2Logger::Info, 42, "ctx1", "hello", "Info ctx1 ctx2 #42 hello"},
                {"level 7 has an empty name", 7, 0, "", "msg", " ctx2 msg"},
                {"level 11 is MemTrace", 11, 0, "", "msg", "MemTrace ctx2 msg"},
                {"trailing newline trimmed", KP2Logger::Warn, 0, "", "done\n", "Warn ctx2 done"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        KP2Logger logger;
        logger.setFilePath(dir.filePath(QStringLiteral("app.log")));
        const QString text = logger.write(row.level, QString::fromUtf8(row.context), QStringLiteral("ctx2"), row.line,
                                          "%s", row.message);
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ")).match(text).hasMatch());
        EXPECT_EQ(text.mid(20), QString::fromUtf8(row.expected));
        EXPECT_EQ(readFile(logger.filePath()), text.toUtf8() + '\n');
    }
}

TEST(KP2Logger, RotatesWhenTheLineWouldPassMaxSize) {
    const struct {
        const char *name;
        int bytes;
        bool immediate, rotates;
    } rows[] = {{"41 bytes, immediate", 41, true, true},
                {"40 bytes, immediate", 40, true, false},
                {"41 bytes, queued", 41, false, true},
                {"40 bytes, queued", 40, false, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("app.log"));
        ASSERT_TRUE(writeFile(path, QByteArray(60, 'o')));
        KP2Logger logger;
        logger.setFilePath(path);
        logger.setMaxSize(100);
        logger.setImmediate(row.immediate);
        // Level 7 has no name: the line is the 20-byte stamp, a blank and the message.
        const QByteArray line = logger.write(7, {}, {}, 0, "%s", QByteArray(row.bytes - 21, 'x').constData()).toUtf8();
        ASSERT_TRUE(waitUntil([&] { return readFile(path).endsWith(line + '\n'); }));
        EXPECT_EQ(QFileInfo::exists(dir.filePath(QStringLiteral("app.1.log"))), row.rotates);
    }
}

TEST(KP2Logger, RotationFillsTheFirstGapOrShiftsAFullSetOfBackups) {
    const struct {
        const char *name, *file;
        QList<int> present;
        QMap<QString, QByteArray> expected;  // backup -> content after the rotation
    } rows[] = {{"full set of 10 shifts",
                 "app.log",
                 {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                 {{"app.1.log", "b2"}, {"app.9.log", "b10"}, {"app.10.log", "log"}}},
                {"gap is filled", "app.log", {1, 3}, {{"app.1.log", "b1"}, {"app.2.log", "log"}, {"app.3.log", "b3"}}},
                {"file without suffix", "app", {}, {{"app.1.", "log"}}}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QString::fromUtf8(row.file));
        ASSERT_TRUE(writeFile(path, "log"));
        for (int n : row.present)
            ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("app.%1.log").arg(n)), "b" + QByteArray::number(n)));
        KP2Logger logger;
        logger.setFilePath(path);
        logger.setMaxSize(10);
        const QString line = logger.write(KP2Logger::Info, {}, {}, 0, "new");
        for (auto it = row.expected.begin(); it != row.expected.end(); ++it)
            EXPECT_EQ(readFile(dir.filePath(it.key())), it.value()) << it.key().toStdString();
        EXPECT_EQ(readFile(path), line.toUtf8() + '\n');
    }
}

TEST(KP2Logger, QueuedWritesFromFourThreadsLoseAndDoubleNoLine) {
    constexpr int Threads = 4, PerThread = 500;
    QTemporaryDir dir;
    KP2Logger logger;
    logger.setFilePath(dir.filePath(QStringLiteral("app.log")));
    logger.setImmediate(false);
    std::vector<std::thread> producers;
    for (int t = 0; t < Threads; ++t)
        producers.emplace_back([&logger, t] {
            for (int n = 0; n < PerThread; ++n) {
                logger.write(KP2Logger::Debug, {}, {}, 0, "t%d n%d", t, n);
                // Lets the writer empty the queue now and then, so that pushes meet it as it finishes a drain.
                if (n % 50 == 0) std::this_thread::yield();
            }
        });
    for (std::thread &p : producers) p.join();
    const auto lines = [&] { return readFile(logger.filePath()).split('\n'); };
    ASSERT_TRUE(waitUntil([&] { return lines().size() > Threads * PerThread; }));
    QSet<QByteArray> seen;
    for (const QByteArray &line : lines())
        if (!line.isEmpty()) {
            EXPECT_FALSE(seen.contains(line)) << line.constData();
            seen.insert(line);
        }
    EXPECT_EQ(seen.size(), Threads * PerThread);
}

TEST(KP2Logger, DirectoryThatCannotBeCreatedDropsTheLineAndLaterWritesSucceed) {
    for (bool immediate : {true, false}) {
        SCOPED_TRACE(immediate ? "immediate" : "queued");
        QTemporaryDir dir;
        // Below a regular file no directory can be made, not even by root.
        const QString blocker = dir.filePath(QStringLiteral("blocker"));
        ASSERT_TRUE(writeFile(blocker, "file"));
        KP2Logger logger;
        logger.setImmediate(immediate);
        logger.setFilePath(blocker + QStringLiteral("/sub/app.log"));
        EXPECT_TRUE(logger.write(KP2Logger::Error, {}, {}, 0, "lost").endsWith(QStringLiteral("Error lost")));
        EXPECT_EQ(readFile(blocker), QByteArray("file"));
        logger.setFilePath(dir.filePath(QStringLiteral("ok/app.log")));
        const QByteArray line = logger.write(KP2Logger::Info, {}, {}, 0, "kept").toUtf8() + '\n';
        EXPECT_TRUE(waitUntil([&] { return readFile(logger.filePath()).endsWith(line); }));
    }
}

// A small maxSize: every few lines one writer rotates while the others write, yet no backup is ever deleted.
TEST(KP2Logger, ImmediateWritersThatRotateAtOnceKeepEveryLineOnce) {
    constexpr int Threads = 4, PerThread = 300;
    QTemporaryDir dir;
    KP2Logger logger;
    logger.setFilePath(dir.filePath(QStringLiteral("app.log")));
    logger.setMaxSize(6000);  // about 35 bytes a line: 7 backups
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t)
        writers.emplace_back([&logger, t] {
            for (int n = 0; n < PerThread; ++n) logger.write(KP2Logger::Debug, {}, {}, 0, "t%d n%d", t, n);
        });
    for (std::thread &w : writers) w.join();
    QByteArrayList lines;
    for (const QString &name : QDir(dir.path()).entryList(QDir::Files))
        lines += readFile(dir.filePath(name)).split('\n');
    lines.removeAll(QByteArray());
    EXPECT_EQ(lines.size(), Threads * PerThread);
    EXPECT_EQ(QSet<QByteArray>(lines.begin(), lines.end()).size(), Threads * PerThread);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("app.10.log"))));
}

TEST(KP2Logger, QueuedLineThatCannotBeWrittenEndsTheDrainAndTheRestWaits) {
    QTemporaryDir dir;
    ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("blocker")), "file"));
    KP2LoggerPrivate d;
    d.filePath = dir.filePath(QStringLiteral("blocker/app.log"));
    for (const char *line : {"lost", "kept 1", "kept 2"}) d.queue.push(line);
    EXPECT_FALSE(d.drain());
    EXPECT_EQ(d.queue.count(), 2);
    d.filePath = dir.filePath(QStringLiteral("app.log"));
    EXPECT_TRUE(d.drain());
    EXPECT_EQ(readFile(d.filePath), "kept 1\nkept 2\n");
}

TEST(KP2Logger, CoreLoggerIsCurrentWritesNoFileAndTakesOverAgain) {
    KP2Core core;
    EXPECT_EQ(KP2Logger::i(), &core.logger());
    EXPECT_TRUE(core.logger().filePath().isEmpty());
    EXPECT_TRUE(core.logger().write(KP2Logger::Info, {}, {}, 0, "x %d", 5).endsWith(QStringLiteral("Info x 5")));
    {
        KP2Logger second;
        EXPECT_EQ(KP2Logger::i(), &second);
        core.logger().setCurrentInstance();
        EXPECT_EQ(KP2Logger::i(), &core.logger());
        second.setCurrentInstance();
    }
    // The current logger went away: the last one left takes over.
    EXPECT_EQ(KP2Logger::i(), &core.logger());
}

}  // namespace
