// The soak: the daemon binary under --root with the stand-ins (and a real ZFS pool where one can be had) taking, all
// at once, many connections of well-formed requests, hostile peers, settings saved and read in a loop and backups
// whose upload tool is killed midway; then SIGKILL during a settings save and during an upload, each followed by a
// restart. It prints its figures and fails when a check does.
//
//   qiv_soak [--short]     full form: 500 connections x 100 requests, 50 hostile peers, 5 tool kills
//                          --short: 50 x 20, 10 hostile peers, 1 tool kill (the form the normal test run uses)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "daemonfixture.h"
#include "kp2linux/lnx2socketio.h"
#include "kp2rpcpacket.h"
#include "testsupport.h"
#include "zfspool.h"

using namespace testsupport;

namespace {

struct Size {
    const char *name;
    int clients, requests, hostile, toolKills, saveRounds, idleMs;
};
const Size kFull{"full", 500, 100, 50, 5, 150, 3000};
const Size kShort{"short", 50, 20, 10, 1, 20, 1000};

const char *const kSerial = "SN-SOAK";
constexpr int kStreamBytes = 4 * 1024 * 1024;  // each backup's stream, fed slowly to the tool (see "slow-pipe")
constexpr qint64 kReadBudgetMiB = 32;          // the daemon's bound on requests being read (qivclient/appdata.cpp)
constexpr qint64 kMarginMiB = 64;              // the stacks and heaps of up to 512 connection threads
// A sanitizer's shadow memory and quarantine are no part of the daemon's own: memory is then shown, not checked.
#if defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// ---- the daemon seen from /proc ----

int entries(qint64 pid, const char *dir) {
    return QDir(QStringLiteral("/proc/%1/%2").arg(pid).arg(dir))
        .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
        .size();
}
qint64 statusKiB(qint64 pid, const QByteArray &key) {
    for (const QByteArray &line : readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n'))
        if (line.startsWith(key + ':')) return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}
qint64 cpuTicks(qint64 pid) {  // utime + stime, fields 14 and 15, counted after the ")" that ends the name
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> f = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return f.value(11).toLongLong() + f.value(12).toLongLong();
}

// Every thread of the process is stopped (by SIGSTOP): none is inside a system call any more.
bool frozen(qint64 pid) {
    for (const QString &task :
         QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/task/%2/stat").arg(pid).arg(task));
        if (stat.mid(stat.lastIndexOf(')') + 2, 1) != "T") return false;
    }
    return true;
}

// ---- the wire ----

// A datagram header that announces jsonLength bytes of JSON text.
QByteArray header(quint32 jsonLength) {
    QByteArray h = PACKET_MARK + QByteArray("\x01\x01", 2);
    const quint32 lengths[2] = {jsonLength, 0};
    h.append(reinterpret_cast<const char *>(lengths), sizeof lengths);
    return h + QByteArray("\xff\xff\xff", 3);
}
QByteArray datagram(const QJsonObject &o) {
    return KP2RpcPacket(o).toDatagram();
}

struct Conn {
    explicit Conn(const QByteArray &path) : fd(lnx2ConnectWithin(path, QDeadlineTimer(10000))) {}
    ~Conn() {
        if (fd >= 0) lnx2Close(fd);
    }
    bool send(const QByteArray &bytes) { return lnx2SendAll(fd, bytes, QDeadlineTimer(30000)); }
    Lnx2DatagramReader::Result next(KP2RpcPacket &p, int ms = 60000) { return reader.next(fd, p, QDeadlineTimer(ms)); }
    // Ends the sending side and counts the replies that still come before the daemon closes; -1 when it does not.
    int repliesUntilClosed() {
        ::shutdown(fd, SHUT_WR);
        KP2RpcPacket p;
        for (int n = 0;; ++n) {
            const Lnx2DatagramReader::Result r = next(p, 35000);  // beyond the daemon's 30 s limit for a reply
            if (r != Lnx2DatagramReader::Packet) return r == Lnx2DatagramReader::TimedOut ? -1 : n;
        }
    }
    int fd;
    Lnx2DatagramReader reader;
};

// The well-formed requests, in turn, each with what its one correct reply holds.
struct Request {
    QJsonObject request;
    std::function<bool(const QJsonObject &)> correct;
};
Request wellFormed(int client, int i) {
    switch (i % 4) {
        case 0: {
            const QString cmd = QStringLiteral("soak_%1_%2").arg(client).arg(i);
            return {{{"cmd", cmd}}, [cmd](const QJsonObject &r) {
                        return r.value("err").toInt() == 9885 &&
                               r.value("errmsg").toString() == "被调用的方法不存在: " + cmd;
                    }};
        }
        case 1:
            return {{{"cmd", "qivclient_status"}, {"help", true}},
                    [](const QJsonObject &r) { return r.value("comment").toString().startsWith("备份状态"); }};
        case 2:
            return {{{"cmd", "qivclient_zfstorage"}}, [](const QJsonObject &r) {
                        return r.value("err").toInt(-1) == 0 && r.value("results").isObject();
                    }};
        default:
            return {{{"cmd", "help_interfaces"}}, [](const QJsonObject &r) {
                        return r.value("results").toObject().contains("qivclient_settingsave");
                    }};
    }
}

// Connections that the daemon closed before any reply: refused at its connection bound (500 clients and 50 hostile
// peers are more than its 512), and tried again.
std::atomic<int> g_refused{0};

// Sends request on conn (a new connection when it is null) and reads its reply, trying again on a new connection
// while the connection is refused. conn holds the connection that answered.
Lnx2DatagramReader::Result exchange(const QByteArray &path, const QJsonObject &request, KP2RpcPacket &reply,
                                    std::unique_ptr<Conn> &conn) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (!conn) conn = std::make_unique<Conn>(path);
        if (conn->fd < 0) return Lnx2DatagramReader::Closed;
        Lnx2DatagramReader::Result r = Lnx2DatagramReader::Closed;
        if (conn->send(datagram(request))) r = conn->next(reply);
        if (r != Lnx2DatagramReader::Closed) return r;
        conn.reset();
        ++g_refused;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // pacing a retry, nothing awaited
    }
    return Lnx2DatagramReader::Closed;
}
QJsonObject exchange(const QByteArray &path, const QJsonObject &request) {
    KP2RpcPacket reply;
    std::unique_ptr<Conn> conn;
    return exchange(path, request, reply, conn) == Lnx2DatagramReader::Packet ? QJsonObject(reply) : QJsonObject();
}

