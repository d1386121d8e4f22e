// The backup client's own threads in-process, against a temporary appliance root and the stand-in programs (zfs,
// object-store tool, core agent) as real child processes: the scheduler (report and backup ticks, dataset selection,
// settings taken up on the fly), the backup worker (one at a time, queue order, refused alias, hand-over between
// workers under load) and the download worker. Schedules run in shrunken time units.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "approot.h"
#include "fakes/fakesupport.h"
#include "qivclient.h"
#include "testsupport.h"

using namespace testsupport;

namespace {

// Report interval 600 ms (60 x 10), backup interval 200 ms at the minimum (5 x 40), 2 ms scheduler passes.
const QivClient::TimeUnits Units{10, 40, 2};
const QByteArray ReportLine = "qivclient.cpp#431 => scheduleRun: \"Reporting\" = Reporting";
const QByteArray BackupLine = "qivclient.cpp#441 => scheduleRun: \"Backuping\" = Backuping";

// Sends file descriptor 1, where trace lines go, into a file while it lives; text() is what arrived so far. The
// captured bytes are echoed to the real standard output at the end, so test failure messages are not lost.
class StdoutCapture {
public:
    explicit StdoutCapture(const QString &path) : m_path(path) {
        std::fflush(stdout);
        m_saved = dup(1);
        const int fd = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        dup2(fd, 1);
        close(fd);
    }
    ~StdoutCapture() {
        std::fflush(stdout);
        dup2(m_saved, 1);
        close(m_saved);
        const QByteArray seen = text();
        std::fwrite(seen.constData(), 1, size_t(seen.size()), stdout);
        std::fflush(stdout);
    }
    QByteArray text() const { return readFile(m_path); }
    // The scheduler's trace lines in order: 'R' for a report tick, 'B' for a backup cycle.
    QByteArray ticks() const {
        QByteArray out;
        for (const QByteArray &line : text().split('\n'))
            out += line.endsWith(ReportLine) ? "R" : line.endsWith(BackupLine) ? "B" : "";
        return out;
    }

private:
    QString m_path;
    int m_saved = -1;
};

class BackupTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const QByteArray bin = QByteArrayLiteral(QIV_BIN_DIR);
        const QByteArray path = qgetenv("PATH");
        if (!path.startsWith(bin + ':')) qputenv("PATH", bin + ':' + path);
        // The C library re-reads the zone on every local-time call and, while TZ is unset, replaces its cached
        // zone name each time, under a lock of its own that ThreadSanitizer cannot see. Naming the default zone
        // once, before any thread starts, leaves later calls read-only. The local time stays the same.
        if (qEnvironmentVariableIsEmpty("TZ")) qputenv("TZ", ":/etc/localtime");
        QDateTime::currentDateTime().toString();
    }
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        AppRoot::setRoot(root.path());
        const QString tool = AppRoot::path(AppRoot::StoreTool);
        ASSERT_TRUE(QDir().mkpath(QFileInfo(tool).path()));
        ASSERT_TRUE(QFile::link(binPath("orvclient"), tool));
        freshState("s0");
    }
    void TearDown() override {
        stopProcess(agent);
        AppRoot::setRoot(QString());
    }

    // Empty state directories for the zfs stand-in and the tool, for a test or one row of a table.
    void freshState(const QString &tag) {
        state = root.filePath(tag);
        ASSERT_TRUE(QDir().mkpath(zfsState()) && QDir().mkpath(orvState()));
        qputenv("QIV_FAKE_ZFS_DIR", QFile::encodeName(zfsState()));
        qputenv("QIV_FAKE_ORV_DIR", QFile::encodeName(orvState()));
    }
    QString zfsState() const { return state + "/zfs"; }
    QString orvState() const { return state + "/orv"; }
    void startAgentWithSn() { ASSERT_TRUE(startAgent(agent, AppRoot::path(AppRoot::AgentSocket), {"--sn", "SN1"})); }

    // Datasets made directly in the stand-in's state (its own layout), which is much faster than one `zfs create`
    // per dataset when there are hundreds.
    void addDatasets(const QStringList &names) const {
        for (const QString &name : names) {
            const QString dir = zfsState() + "/datasets/" + fake::encodeName(name);
            ASSERT_TRUE(QDir().mkpath(dir + "/snapshots"));
            ASSERT_TRUE(writeFile(dir + "/content", name.toUtf8()));
        }
    }
    static void mountTable(const QByteArray &table) {
        ASSERT_TRUE(writeFile(AppRoot::path(AppRoot::MountTable), table));
    }

    static QJsonObject settings(bool active, const QJsonArray &dmpaths, int backupUnits = 5) {
        return QJsonObject{
            {"active", active},
            {"report", QJsonObject{{"interval", 60}}},
            {"orvane", QJsonObject{{"url", "http://store"}, {"uid", "u"}, {"pwd", "p"}, {"interval", backupUnits}}},
            {"dmpaths", dmpaths}};
    }
    static void writeSettings(const QJsonObject &s) { ASSERT_TRUE(writeJson(AppRoot::path(AppRoot::SettingsFile), s)); }

    // The second argument of every logged call of command (the first argument; for "alias", its sub-command).
    static QStringList calls(const QString &stateDir, const QString &command) {
        QStringList out;
        for (const QByteArray &line : readFile(stateDir + "/calls.log").split('\n')) {
            const QJsonArray args = QJsonDocument::fromJson(line).array();
            if (args.at(0).toString() == command) out += args.at(1).toString();
            if (args.at(0).toString() == "alias" && args.at(1).toString() == command) out += args.at(2).toString();
        }
        return out;
    }
    QStringList snapshotCalls() const { return calls(zfsState(), "snapshot"); }
    QStringList pipeCalls() const { return calls(orvState(), "pipe"); }
    QStringList getCalls() const { return calls(orvState(), "get"); }
    // The snapshots the stand-in holds now, as `zfs list -t snapshot` names them.
    static QStringList listSnapshots() {
        QProcess zfs;
        zfs.start("zfs", {"list", "-H", "-t", "snapshot"});
        if (!zfs.waitForFinished(10000)) return {"<zfs list did not finish>"};
        return QString::fromUtf8(zfs.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    }
    static QString remoteOf(QString snapshot) { return "myorvane/bucket1/SN1/" + snapshot.replace('@', '/'); }
    QString objectFile(const QString &remote) const { return orvState() + "/objects/" + remote; }

    QTemporaryDir root;
    QString state;
    QProcess agent;
};

