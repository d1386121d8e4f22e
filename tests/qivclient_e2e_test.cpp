// The daemon binary end to end under --root: the settings and storage commands over its real socket, start-up
// output, and settings saved and loaded concurrently from many connections.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <atomic>
#include <thread>

#include "daemonfixture.h"
#include "testsupport.h"

using namespace testsupport;

namespace {

using DaemonE2E = DaemonFixture;

TEST_F(DaemonE2E, StartsInAMissingDirectoryAndAnnouncesItselfOnce) {
    ASSERT_TRUE(serve());
    EXPECT_EQ(daemonOutput(), QByteArray("Local agent: ") + socket().toUtf8() + "\n");
    EXPECT_EQ(call("no_such_command").value("err").toInt(), 9885);
}

TEST_F(DaemonE2E, SettingsSavedOverTheSocketAreLoadedBackNormalised) {
    ASSERT_TRUE(startAgent("SN42"));
    ASSERT_TRUE(serve());

    // Before any save there is no settings file.
    QJsonObject reply = call("qivclient_settingload");
    EXPECT_EQ(reply.value("err").toInt(), 9991);
    EXPECT_EQ(reply.value("errmsg").toString(), QStringLiteral("读配置文件失败: /ovra/etc/qivclient/settings.json"));
    EXPECT_FALSE(reply.contains("results"));

    const QJsonObject settings{
        {"active", "yes"},
        {"report", QJsonObject{{"interval", 30}}},
        {"orvane", QJsonObject{{"url", "http://store"}, {"uid", "u"}, {"pwd", "p"}, {"interval", "0x10"}}},
        {"dmpaths", QJsonArray{"tank/data"}}};
    reply = call("qivclient_settingsave", settings);
    EXPECT_EQ(reply.value("err").toInt(-1), 0);
    EXPECT_FALSE(reply.contains("results"));
    EXPECT_EQ(QJsonDocument::fromJson(readFile(path("/ovra/etc/qivclient/settings.json"))).object(), settings);

    reply = call("qivclient_settingload");
    ASSERT_EQ(reply.value("err").toInt(-1), 0);
    const QJsonObject view = reply.value("results").toObject();
    EXPECT_EQ(view.value("active").toInt(-1), 1);
    EXPECT_EQ(view.value("report").toObject().value("interval").toInt(), 60);
    EXPECT_EQ(view.value("orvane").toObject().value("interval").toInt(), 16);
    EXPECT_EQ(view.value("dmpaths").toArray(), QJsonArray{"tank/data"});
    EXPECT_EQ(view.value("inbackup").toInt(-1), 0);
    EXPECT_TRUE(reply.contains("elapsed"));  // debugging is on

    // A save without "params" writes {} and resets everything.
    reply = request(socket(), QJsonObject{{"cmd", "qivclient_settingsave"}});
    EXPECT_EQ(reply.value("err").toInt(-1), 0);
    EXPECT_EQ(QJsonDocument::fromJson(readFile(path("/ovra/etc/qivclient/settings.json"))).object(), QJsonObject());
    const QJsonObject reset = call("qivclient_settingload").value("results").toObject();
    EXPECT_EQ(reset.value("active").toInt(-1), 0);
    EXPECT_EQ(reset.value("report").toObject().value("interval").toInt(), 60);
    // Chains and stream stages show their defaults; the identity file is a path below the appliance root.
    EXPECT_EQ(reset.value("orvane").toObject(), (QJsonObject{{"url", ""},
                                                             {"uid", ""},
                                                             {"pwd", ""},
                                                             {"interval", 5},
                                                             {"fullevery", 1},
                                                             {"keep", 0},
                                                             {"compress", ""},
                                                             {"encrypt", ""},
                                                             {"identity", path("/ovra/etc/qivclient/age.key")}}));
}

TEST_F(DaemonE2E, HelpRequestsAnswerTheEmptyUsageAndRunNothing) {
    ASSERT_TRUE(serve());
    const QJsonObject reply = request(socket(), QJsonObject{{"cmd", "qivclient_settingsave"}, {"help", 0}});
    EXPECT_EQ(reply, (QJsonObject{{"err", 9999}, {"elapsed", reply.value("elapsed")}}));
    EXPECT_FALSE(QFile::exists(path("/ovra/etc/qivclient/settings.json")));
}

TEST_F(DaemonE2E, ZfsStorageListsTheZfsMountsOfTheMountTable) {
    ASSERT_TRUE(
        writeFile(path("/proc/self/mounts"),
                  "tank/data /tank/data zfs rw 0 0\n/dev/sda1 / ext4 rw 0 0\ntank/my\\040docs /d zfs rw 0 0\n"));
    ASSERT_TRUE(serve());
    const QJsonObject reply = call("qivclient_zfstorage");
    ASSERT_EQ(reply.value("err").toInt(-1), 0);
    const QJsonObject tank = reply.value("results").toObject().value("tank").toObject();
    EXPECT_EQ(tank.keys(), (QStringList{"data", "my docs"}));
    EXPECT_EQ(tank.value("my docs").toObject().value("dmpath").toString(), "tank/my docs");
}

TEST_F(DaemonE2E, ConcurrentSavesAndLoadsNeverSeeHalfASettingsFile) {
    ASSERT_TRUE(serve());
    ASSERT_EQ(call("qivclient_settingsave", QJsonObject()).value("err").toInt(-1), 0);

    // Each writer saves settings whose fields all carry its own number; a load must see one writer's whole set.
    std::atomic<int> torn{0};
    std::atomic<int> failed{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < 8; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < 25; ++i) {
                const QString tag = QStringLiteral("w%1-%2").arg(w).arg(i);
                const QJsonObject settings{
                    {"orvane",
                     QJsonObject{{"url", "u-" + tag}, {"uid", "i-" + tag}, {"pwd", "p-" + tag}, {"interval", 5 + w}}},
                    {"dmpaths", QJsonArray{"d-" + tag}},
                    {"padding", QString(4096, QLatin1Char('x'))}};
                if (call("qivclient_settingsave", settings).value("err").toInt(-1) != 0) ++failed;
            }
        });
    }
    for (int r = 0; r < 4; ++r) {
        threads.emplace_back([&] {
            while (!done.load()) {
                const QJsonObject reply = call("qivclient_settingload");
                if (reply.value("err").toInt(-1) != 0) {
                    ++failed;
                    continue;
                }
                const QJsonObject view = reply.value("results").toObject();
                const QString url = view.value("orvane").toObject().value("url").toString();
                const QString tag = url.mid(2);
                const QJsonObject orvane = view.value("orvane").toObject();
                if (url.isEmpty()) continue;  // the initial empty settings
                if (orvane.value("uid").toString() != "i-" + tag || orvane.value("pwd").toString() != "p-" + tag ||
                    view.value("dmpaths").toArray() != QJsonArray{"d-" + tag})
                    ++torn;
            }
        });
    }
    // The file on disk is valid JSON at every moment.
    std::thread fileReader([&] {
        while (!done.load()) {
            QJsonParseError error;
            QJsonDocument::fromJson(readFile(path("/ovra/etc/qivclient/settings.json")), &error);
            if (error.error != QJsonParseError::NoError) ++torn;
        }
    });
    for (int w = 0; w < 8; ++w) threads[w].join();
    done = true;
    for (size_t t = 8; t < threads.size(); ++t) threads[t].join();
    fileReader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(failed.load(), 0);
}

}  // namespace