struct Tally {
    std::atomic<int> correct{0}, wrong{0}, closed{0}, timedOut{0}, extra{0}, notClosed{0};
};

// One connection's requests, one at a time. The first is answered before go, so that the daemon serves every
// client's connection at once when the rest begin.
void wellFormedClient(const QByteArray &path, int client, int requests, Tally &t, std::atomic<int> &connected,
                      std::shared_future<void> go) {
    std::unique_ptr<Conn> conn;
    int answered = 0;
    Lnx2DatagramReader::Result r = Lnx2DatagramReader::Packet;
    while (answered < requests) {
        const Request q = wellFormed(client, answered);
        KP2RpcPacket reply;
        if (answered == 0)
            r = exchange(path, q.request, reply, conn);
        else
            r = conn->send(datagram(q.request)) ? conn->next(reply) : Lnx2DatagramReader::Closed;
        if (r != Lnx2DatagramReader::Packet) break;
        ++(q.correct(reply) ? t.correct : t.wrong);
        if (++answered == 1) {
            ++connected;
            go.wait();  // the soak's main thread lets go of all once every client is served
        }
    }
    if (answered == 0) ++connected;  // no longer awaited
    (r == Lnx2DatagramReader::TimedOut ? t.timedOut : t.closed) += requests - answered;
    if (answered < requests) return;
    const int more = conn->repliesUntilClosed();
    if (more != 0) ++(more > 0 ? t.extra : t.notClosed);
}

// ---- hostile peers: each act ends with what the daemon did; "" when that was right ----