// ---- scheduler ----

TEST_F(BackupTest, IdleSchedulerDoesNothingAndOnActivationReportsBeforeItsFirstBackup) {
    const struct {
        const char *name;
        bool activeSetting;
        bool agentUp;
    } rows[] = {{"active false", false, true}, {"no serial number", true, false}};
    int n = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        freshState(QString("row%1").arg(n));
        QFile::remove(AppRoot::path(AppRoot::BackupTimeFile));
        addDatasets({"tank/a"});
        mountTable("tank/a /tank/a zfs rw 0 0\n");
        if (row.agentUp) startAgentWithSn();
        writeSettings(settings(row.activeSetting, {"tank/a"}));
        StdoutCapture out(root.filePath(QString("out%1.txt").arg(n++)));
        QivClient client;
        client.setTimeUnits(Units);
        KP2Journals journal;
        ASSERT_TRUE(client.loadConfigure(journal, QJsonObject()));
        QElapsedTimer idle;  // from here on the scheduler runs
        idle.start();
        EXPECT_TRUE(client.isSchedulerRunning());
        EXPECT_FALSE(client.isActive());
        // What is awaited here is the passing of time itself: both intervals expire while the client is idle.
        waitUntil([&] { return idle.elapsed() > 800; });
        EXPECT_EQ(out.ticks(), "");
        EXPECT_EQ(snapshotCalls(), QStringList());
        EXPECT_FALSE(QFile::exists(AppRoot::path(AppRoot::BackupTimeFile)));

        if (!row.agentUp) startAgentWithSn();
        ASSERT_TRUE(client.settingsSave(journal, settings(true, {"tank/a"})));
        ASSERT_TRUE(client.isActive());
        ASSERT_TRUE(waitUntil([&] { return out.ticks().contains('B'); }));
        // Both clocks ran on while idle and the save restarted neither: the first active pass is the report tick
        // and the next one the backup cycle. Restarted clocks would have backed up (200 ms) before reporting.
        EXPECT_TRUE(out.ticks().startsWith("RB")) << out.ticks().constData();
        stopProcess(agent);
    }
}

