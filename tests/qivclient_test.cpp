// The backup client in-process: settings normalisation, the storage map and the machine identity, each against a
// temporary appliance root (and the stand-in core agent where the serial number matters).
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <thread>

#include "approot.h"
#include "qivclient.h"
#include "testsupport.h"

using namespace testsupport;

namespace {

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        AppRoot::setRoot(root.path());
    }
    void TearDown() override {
        stopProcess(agent);
        AppRoot::setRoot(QString());
    }
    QString settingsPath() const { return AppRoot::path(AppRoot::SettingsFile); }
    QString agentSocket() const { return AppRoot::path(AppRoot::AgentSocket); }

    QTemporaryDir root;
    QProcess agent;
};

struct IntervalRow {
    const char *name;
    QJsonObject settings;
    qint64 reportMs;
    qint64 backupMs;
};

TEST_F(ClientTest, IntervalsAreNormalisedToTheirMinimumsAndReadLeniently) {
    const IntervalRow rows[] = {
        {"below minimums",
         QJsonObject{{"report", QJsonObject{{"interval", 30}}}, {"orvane", QJsonObject{{"interval", 1}}}}, 60000,
         300000},
        {"decimal text", QJsonObject{{"orvane", QJsonObject{{"interval", "10"}}}}, 60000, 600000},
        {"hex text", QJsonObject{{"orvane", QJsonObject{{"interval", "0x10"}}}}, 60000, 960000},
        // Text that is no number at all counts as 0; "abc" would be read as hexadecimal (2748).
        {"garbage text", QJsonObject{{"orvane", QJsonObject{{"interval", "xyz"}}}}, 60000, 300000},
        {"hex digits only", QJsonObject{{"orvane", QJsonObject{{"interval", "abc"}}}}, 60000, 2748 * 60000},
        {"above minimums",
         QJsonObject{{"report", QJsonObject{{"interval", 90}}}, {"orvane", QJsonObject{{"interval", 7}}}}, 90000,
         420000},
        {"empty file", QJsonObject(), 60000, 300000},
    };
    for (const IntervalRow &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(writeJson(settingsPath(), row.settings));
        QivClient client;
        KP2Journals journal;
        QJsonObject view;
        ASSERT_TRUE(client.loadSettings(journal, &view));
        EXPECT_EQ(client.reportInterval(), row.reportMs);
        EXPECT_EQ(client.backupInterval(), row.backupMs);
        EXPECT_EQ(view.value("report").toObject().value("interval").toInt(), row.reportMs / 1000);
        EXPECT_EQ(view.value("orvane").toObject().value("interval").toInt(), row.backupMs / 60000);
    }
}

TEST_F(ClientTest, ViewNormalisesCredentialsAndKeepsDmpathsAsStored) {
    const QJsonArray dmpaths{" tank/a", "tank/b", ""};
    ASSERT_TRUE(
        writeJson(settingsPath(), QJsonObject{{"orvane", QJsonObject{{"url", " http://s3 "}, {"uid", 5}, {"pwd", "p"}}},
                                              {"dmpaths", dmpaths},
                                              {"extra", "kept in the file only"}}));
    QivClient client;
    KP2Journals journal;
    QJsonObject view{{"untouched", 1}};
    ASSERT_TRUE(client.loadSettings(journal, &view));
    const QJsonObject orvane = view.value("orvane").toObject();
    EXPECT_EQ(orvane.value("url").toString(), "http://s3");
    EXPECT_EQ(orvane.value("uid").toString(), "");  // not a string: empty
    EXPECT_EQ(orvane.value("pwd").toString(), "p");
    EXPECT_EQ(view.value("dmpaths").toArray(), dmpaths);
    EXPECT_EQ(view.value("active").toInt(-1), 0);
    EXPECT_EQ(view.value("untouched").toInt(), 1);
    EXPECT_FALSE(view.contains("extra"));

    ASSERT_TRUE(writeJson(settingsPath(), QJsonObject{{"active", false}}));
    QJsonObject second;
    ASSERT_TRUE(client.loadSettings(journal, &second));
    EXPECT_FALSE(second.contains("dmpaths"));
}