QString closedWithoutReply(Conn &c, const QByteArray &bytes) {
    c.send(bytes);  // the daemon may close before it has all
    KP2RpcPacket p;
    const Lnx2DatagramReader::Result r = c.next(p, 30000);
    return r == Lnx2DatagramReader::Closed ? QString() : QStringLiteral("not closed (%1)").arg(int(r));
}
QString atMostOneReply(Conn &c, const QByteArray &bytes) {
    if (!c.send(bytes)) return QString();
    const int n = c.repliesUntilClosed();
    return n == 0 || n == 1 ? QString() : QStringLiteral("%1 replies").arg(n);
}
QString exactlyOneCorrectReply(Conn &c, int i) {
    const Request q = wellFormed(-1, i);
    KP2RpcPacket reply;
    const Lnx2DatagramReader::Result r = c.next(reply);
    if (r == Lnx2DatagramReader::Closed) {  // at the connection bound
        ++g_refused;
        return QString();
    }
    if (r != Lnx2DatagramReader::Packet) return QStringLiteral("no reply");
    if (!q.correct(reply)) return QStringLiteral("wrong reply");
    return c.repliesUntilClosed() == 0 ? QString() : QStringLiteral("extra reply");
}

struct Hostile {
    const char *name;
    std::function<QString(Conn &, const std::atomic<bool> &loadDone)> act;
};
const std::vector<Hostile> &hostileKinds() {
    static const std::vector<Hostile> kinds{
        {"garbage bytes",
         [](Conn &c, const std::atomic<bool> &) {
             QByteArray junk(4096, '\0');
             QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(junk.data()), junk.size() / 4);
             junk[0] = 'G';
             return closedWithoutReply(c, junk);
         }},
        {"length 0xFFFFFFFF",
         [](Conn &c, const std::atomic<bool> &) { return closedWithoutReply(c, header(0xFFFFFFFFu) + "{\"cmd\":"); }},
        {"2 GB announcement",
         [](Conn &c, const std::atomic<bool> &) {
             return closedWithoutReply(c, header(0x80000000u) + "{\"cmd\":\"" + QByteArray(65536, 'x'));
         }},
        {"one-byte trickle",
         [](Conn &c, const std::atomic<bool> &) {
             for (const char byte : datagram(wellFormed(-1, 0).request)) {
                 if (!c.send(QByteArray(1, byte))) return exactlyOneCorrectReply(c, 0);  // refused, or so it says
                 std::this_thread::sleep_for(std::chrono::milliseconds(1));              // the trickle's pace
             }
             return exactlyOneCorrectReply(c, 0);
         }},
        {"never reads replies",
         [](Conn &c, const std::atomic<bool> &loadDone) {
             const QByteArray request = datagram(wellFormed(-1, 3).request);
             for (int i = 0; i < 400 && lnx2SendAll(c.fd, request, QDeadlineTimer(0)); ++i) {
             }
             while (!loadDone) std::this_thread::sleep_for(std::chrono::milliseconds(20));  // holds on till the end
             return QString();
         }},
        {"keep-alive flood",
         [](Conn &c, const std::atomic<bool> &) {
             c.send(PACKET_KEEPALIVE.repeated(16384) + datagram(wellFormed(-1, 0).request));
             return exactlyOneCorrectReply(c, 0);
         }},
        {"bad UTF-8",
         [](Conn &c, const std::atomic<bool> &) {
             const QByteArray json("{\"cmd\":\"soak_\xff\xfe\xc0\x80\"}");
             return atMostOneReply(c, header(quint32(json.size())) + json);
         }},
        {"100,000-deep nesting",
         [](Conn &c, const std::atomic<bool> &) {
             const QByteArray json =
                 "{\"cmd\":\"soak\",\"p\":" + QByteArray(100000, '[') + QByteArray(100000, ']') + "}";
             return atMostOneReply(c, header(quint32(json.size())) + json);
         }},
    };
    return kinds;
}

struct HostileTally {
    std::atomic<int> acts{0}, wrong{0};
    std::mutex lock;
    QString firstWrong;  // guarded by lock
};