TEST_F(BackupTest, BackupCycleSnapshotsOnlySelectedZfsDatasetsAndStampsTheBackupTime) {
    startAgentWithSn();
    addDatasets({"tank/a", "tank/b", "tank/c", "tank/d", "tank/e", "tank/f"});
    mountTable(
        "tank/b /tank/b zfs rw 0 0\n"
        "tank/a /tank/a zfs rw 0 0\n"
        "tank/c /tank/c zfs rw 0 0\n"    // selected only as " tank/c": never matches
        "tank/d /mnt/d ext4 rw 0 0\n"    // selected, but not a zfs mount
        "tank/f /mnt/f ZFS rw 0 0\n"     // fstype is compared case-sensitively
        "tank/e /tank/e zfs rw 0 0\n");  // not selected
    writeSettings(settings(true, {"tank/b", "tank/a", " tank/c", "tank/d", "tank/f", "tank/gone", ""}, 10));
    StdoutCapture out(root.filePath("out.txt"));
    QivClient client;
    client.setTimeUnits(Units);
    KP2Journals journal;
    ASSERT_TRUE(client.loadConfigure(journal, QJsonObject()));

    ASSERT_TRUE(waitUntil([&] { return snapshotCalls().size() >= 2; }));
    const QStringList first = snapshotCalls().mid(0, 2);
    // One cycle snapshots in mount-point order, not in the order of the table or of "dmpaths".
    const QRegularExpression name("^tank/[ab]@qiv_\\d{14}$");
    ASSERT_TRUE(name.match(first.value(0)).hasMatch() && name.match(first.value(1)).hasMatch())
        << first.join(", ").toStdString();
    EXPECT_TRUE(first.value(0).startsWith("tank/a@") && first.value(1).startsWith("tank/b@"));

    const QString timeFile = AppRoot::path(AppRoot::BackupTimeFile);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(timeFile); }));
    const QByteArray stamp = readFile(timeFile);
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$").match(stamp).hasMatch())
        << stamp.constData();
    const QDateTime when = QDateTime::fromString(QString::fromUtf8(stamp), "yyyy-MM-dd HH:mm:ss");
    EXPECT_LT(qAbs(when.secsTo(QDateTime::currentDateTime())), 60);
    // Every cycle rewrites the file.
    ASSERT_TRUE(QFile::remove(timeFile));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(timeFile); }));

    // Both snapshots of the first cycle are uploaded, and nothing but the two selected datasets was ever snapshotted.
    ASSERT_TRUE(waitUntil([&] {
        const QStringList pipes = pipeCalls();
        return pipes.contains(remoteOf(first.value(0))) && pipes.contains(remoteOf(first.value(1)));
    }));
    for (const QString &snapshot : snapshotCalls())
        EXPECT_TRUE(name.match(snapshot).hasMatch()) << snapshot.toStdString();
}

TEST_F(BackupTest, SavedDatasetListIsUsedFromTheNextCycleOn) {
    startAgentWithSn();
    addDatasets({"tank/a", "tank/b"});
    mountTable("tank/a /tank/a zfs rw 0 0\ntank/b /tank/b zfs rw 0 0\n");
    writeSettings(settings(true, {"tank/a"}));
    QivClient client;
    client.setTimeUnits(Units);
    KP2Journals journal;
    ASSERT_TRUE(client.loadConfigure(journal, QJsonObject()));
    ASSERT_TRUE(waitUntil([&] { return !snapshotCalls().isEmpty(); }));

    ASSERT_TRUE(client.settingsSave(journal, settings(true, {"tank/b"})));
    EXPECT_TRUE(client.isSchedulerRunning());
    ASSERT_TRUE(waitUntil([&] { return snapshotCalls().filter(QRegularExpression("^tank/b@")).size() >= 2; }));
    // A cycle that had read the list before the save may still finish with tank/a; none after it does.
    const QStringList all = snapshotCalls();
    const int firstB = all.indexOf(QRegularExpression("^tank/b@.*"));
    EXPECT_GT(firstB, 0);
    EXPECT_EQ(all.mid(firstB).filter(QRegularExpression("^tank/a@")), QStringList()) << all.join(", ").toStdString();
}