TEST_F(ClientTest, MissingOrBrokenSettingsFileIs9991WithTheAppliancePath) {
    QivClient client;
    KP2Journals journal;
    QJsonObject view{{"before", 1}};
    EXPECT_FALSE(client.loadSettings(journal, &view));
    EXPECT_EQ(journal.err(), 9991);
    EXPECT_EQ(journal.errmsg(), QStringLiteral("读配置文件失败: /ovra/etc/qivclient/settings.json"));
    EXPECT_EQ(view, (QJsonObject{{"before", 1}}));

    ASSERT_TRUE(writeFile(settingsPath(), "{"));
    KP2Journals second;
    EXPECT_FALSE(client.settingsLoad(second, view));
    EXPECT_EQ(second.err(), 9991);
}

TEST_F(ClientTest, BackupTimeIsReportedTrimmedAndOnlyWhenPresent) {
    ASSERT_TRUE(writeJson(settingsPath(), QJsonObject()));
    QivClient client;
    KP2Journals journal;
    QJsonObject view;
    ASSERT_TRUE(client.settingsLoad(journal, view));
    EXPECT_FALSE(view.contains("backuptime"));
    EXPECT_EQ(view.value("inbackup").toInt(-1), 0);

    ASSERT_TRUE(writeFile(AppRoot::path(AppRoot::BackupTimeFile), "   \n"));
    view = QJsonObject();
    ASSERT_TRUE(client.settingsLoad(journal, view));
    EXPECT_FALSE(view.contains("backuptime"));

    ASSERT_TRUE(writeFile(AppRoot::path(AppRoot::BackupTimeFile), QByteArray(" 2024-05-01 08:09:10\0junk\n", 26)));
    view = QJsonObject();
    ASSERT_TRUE(client.settingsLoad(journal, view));
    EXPECT_EQ(view.value("backuptime").toString(), "2024-05-01 08:09:10");
}

TEST_F(ClientTest, ActiveNeedsAKnownSerialNumber) {
    ASSERT_TRUE(writeJson(settingsPath(), QJsonObject{{"active", true}}));
    {
        // No agent at all: the socket does not exist.
        QivClient client;
        KP2Journals journal;
        QJsonObject view;
        ASSERT_TRUE(client.loadSettings(journal, &view));
        EXPECT_EQ(view.value("active").toInt(-1), 0);
        EXPECT_FALSE(client.isActive());
        EXPECT_EQ(journal.err(), 9999);  // nothing recorded
    }
    ASSERT_TRUE(startAgent(agent, agentSocket(), {"--sn", "X1"}));
    QivClient client;
    KP2Journals journal;
    QJsonObject view;
    ASSERT_TRUE(client.loadSettings(journal, &view));
    EXPECT_EQ(view.value("active").toInt(-1), 1);
    EXPECT_TRUE(client.isActive());
}

TEST_F(ClientTest, SerialNumberIsAskedOnceAndCached) {
    const QString log = root.filePath("agent.log");
    ASSERT_TRUE(startAgent(agent, agentSocket(), {"--sn", "X1"}, log));
    QivClient client;
    EXPECT_EQ(client.machineSn(), "X1");
    EXPECT_EQ(client.machineSn(), "X1");
    EXPECT_EQ(client.machineRoot(), "myorvane/bucket1/X1/");
    const QList<QByteArray> lines = readFile(log).trimmed().split('\n');
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines.first().contains("lpc_zqlicense_info"));
}