class Soak : public DaemonFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(DaemonFixture::SetUp());
        struct rlimit files;  // the soak's own connections exceed the usual 1024
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
        daemon.setStandardOutputFile(root.filePath("daemon.log"), QIODevice::Append);
        daemon.setStandardErrorFile(root.filePath("daemon.log"), QIODevice::Append);
    }

    // Starts the daemon without debugging (its output goes to daemon.log) and waits until it answers.
    ::testing::AssertionResult up() {
        const QString cfg = root.filePath("soak-cfg.json");
        if (!writeJson(cfg, QJsonObject{{"localagentid", socket()}})) return ::testing::AssertionFailure() << "cfg";
        const ::testing::AssertionResult started = start({"--cfg", cfg});
        if (!started) return started;
        if (!waitUntil([&] { return !call("help_interfaces").isEmpty(); }, 30000))
            return ::testing::AssertionFailure() << "the daemon does not answer";
        return ::testing::AssertionSuccess();
    }
    qint64 pid() const { return daemon.processId(); }
    QByteArray socketPath() const { return QFile::encodeName(socket()); }

    // A settings object that no other save writes; remembered before it is sent.
    QJsonObject savedSettings(const QString &mark) {
        const QJsonObject o{{"active", true},
                            {"orvane", QJsonObject{{"url", "http://s"}, {"uid", "u"}, {"pwd", "p"}}},
                            {"dmpaths", QJsonArray()},
                            {"soak", mark}};
        std::lock_guard<std::mutex> guard(m_savedLock);
        m_saved.insert(QJsonDocument(o).toJson(QJsonDocument::Compact));
        return o;
    }
    // The settings file holds a JSON object that some save wrote.
    bool settingsFileIsASavedObject() {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(readFile(path("/ovra/etc/qivclient/settings.json")), &error);
        std::lock_guard<std::mutex> guard(m_savedLock);
        return error.error == QJsonParseError::NoError && doc.isObject() &&
               m_saved.count(doc.toJson(QJsonDocument::Compact)) == 1;
    }
    QStringList settingsTemporaries() const {
        return QDir(path("/ovra/etc/qivclient")).entryList({"settings.json.??????"}, QDir::Files);
    }

    QStringList snapshots() {
        QByteArray out;
        run("zfs", {"list", "-H", "-t", "snapshot", "-o", "name"}, &out);
        return QString::fromUtf8(out)
            .split('\n', Qt::SkipEmptyParts)
            .filter(QRegularExpression("^" + QRegularExpression::escape(m_dataset) + "@"));
    }
    QString objectFile(const QString &subpath) const {
        return orvState + "/objects/myorvane/bucket1/" + kSerial + "/" + subpath;
    }
    // The upload tool's "pipe" process of this soak, 0 when none runs.
    qint64 pipeProcess() const {
        const QByteArray tool = QFile::encodeName(path("/ovra/sbin/orvclient"));
        for (const QString &p : QDir("/proc").entryList(QDir::Dirs)) {
            const QList<QByteArray> argv = readFile("/proc/" + p + "/cmdline").split('\0');
            if (argv.value(0) == tool && argv.value(1) == "pipe" && !readFile("/proc/" + p + "/stat").contains(") Z "))
                return p.toLongLong();
        }
        return 0;
    }
    // Starts a backup of the soak's dataset and waits until its upload has stored part of the stream; the pid of
    // the tool then, 0 when that did not happen.
    qint64 backupCaughtMidway() {
        if (exchange(socketPath(), {{"cmd", "qivclient_zfsbackup"}, {"params", QJsonObject{{"dmpath", m_dataset}}}})
                .value("err")
                .toInt(-1) != 0)
            return 0;
        qint64 tool = 0;
        waitUntil(
            [&] {
                tool = pipeProcess();
                const QString key =
                    QString::fromUtf8(readFile(QStringLiteral("/proc/%1/cmdline").arg(tool)).split('\0').value(2));
                return tool > 0 && QFileInfo(objectFile(key.section('/', 3))).size() > 0;
            },
            30000);
        return tool;
    }

    // Polls the full listing until stop, remembering every size each object was listed with; idles while paused.
    void pollListings(const std::atomic<bool> &stop) {
        while (!stop) {
            m_pollerResting = m_pollingPaused.load();
            if (m_pollerResting) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            const QJsonObject reply = request(socket(), QJsonObject{{"cmd", "qivclient_remote_alload"}}, 10);
            std::lock_guard<std::mutex> guard(m_listedLock);
            ++m_listingPolls;
            for (const QJsonValue &group : reply.value("results").toObject())
                for (const QJsonValue &e : group.toArray())
                    m_listed[e["subpath"].toString()].insert(e["size"].toDouble());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the poller's pace
        }
    }

    QString m_dataset;
    std::atomic<bool> m_pollingPaused{false}, m_pollerResting{false};
    std::mutex m_savedLock;
    std::set<QByteArray> m_saved;  // guarded by m_savedLock
    std::mutex m_listedLock;
    std::map<QString, std::set<double>> m_listed;  // guarded by m_listedLock
    int m_listingPolls = 0;                        // guarded by m_listedLock
};