// ---- backup worker ----

TEST_F(BackupTest, OneWorkerUploadsQueuedNamesOneAtATimeInQueueOrder) {
    startAgentWithSn();
    addDatasets({"tank/c", "tank/a", "tank/b"});
    ASSERT_TRUE(writeFile(orvState() + "/delay-pipe", "200"));
    writeSettings(settings(true, {}));
    QivClient client;
    KP2Journals journal;
    ASSERT_TRUE(client.loadSettings(journal, nullptr));
    for (const char *dataset : {"tank/c", "tank/a", "tank/b"}) ASSERT_TRUE(client.zfsbackup(journal, dataset));
    EXPECT_TRUE(client.isBackupRunning());
    const QStringList snapshots = snapshotCalls();
    ASSERT_EQ(snapshots.size(), 3);

    // Whenever an upload starts, every earlier one has stored its object already: they never overlap.
    QStringList overlaps;
    ASSERT_TRUE(waitUntil([&] {
        const QStringList pipes = pipeCalls();
        for (int i = 0; i + 1 < pipes.size(); ++i)
            if (!QFile::exists(objectFile(pipes.at(i))) && !overlaps.contains(pipes.at(i))) overlaps += pipes.at(i);
        return pipes.size() == 3 && !client.isBackupRunning();
    }));
    EXPECT_EQ(overlaps, QStringList());
    EXPECT_EQ(pipeCalls(), (QStringList{remoteOf(snapshots[0]), remoteOf(snapshots[1]), remoteOf(snapshots[2])}));
    EXPECT_EQ(readFile(objectFile(remoteOf(snapshots[0]))), "tank/c");
    EXPECT_EQ(client.backupQueueCount(), 0);
    // One worker took all three names: it checked the alias once.
    EXPECT_EQ(calls(orvState(), "export").size(), 1);
    EXPECT_TRUE(waitUntil([&] { return listSnapshots().isEmpty(); }));
}

TEST_F(BackupTest, RefusedAliasLeavesNamesQueuedUntilALaterWorkerUploadsThem) {
    startAgentWithSn();
    const struct {
        const char *name;
        bool active;
        bool failSet;
    } rows[] = {{"client inactive", false, false}, {"alias cannot be set", true, true}};
    int n = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        freshState(QString("row%1").arg(n++));
        addDatasets({"tank/a", "tank/b"});
        if (row.failSet) {
            ASSERT_TRUE(writeFile(orvState() + "/fail-set", "orvclient: access denied\n"));
        }
        writeSettings(settings(row.active, {}));
        QivClient client;
        KP2Journals journal;
        ASSERT_TRUE(client.loadSettings(journal, nullptr));

        ASSERT_TRUE(client.zfsbackup(journal, "tank/a"));
        ASSERT_TRUE(waitUntil([&] { return !client.isBackupRunning(); }));
        EXPECT_EQ(client.backupQueueCount(), 1);
        const QStringList first = snapshotCalls();
        ASSERT_EQ(first.size(), 1);
        EXPECT_EQ(listSnapshots(), first);
        EXPECT_EQ(pipeCalls(), QStringList());

        if (row.failSet) {
            ASSERT_TRUE(QFile::remove(orvState() + "/fail-set"));
        }
        writeSettings(settings(true, {}));
        ASSERT_TRUE(client.loadSettings(journal, nullptr));
        ASSERT_TRUE(client.zfsbackup(journal, "tank/b"));
        ASSERT_TRUE(waitUntil([&] { return pipeCalls().size() == 2 && !client.isBackupRunning(); }));
        const QStringList both = snapshotCalls();
        ASSERT_EQ(both.size(), 2);
        EXPECT_EQ(pipeCalls(), (QStringList{remoteOf(both[0]), remoteOf(both[1])}));
        EXPECT_EQ(client.backupQueueCount(), 0);
        EXPECT_TRUE(waitUntil([&] { return listSnapshots().isEmpty(); }));
    }
}