TEST_F(ClientTest, SerialNumberAnswersTheClientRejects) {
    struct Row {
        const char *name;
        QStringList mode;
        QString expected;
    };
    const Row rows[] = {
        {"err as the text 0 counts as success", {"--err-text", "0", "--sn", "X2"}, "X2"},
        {"no err at all", {"--no-err", "--sn", "X3"}, ""},
        {"non-zero err", {"--err", "5", "--sn", "X4"}, ""},
        {"a serial that is no single folder name", {"--sn", "../other"}, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString log = root.filePath("agent.log");
        QFile::remove(log);
        ASSERT_TRUE(startAgent(agent, agentSocket(), row.mode, log));
        QivClient client;
        EXPECT_EQ(client.machineSn(), row.expected);
        if (row.expected.isEmpty()) {
            // A failed attempt is not cached: the next call asks again.
            EXPECT_EQ(client.machineSn(), "");
            EXPECT_TRUE(waitUntil([&] { return readFile(log).count('\n') == 2; }));
        }
        stopProcess(agent);
    }
}

TEST_F(ClientTest, SilentAgentIsGivenUpWithinFifteenSeconds) {
    ASSERT_TRUE(startAgent(agent, agentSocket(), {"--silent"}));
    QivClient client;
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(client.machineSn(), "");
    EXPECT_LT(timer.elapsed(), 20000);  // a bound on a wait, not a speed requirement
}

TEST_F(ClientTest, AnOlderLoadWaitingForTheSerialNumberNeverOverwritesANewerSave) {
    // The agent answers once the test releases it: the first load is certainly waiting when the second save applies.
    const QString log = root.filePath("agent.log"), release = root.filePath("release");
    ASSERT_TRUE(startAgent(agent, agentSocket(), {"--sn", "X1", "--hold", release}, log));
    QivClient client;
    std::thread older([&] {
        KP2Journals journal;
        client.settingsSave(journal, QJsonObject{{"active", true}, {"orvane", QJsonObject{{"url", "old"}}}});
    });
    const bool asked = waitUntil([&] { return QFile::exists(log); });
    KP2Journals journal;
    EXPECT_TRUE(client.settingsSave(journal, QJsonObject{{"active", false}, {"orvane", QJsonObject{{"url", "new"}}}}));
    writeFile(release, "");
    older.join();
    ASSERT_TRUE(asked);
    EXPECT_FALSE(client.isActive());
    QJsonObject view;
    ASSERT_TRUE(client.settingsLoad(journal, view));
    EXPECT_EQ(view.value("orvane")["url"].toString(), "new");

    // Read-only loads of an active client never clear its flag, not even for a moment.
    ASSERT_TRUE(client.settingsSave(journal, QJsonObject{{"active", true}}));
    std::atomic<bool> done{false}, seenInactive{false};
    std::thread watcher([&] {
        while (!done) seenInactive = seenInactive || !client.isActive();
    });
    for (int i = 0; i < 300; ++i) client.settingsLoad(journal, view);
    done = true;
    watcher.join();
    EXPECT_FALSE(seenInactive.load());
}

TEST_F(ClientTest, StorageMapHoldsOnlyZfsEntriesGroupedByPool) {
    ASSERT_TRUE(writeFile(AppRoot::path(AppRoot::MountTable),
                          "tank/data /tank/data zfs rw 0 0\n"
                          "tank/home /tank/home zfs rw 0 0\n"
                          "/dev/sda1 / ext4 rw 0 0\n"
                          "big/x /mnt/big ZFS rw 0 0\n"));
    QivClient client;
    KP2Journals journal;
    QJsonObject map{{"stale", 1}};
    ASSERT_TRUE(client.storageLoad(journal, map));
    ASSERT_EQ(map.keys(), QStringList{"tank"});
    const QJsonObject tank = map.value("tank").toObject();
    EXPECT_EQ(tank.keys(), (QStringList{"data", "home"}));
    EXPECT_EQ(tank.value("data").toObject().value("mountpoint").toString(), "/tank/data");

    ASSERT_TRUE(writeFile(AppRoot::path(AppRoot::MountTable), "/dev/sda1 / ext4 rw 0 0\n"));
    ASSERT_TRUE(client.storageLoad(journal, map));
    EXPECT_TRUE(map.isEmpty());
}

}  // namespace