TEST_F(Soak, DaemonHoldsUnderLoadHostilePeersAndKills) {
    const Size size = QCoreApplication::arguments().contains("--short") ? kShort : kFull;
    const QByteArray sock = socketPath();

    // ZFS: a real pool where one can be had, else the stand-in.
    ZfsPool pool;
    QString zfsKind;
    if (pool.available()) {
        env.insert("PATH", QString::fromLocal8Bit(qgetenv("PATH")));
        ASSERT_TRUE(QDir().mkpath(path("/proc/self")));
        ASSERT_TRUE(QFile::link("/proc/self/mounts", path("/proc/self/mounts")));
        QString mountpoint;
        m_dataset = pool.createDataset("soak", &mountpoint);
        QByteArray random(kStreamBytes, '\0');
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
        ASSERT_TRUE(writeFile(mountpoint + "/random", random));
        zfsKind = "real (pool " + pool.name() + ")";
    } else {
        m_dataset = "tank/soak";
        ASSERT_EQ(run("zfs", {"create", m_dataset, "--size", QString::number(kStreamBytes)}), 0);
        zfsKind = "stand-in (" + pool.skipReason() + ")";
    }
    ASSERT_TRUE(writeFile(orvState + "/slow-pipe", "20"));
    ASSERT_TRUE(writeJson(path("/ovra/etc/qivclient/settings.json"), savedSettings("start")));
    ASSERT_TRUE(startAgent(kSerial));
    ASSERT_TRUE(up());
    std::atomic<bool> stopPolling{false};
    std::thread poller([&] { pollListings(stopPolling); });

    // Idle figures, once a first upload has run: its threads and the allocator's arenas are part of the idle daemon.
    ASSERT_NE(backupCaughtMidway(), 0);
    ASSERT_TRUE(waitUntil([&] { return snapshots().isEmpty(); }, 60000));
    // Each listing is a connection and a run of the tool in the daemon: the poller rests while figures are taken.
    const auto pausePolling = [&](bool pause) {
        m_pollingPaused = pause;
        if (pause)
            waitUntil([&] { return m_pollerResting.load(); });
        else
            m_pollerResting = false;  // so that the next pause waits for the poller to see it
    };
    pausePolling(true);
    const int idleThreads = entries(pid(), "task"), idleFds = entries(pid(), "fd");
    const qint64 idleKiB = statusKiB(pid(), "VmRSS");
    writeFile(QStringLiteral("/proc/%1/clear_refs").arg(pid()), "5");  // the peak counts from here
    pausePolling(false);

    // ---- the load, all at once ----
    Tally t;
    std::atomic<bool> loadDone{false};
    std::vector<HostileTally> hostile(hostileKinds().size());
    std::atomic<int> saves{0}, saveFailures{0}, loads{0}, loadFailures{0}, fileReads{0}, badFiles{0};
    std::atomic<int> toolKills{0};
    std::atomic<bool> savesDone{false};
    std::vector<std::thread> threads;
    std::promise<void> letGo;
    const std::shared_future<void> go = letGo.get_future().share();
    std::atomic<int> connected{0};
    for (int c = 0; c < size.clients; ++c)
        threads.emplace_back([&, c] { wellFormedClient(sock, c, size.requests, t, connected, go); });
    for (int h = 0; h < size.hostile; ++h)
        threads.emplace_back([&, h] {
            const Hostile &kind = hostileKinds()[size_t(h) % hostileKinds().size()];
            HostileTally &tally = hostile[size_t(h) % hostileKinds().size()];
            std::unique_ptr<Conn> conn;
            go.wait();
            do {
                if (!conn) conn = std::make_unique<Conn>(sock);
                const QString wrong = conn->fd < 0 ? QString("cannot connect") : kind.act(*conn, loadDone);
                conn.reset();
                ++tally.acts;
                if (wrong.isEmpty()) continue;
                ++tally.wrong;
                std::lock_guard<std::mutex> guard(tally.lock);
                if (tally.firstWrong.isEmpty()) tally.firstWrong = wrong;
            } while (!loadDone);
        });
    for (int w = 0; w < 8; ++w)
        threads.emplace_back([&, w] {
            go.wait();
            for (int k = 0; k < size.saveRounds; ++k) {
                ++saves;
                const QJsonObject reply = exchange(sock, {{"cmd", "qivclient_settingsave"},
                                                          {"params", savedSettings(QString("%1-%2").arg(w).arg(k))}});
                if (reply.value("err").toInt(-1) != 0) ++saveFailures;
            }
        });
    for (int r = 0; r < 4; ++r)
        threads.emplace_back([&] {
            go.wait();
            while (!savesDone) {
                ++loads;
                if (exchange(sock, {{"cmd", "qivclient_settingload"}}).value("err").toInt(-1) != 0) ++loadFailures;
                ++fileReads;
                if (!settingsFileIsASavedObject()) ++badFiles;
            }
        });
    int peakThreads = idleThreads, peakFds = idleFds;
    const auto sample = [&] {
        peakThreads = qMax(peakThreads, entries(pid(), "task"));
        peakFds = qMax(peakFds, entries(pid(), "fd"));
    };
    // Every client is served before the rest begins; the hostile peers and the settings' connections then meet the
    // daemon's connection bound.
    EXPECT_TRUE(waitUntil(
        [&] {
            sample();
            return connected == size.clients;
        },
        120000));
    letGo.set_value();
    std::thread uploads([&] {
        for (int k = 0; k < size.toolKills; ++k) {
            const qint64 tool = backupCaughtMidway();
            if (tool == 0 || ::kill(pid_t(tool), SIGKILL) != 0) continue;
            ++toolKills;
            waitUntil([&] { return snapshots().isEmpty(); }, 60000);
        }
    });

    const size_t firstHostile = size_t(size.clients), firstSaver = firstHostile + size_t(size.hostile);
    // Each client's waits are bounded (60 s per reply, 500 connection attempts), so is this.
    waitUntil(
        [&] {
            sample();
            return t.correct + t.wrong + t.closed + t.timedOut == size.clients * size.requests;
        },
        3600 * 1000);
    loadDone = true;
    uploads.join();
    for (size_t i = firstSaver; i < firstSaver + 8; ++i) threads[i].join();
    savesDone = true;
    for (std::thread &thread : threads)
        if (thread.joinable()) thread.join();
    EXPECT_EQ(daemon.state(), QProcess::Running) << "the daemon ended under load";

    // Back to idle: every connection gone, every upload done.
    pausePolling(true);
    const bool backToIdle = waitUntil(
        [&] {
            return entries(pid(), "task") <= idleThreads && entries(pid(), "fd") <= idleFds && snapshots().isEmpty();
        },
        60000);
    const int afterThreads = entries(pid(), "task"), afterFds = entries(pid(), "fd");
    const qint64 peakKiB = statusKiB(pid(), "VmHWM"), afterKiB = statusKiB(pid(), "VmRSS");
    const qint64 boundKiB = idleKiB + (kReadBudgetMiB + kMarginMiB) * 1024;

    // ---- CPU of idle connections ----
    std::vector<std::unique_ptr<Conn>> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<Conn>(sock));
        KP2RpcPacket p;
        idle.back()->send(datagram(wellFormed(i, 2).request));
        idle.back()->next(p);
    }
    const qint64 ticksBefore = cpuTicks(pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(size.idleMs));  // the interval measured, not a wait
    const qint64 idleTicks = cpuTicks(pid()) - ticksBefore;
    idle.clear();
    pausePolling(false);

    // ---- SIGKILL during a settings save, then a restart ----
    std::atomic<bool> daemonGone{false};
    std::vector<std::thread> savers;
    for (int w = 0; w < 8; ++w)
        savers.emplace_back([&, w] {
            for (int k = 0; !daemonGone; ++k)
                request(
                    socket(),
                    {{"cmd", "qivclient_settingsave"}, {"params", savedSettings(QString("kill-%1-%2").arg(w).arg(k))}},
                    5);
        });
    // A save's temporary file lives for a moment: the daemon is frozen, looked at, and let go again until one is
    // caught, then killed while frozen.
    bool caughtSaving = false;
    QElapsedTimer trying;
    trying.start();
    while (!caughtSaving && trying.elapsed() < 30000) {
        ::kill(pid_t(pid()), SIGSTOP);
        caughtSaving = waitUntil([&] { return frozen(pid()); }) && !settingsTemporaries().isEmpty();
        if (!caughtSaving) ::kill(pid_t(pid()), SIGCONT);
    }
    ::kill(pid_t(pid()), SIGKILL);
    ASSERT_TRUE(daemon.waitForFinished(10000));
    daemonGone = true;
    for (std::thread &saver : savers) saver.join();
    EXPECT_EQ(daemon.exitStatus(), QProcess::CrashExit);
    ASSERT_TRUE(up());
    const bool settingsKept = settingsFileIsASavedObject();
    const int temporariesLeft = settingsTemporaries().size();

    // ---- SIGKILL during an upload, then a restart that catches up ----
    const qint64 tool = backupCaughtMidway();
    ::kill(pid_t(pid()), SIGKILL);
    ASSERT_TRUE(daemon.waitForFinished(10000));
    const bool toolEnded = waitUntil([&] { return pipeProcess() == 0; });
    ASSERT_TRUE(up());
    QElapsedTimer caughtUp;
    caughtUp.start();
    const bool noSnapshots = waitUntil([&] { return snapshots().isEmpty(); }, 120000);
    const qint64 catchUpMs = caughtUp.elapsed();
    waitUntil([&] {  // a listing after the last upload
        std::lock_guard<std::mutex> guard(m_listedLock);
        return m_listingPolls > 0 && m_listed.size() > 0;
    });
    const int pollsBefore = m_listingPolls;
    waitUntil([&] {
        std::lock_guard<std::mutex> guard(m_listedLock);
        return m_listingPolls > pollsBefore + 2;
    });
    stopPolling = true;
    poller.join();
    // Every size an object was ever listed with is its size now: a partial object listed once would differ (or be
    // gone, removed as partial).
    int partialListed = 0;
    for (const auto &entry : m_listed)
        for (const double listedSize : entry.second)
            if (QFileInfo(objectFile(entry.first)).size() != qint64(listedSize)) {
                ++partialListed;
                std::printf("listed partial: %s with %.0f bytes, now %lld\n", qPrintable(entry.first), listedSize,
                            QFileInfo(objectFile(entry.first)).size());
            }

    // ---- figures ----
    const int sent = size.clients * size.requests;
    std::printf("\nsoak, %s form: %d connections x %d requests, %d hostile peers; ZFS %s\n", size.name, size.clients,
                size.requests, size.hostile, qPrintable(zfsKind));
    std::printf(
        "well-formed requests: %d sent, %d answered correctly, %d wrongly, %d unanswered (%d on a closed connection, "
        "%d "
        "timed out); %d connections with extra replies, %d not closed 35 s after their end; %d connections refused at "
        "the bound and tried again\n",
        sent, t.correct.load(), t.wrong.load(), t.closed + t.timedOut, t.closed.load(), t.timedOut.load(),
        t.extra.load(), t.notClosed.load(), g_refused.load());
    for (size_t k = 0; k < hostileKinds().size(); ++k)
        std::printf("hostile %-22s %6d acts, %d wrong %s\n", hostileKinds()[k].name, hostile[k].acts.load(),
                    hostile[k].wrong.load(), qPrintable(hostile[k].firstWrong));
    std::printf("settings: %d saves (%d failed), %d loads (%d failed), %d file reads (%d not a saved object)\n",
                saves.load(), saveFailures.load(), loads.load(), loadFailures.load(), fileReads.load(),
                badFiles.load());
    std::printf("upload tool killed mid-upload: %d of %d\n", toolKills.load(), size.toolKills);
    std::printf("threads: idle %d, peak %d, after %d; descriptors: idle %d, peak %d, after %d\n", idleThreads,
                peakThreads, afterThreads, idleFds, peakFds, afterFds);
    std::printf(
        "resident: idle %.1f MiB, peak %.1f MiB (bound idle + %lld + %lld = %.1f MiB), after %.1f MiB = %.2f x "
        "idle\n",
        idleKiB / 1024.0, peakKiB / 1024.0, kReadBudgetMiB, kMarginMiB, boundKiB / 1024.0, afterKiB / 1024.0,
        double(afterKiB) / double(idleKiB));
    std::printf("CPU while 100 connections idle %d ms: %lld ticks\n", size.idleMs, idleTicks);
    std::printf(
        "kill during a settings save: caught with a temporary file %s; after restart the file is %s, %d "
        "temporaries left\n",
        caughtSaving ? "yes" : "no", settingsKept ? "one saved object" : "NOT a saved object", temporariesLeft);
    std::printf(
        "kill during an upload: caught %s, tool ended with the daemon %s; caught up in %lld ms, %d snapshots "
        "left\n",
        tool ? "yes" : "no", toolEnded ? "yes" : "no", catchUpMs, int(snapshots().size()));
    std::printf("listings: %d polls, %d objects listed, %d listed partial\n\n", m_listingPolls, int(m_listed.size()),
                partialListed);

    EXPECT_EQ(t.correct, sent);
    EXPECT_EQ(t.extra + t.notClosed, 0);
    for (size_t k = 0; k < hostileKinds().size(); ++k)
        EXPECT_EQ(hostile[k].wrong, 0) << hostileKinds()[k].name << ": " << hostile[k].firstWrong.toStdString();
    EXPECT_EQ(saveFailures + loadFailures + badFiles, 0);
    EXPECT_EQ(toolKills, size.toolKills);
    EXPECT_TRUE(backToIdle) << "threads " << afterThreads << " > " << idleThreads << " or fds " << afterFds << " > "
                            << idleFds;
    if (!kSanitized) {
        EXPECT_LE(peakKiB, boundKiB);
    }
    EXPECT_LE(idleTicks, 2);
    EXPECT_TRUE(caughtSaving);
    EXPECT_TRUE(settingsKept);
    EXPECT_EQ(temporariesLeft, 0);
    EXPECT_NE(tool, 0);
    EXPECT_TRUE(toolEnded);
    EXPECT_TRUE(noSnapshots);
    EXPECT_EQ(partialListed, 0);

    // The daemon ends cleanly before the pool goes (a snapshot's destroy may still be running).
    daemon.terminate();
    EXPECT_TRUE(daemon.waitForFinished(20000));
    EXPECT_EQ(daemon.exitCode(), 0);
    if (HasFailure()) {  // a sanitizer's report from its start, else the end of the output
        const QByteArray log = readFile(root.filePath("daemon.log"));
        const int report = log.indexOf("WARNING: ");
        std::printf("the daemon's output:\n%s\n", (report >= 0 ? log.mid(report, 12000) : log.right(8000)).constData());
    }
}

}  // namespace