TEST_F(BackupTest, SnapshotsQueuedWhileWorkersComeAndGoAreEachUploadedOnce) {
    // Each upload is four processes (script, bash, zfs send, the tool), about 0.1 s: 80 uploads keep this test near
    // ten seconds while still ending and starting a worker a few dozen times.
    constexpr int Rounds = 2, Threads = 4, PerThread = 10;
    startAgentWithSn();
    writeSettings(settings(true, {}));
    QivClient client;
    KP2Journals journal;
    ASSERT_TRUE(client.loadSettings(journal, nullptr));
    for (int round = 0; round < Rounds; ++round) {
        // Distinct datasets, so that snapshot names taken within the same second never collide.
        auto dataset = [round](int t, int i) { return QString("tank/r%1t%2d%3").arg(round).arg(t).arg(i); };
        QStringList names;
        for (int t = 0; t < Threads; ++t)
            for (int i = 0; i < PerThread; ++i) names += dataset(t, i);
        addDatasets(names);
        std::atomic<int> refused{0};
        std::atomic<bool> producing{true};
        // The status is read all the while, as a peer would: it copies the pending list the workers change.
        std::thread reader([&] {
            KP2Journals own;
            QJsonObject status;
            while (producing) {
                client.statusLoad(own, status);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        std::vector<std::thread> producers;
        for (int t = 0; t < Threads; ++t) {
            producers.emplace_back([&, t] {
                KP2Journals own;
                for (int i = 0; i < PerThread; ++i) {
                    if (!client.zfsbackup(own, dataset(t, i))) ++refused;
                    // Each producer lets the worker run out of work and end before it pushes again, so that
                    // workers end and start over and over while the other producers' names arrive.
                    waitUntil([&] { return !client.isBackupRunning(); }, 30000);
                }
            });
        }
        for (std::thread &t : producers) t.join();
        producing = false;
        reader.join();
        EXPECT_EQ(refused.load(), 0);
    }
    const int total = Rounds * Threads * PerThread;
    ASSERT_TRUE(waitUntil([&] { return pipeCalls().size() >= total && !client.isBackupRunning(); }, 30000))
        << pipeCalls().size() << " of " << total << " uploaded, " << client.backupQueueCount() << " queued";
    EXPECT_EQ(client.backupQueueCount(), 0);

    const QStringList snapshots = snapshotCalls();
    ASSERT_EQ(snapshots.size(), total);
    QStringList expected;
    for (const QString &s : snapshots) expected += remoteOf(s);
    QStringList uploaded = pipeCalls();
    expected.sort();
    uploaded.sort();
    EXPECT_EQ(uploaded, expected);  // each name exactly once
    // Workers came and went many times (each one checks the alias once when it starts).
    const int workers = calls(orvState(), "export").size();
    EXPECT_GE(workers, Rounds * PerThread);
    std::printf("%d uploads by %d workers\n", total, workers);
    EXPECT_TRUE(waitUntil([&] { return listSnapshots().isEmpty(); }, 30000));
}

// ---- download worker ----

TEST_F(BackupTest, QueuedDownloadsRunOneAfterAnotherInOrderAndAFailureDoesNotStopTheRest) {
    startAgentWithSn();
    const QString remote = "myorvane/bucket1/SN1/tank/a/";
    ASSERT_TRUE(writeFile(objectFile(remote + "qiv_1"), "one"));
    ASSERT_TRUE(writeFile(objectFile(remote + "qiv_2"), "two"));
    ASSERT_TRUE(writeFile(orvState() + "/delay-get", "200"));
    writeSettings(settings(true, {}));
    QivClient client;
    KP2Journals journal;
    ASSERT_TRUE(client.loadSettings(journal, nullptr));
    const QString target = root.filePath("got");
    ASSERT_TRUE(client.remoteDwload(journal, "tank/a/qiv_missing", target + "0"));
    ASSERT_TRUE(client.remoteDwload(journal, "tank/a/qiv_1", target + "1"));
    ASSERT_TRUE(client.remoteDwload(journal, "tank/a/qiv_2", target + "2"));

    bool overlapped = false;
    ASSERT_TRUE(waitUntil([&] {
        // The third download starts only after the second has written its file.
        if (getCalls().size() == 3 && !QFile::exists(target + "1")) overlapped = true;
        return readFile(target + "2") == "two";
    }));
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(getCalls(), (QStringList{remote + "qiv_missing", remote + "qiv_1", remote + "qiv_2"}));
    EXPECT_EQ(readFile(target + "1"), "one");
    EXPECT_FALSE(QFile::exists(target + "0"));
}

TEST_F(BackupTest, DownloadRefusedByTheAliasCheckIsNotQueued) {
    startAgentWithSn();
    ASSERT_TRUE(writeFile(objectFile("myorvane/bucket1/SN1/tank/a/qiv_1"), "one"));
    writeSettings(settings(false, {}));
    QivClient client;
    KP2Journals journal;
    ASSERT_TRUE(client.loadSettings(journal, nullptr));
    const QString target = root.filePath("got");
    {
        StdoutCapture out(root.filePath("out.txt"));
        EXPECT_FALSE(client.remoteDwload(journal, "tank/a/qiv_1", target + "0"));
        EXPECT_TRUE(out.text().contains("\"updateAlias is wrong\" = updateAlias is wrong\n")) << out.text().constData();
    }
    writeSettings(settings(true, {}));
    ASSERT_TRUE(client.loadSettings(journal, nullptr));
    ASSERT_TRUE(client.remoteDwload(journal, "tank/a/qiv_1", target + "1"));
    ASSERT_TRUE(waitUntil([&] { return readFile(target + "1") == "one"; }));
    // Had the refused task been queued, the worker would have run it first.
    EXPECT_EQ(getCalls(), QStringList{"myorvane/bucket1/SN1/tank/a/qiv_1"});
    EXPECT_FALSE(QFile::exists(target + "0"));
}

// ---- lifetime ----

TEST_F(BackupTest, ClientDestroyedRightAfterStartingItsThreadsWaitsForThemAndReturns) {
    startAgentWithSn();
    const struct {
        const char *name;
        int clients;
        bool workers;
    } rows[] = {{"scheduler only", 50, false}, {"scheduler and both workers", 8, true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        writeSettings(settings(row.workers, {}));
        for (int i = 0; i < row.clients; ++i) {
            auto *client = new QivClient;
            client->setTimeUnits(Units);
            // Destroyed by a thread of its own, waiting to go before the client's threads start, so that the
            // destructor runs while they are still starting; and a destructor that never returns fails the test
            // instead of hanging it.
            const auto go = std::make_shared<std::atomic<bool>>(false);
            const auto gone = std::make_shared<std::atomic<bool>>(false);
            std::thread destroy([client, go, gone] {
                while (!go->load()) std::this_thread::yield();
                delete client;
                *gone = true;
            });
            KP2Journals journal;
            client->loadConfigure(journal, QJsonObject());
            if (row.workers) {
                const QString dataset = QString("tank/life%1").arg(i);
                addDatasets({dataset});
                EXPECT_TRUE(client->zfsbackup(journal, dataset));
                EXPECT_TRUE(client->remoteDwload(journal, "tank/missing", root.filePath("got")));
            }
            *go = true;
            if (!waitUntil([&] { return gone->load(); }, 10000)) {
                destroy.detach();
                FAIL() << "the destructor of client " << i << " did not return";
            }
            destroy.join();
        }
    }
}

}  // namespace
