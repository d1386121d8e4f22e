// ZfsTool against the stand-in zfs found first on PATH: the argument vectors of every run, failures that name the
// command and carry zfs's own words, and the parsed snapshot list.
#include "zfstool.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <functional>

#include "testsupport.h"

using namespace testsupport;

namespace {

class ZfsToolRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const QByteArray bin = QByteArray(QIV_BIN_DIR) + ':', path = qgetenv("PATH");
        if (!path.startsWith(bin)) qputenv("PATH", bin + path);
    }
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        qputenv("QIV_FAKE_ZFS_DIR", QFile::encodeName(m_dir.path()));
        ASSERT_TRUE(writeFile(stream, "stream"));
    }
    // The argument vectors the stand-in received, oldest first; forgotten afterwards.
    QList<QStringList> takeCalls() {
        QList<QStringList> calls;
        for (const QByteArray &line : readFile(m_dir.filePath("calls.log")).split('\n')) {
            if (line.isEmpty()) continue;
            calls.append(QStringList());
            for (const QJsonValue &v : QJsonDocument::fromJson(line).array()) calls.last().append(v.toString());
        }
        QFile::remove(m_dir.filePath("calls.log"));
        return calls;
    }
    void zfs(const QStringList &args) {
        QProcess p;
        p.start(binPath("zfs"), args);
        ASSERT_TRUE(p.waitForFinished(30000) && p.exitCode() == 0) << p.readAllStandardError().constData();
    }

    QTemporaryDir m_dir;
    const QString stream = m_dir.filePath("in/stream");
    const ZfsTool tool;
    QString failure;
};

TEST_F(ZfsToolRun, EveryRunPassesItsArgumentVector) {
    QString value;
    QList<ZfsTool::Snapshot> names;
    const struct {
        const char *name;
        std::function<void()> run;
        QStringList args;
    } rows[] = {
        {"snapshot", [&] { tool.snapshot("tank/a b@qiv_1", nullptr); }, {"snapshot", "tank/a b@qiv_1"}},
        {"list",
         [&] { tool.listSnapshots(&names); },
         {"list", "-H", "-t", "snapshot", "-o", "name,qiv:uploaded,qiv:restored"}},
        {"destroy", [&] { tool.destroy("tank/a@qiv_1"); }, {"destroy", "tank/a@qiv_1"}},
        {"destroy recursively", [&] { tool.destroy("tank/r", nullptr, true); }, {"destroy", "-r", "tank/r"}},

        {"get",
         [&] { tool.getProperty("tank/a", "qiv:base", &value); },
         {"get", "-H", "-o", "value", "qiv:base", "tank/a"}},
        {"set", [&] { tool.setProperty("tank/a", "qiv:base", "qiv_1"); }, {"set", "qiv:base=qiv_1", "tank/a"}},
        {"receive", [&] { tool.receive("tank/r", stream, {}, nullptr, &failure); }, {"receive", "tank/r"}},
        {"receive unmounted",
         [&] {
             tool.receive("tank/u", stream, {true, {}}, nullptr, &failure);
         },
         {"receive", "-u", "tank/u"}},
    };
    for (const auto &row : rows) {
        row.run();
        EXPECT_EQ(takeCalls(), QList<QStringList>{row.args}) << row.name;
    }
    EXPECT_EQ(tool.sendWords("tank/a@qiv_2", "tank/a@qiv_1"),
              (QStringList{tool.program(), "send", "-i", "tank/a@qiv_1", "tank/a@qiv_2"}));
}

TEST_F(ZfsToolRun, FailureNamesTheCommandAndCarriesZfsOwnWords) {
    QList<ZfsTool::Snapshot> names;
    QByteArray standardError;
    const struct {
        const char *command;
        std::function<bool()> run;
        const char *failure;
    } rows[] = {
        {"snapshot", [&] { return tool.snapshot("tank/a@qiv_1", &standardError, &failure); },
         "zfs snapshot tank/a@qiv_1: "},
        {"list", [&] { return tool.listSnapshots(&names, &failure); },
         "zfs list -H -t snapshot -o name,qiv:uploaded,qiv:restored: "},
        {"destroy", [&] { return tool.destroy("tank/a@qiv_1", &failure); }, "zfs destroy tank/a@qiv_1: "},
        {"receive", [&] { return tool.receive("tank/r", stream, {}, nullptr, &failure); }, "zfs receive tank/r: "},
    };
    for (const auto &row : rows) {
        const QByteArray said = QByteArray("cannot ") + row.command + ": out of space\nsecond line\n";
        ASSERT_TRUE(writeFile(m_dir.filePath(QString("fail-") + row.command), said));
        failure.clear();
        EXPECT_FALSE(row.run()) << row.command;
        EXPECT_EQ(failure, row.failure + QString::fromUtf8(said).trimmed()) << row.command;
    }
    EXPECT_EQ(standardError, "cannot snapshot: out of space\nsecond line\n");
}

TEST_F(ZfsToolRun, ListGivesEverySnapshotByItsWholeNameWithItsMarks) {
    for (const char *dataset : {"tank/a", "tank/b c"}) zfs({"create", dataset});
    for (const char *snapshot : {"tank/a@qiv_1", "tank/a@qiv_2", "tank/b c@qiv 3"}) zfs({"snapshot", snapshot});
    ASSERT_TRUE(tool.setProperty("tank/a@qiv_2", ZfsTool::UploadedProperty, "qiv_2_from_1.zst"));
    ASSERT_TRUE(tool.setProperty("tank/b c@qiv 3", ZfsTool::RestoredProperty, "qiv 3"));
    QList<ZfsTool::Snapshot> snapshots{{"stale", "", ""}};
    ASSERT_TRUE(tool.listSnapshots(&snapshots, &failure)) << failure.toStdString();
    QStringList shown;
    for (const ZfsTool::Snapshot &s : snapshots) shown << s.name + "=" + s.uploaded + "=" + s.restored;
    EXPECT_EQ(shown, (QStringList{"tank/a@qiv_1==", "tank/a@qiv_2=qiv_2_from_1.zst=", "tank/b c@qiv 3==qiv 3"}));
}

}  // namespace
