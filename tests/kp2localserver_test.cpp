// The local RPC server over real sockets in a temporary directory: framing on a connection, reply order, journal
// reset between requests, closing of misbehaving peers, workers ending with their peers and with the server,
// start-up, and the localRequest client.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <memory>
#include <thread>
#include <vector>

#include "kp2localserver.h"
#include "kp2rpcpacket.h"
#include "kp2serverharness.h"

using harness::Peer;
using harness::ServerThread;

void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}
void PrintTo(const QJsonObject &o, std::ostream *os) {
    *os << QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

namespace {

QJsonObject cmd(const QString &name, const QJsonObject &params = QJsonObject()) {
    QJsonObject o{{"cmd", name}};
    if (!params.isEmpty()) o.insert("params", params);
    return o;
}

QByteArray datagram(const QJsonObject &o) {
    return KP2RpcPacket(o).toDatagram();
}

// A data datagram header announcing the given lengths, followed by nothing.
QByteArray header(quint32 jsonLength, quint32 attachmentLength) {
    QByteArray h = PACKET_MARK;
    h.append('\x01').append('\x01');
    h.append(reinterpret_cast<const char *>(&jsonLength), 4);
    h.append(reinterpret_cast<const char *>(&attachmentLength), 4);
    h.append("\xff\xff\xff", 3);
    return h;
}

int threadCount() {
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

class KP2LocalServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("rpc.sock"));
        m_server = std::make_unique<ServerThread>(m_path);
        ASSERT_TRUE(m_server->listening());
    }
    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<ServerThread> m_server;
};

}  // namespace

TEST_F(KP2LocalServerTest, TwoRequestsInOneWriteGetTwoRepliesInOrder) {
    Peer peer(m_path);
    ASSERT_TRUE(peer.write(datagram(cmd("echo", {{"n", 1}})) + datagram(cmd("echo", {{"n", 2}}))));
    EXPECT_EQ(peer.reply(), (QJsonObject{{"err", 0}, {"results", QJsonObject{{"n", 1}}}}));
    EXPECT_EQ(peer.reply(), (QJsonObject{{"err", 0}, {"results", QJsonObject{{"n", 2}}}}));
}

TEST_F(KP2LocalServerTest, ManyPipelinedRequestsAreAnsweredInOrder) {
    Peer peer(m_path);
    QByteArray burst;
    for (int i = 0; i < 500; ++i) burst += datagram(cmd("echo", {{"n", i}}));
    ASSERT_TRUE(peer.write(burst));
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(peer.reply().value("results").toObject().value("n").toInt(), i);
    }
}

TEST_F(KP2LocalServerTest, LargeRequestIsAnsweredWhole) {
    Peer peer(m_path);
    const QString big(3 * 1024 * 1024, QLatin1Char('x'));
    ASSERT_TRUE(peer.request(cmd("echo", {{"big", big}})));
    EXPECT_EQ(peer.reply().value("results").toObject().value("big").toString().size(), big.size());
}

TEST_F(KP2LocalServerTest, RequestSplitAcrossWritesIsAnsweredOnceAfterItsLastByte) {
    Peer peer(m_path);
    const QByteArray bytes = datagram(cmd("echo", {{"s", "split"}}));
    // Inside the mark, inside the header, inside the JSON text.
    for (const QByteArray &part : {bytes.left(2), bytes.mid(2, 8), bytes.mid(10, 10)}) {
        ASSERT_TRUE(peer.write(part));
        EXPECT_TRUE(peer.silentFor(30));
    }
    ASSERT_TRUE(peer.write(bytes.mid(20)));
    EXPECT_EQ(peer.reply(), (QJsonObject{{"err", 0}, {"results", QJsonObject{{"s", "split"}}}}));
    // Nothing else was queued: the next reply belongs to the next request.
    ASSERT_TRUE(peer.request(cmd("echo", {{"s", "next"}})));
    EXPECT_EQ(peer.reply().value("results").toObject().value("s").toString(), "next");
}

TEST_F(KP2LocalServerTest, KeepAliveAndEmptyObjectGetNoReply) {
    Peer peer(m_path);
    QByteArray bytes = KP2RpcPacket::keepAlive();
    bytes += header(2, 0) + "{}";
    bytes += header(2, 0) + "[]";  // valid JSON that is not an object reads as an empty object
    bytes += datagram(cmd("echo", {{"n", 1}}));
    bytes += KP2RpcPacket::keepAlive();
    bytes += datagram(cmd("echo", {{"n", 2}}));
    ASSERT_TRUE(peer.write(bytes));
    EXPECT_EQ(peer.reply().value("results").toObject().value("n").toInt(), 1);
    EXPECT_EQ(peer.reply().value("results").toObject().value("n").toInt(), 2);
    EXPECT_TRUE(peer.silentFor(30));
}

TEST_F(KP2LocalServerTest, UnknownOrEmptyCommandIsAnswered9885WithTheCommand) {
    Peer peer(m_path);
    const QString prefix = QStringLiteral("被调用的方法不存在: ");
    ASSERT_TRUE(peer.request(cmd("no_such_command")));
    EXPECT_EQ(peer.reply(), (QJsonObject{{"err", 9885}, {"errmsg", prefix + "no_such_command"}}));
    ASSERT_TRUE(peer.request(QJsonObject{{"params", QJsonObject{{"a", 1}}}}));
    EXPECT_EQ(peer.reply(), (QJsonObject{{"err", 9885}, {"errmsg", prefix}}));
}

TEST_F(KP2LocalServerTest, HelpOnFreshConnectionCarriesOnlyNothingReported) {
    Peer peer(m_path);
    ASSERT_TRUE(peer.request(QJsonObject{{"cmd", "help"}, {"help", 1}, {"seq", 7}}));
    EXPECT_EQ(peer.reply(), (QJsonObject{{"err", 9999}}));
}

TEST_F(KP2LocalServerTest, FailingCommandAfterSuccessIsNotAnsweredWithSuccess) {
    Peer peer(m_path);
    ASSERT_TRUE(peer.request(cmd("echo")));
    EXPECT_EQ(peer.reply().value("err").toInt(), 0);
    ASSERT_TRUE(peer.request(cmd("quiet")));
    EXPECT_EQ(peer.reply(), (QJsonObject{{"err", 9999}}));
    ASSERT_TRUE(peer.request(cmd("fail")));
    EXPECT_EQ(peer.reply(), (QJsonObject{{"err", 9995}, {"errmsg", "boom"}}));
    // The help answer shows the fresh journal too, not the previous failure.
    ASSERT_TRUE(peer.request(QJsonObject{{"cmd", "help"}, {"help", true}}));
    EXPECT_EQ(peer.reply(), (QJsonObject{{"err", 9999}}));
}

TEST_F(KP2LocalServerTest, ConnectionCabinetHoldsProtocol) {
    Peer peer(m_path);
    ASSERT_TRUE(peer.request(cmd("protocol")));
    EXPECT_EQ(peer.reply().value("results").toInt(), 128);
}

TEST_F(KP2LocalServerTest, MalformedPeerIsClosedWithoutDisturbingOthers) {
    Peer good(m_path);
    ASSERT_TRUE(good.request(cmd("echo", {{"n", 1}})));
    EXPECT_EQ(good.reply().value("err").toInt(), 0);

    struct Case {
        const char *what;
        QByteArray bytes;
        int replies;  // answered before the bad bytes
    } cases[] = {
        {"garbage", QByteArray("GET / HTTP/1.0\r\n\r\n"), 0},
        {"broken JSON", header(5, 0) + "{\"a\":", 0},
        {"request then garbage", datagram(cmd("echo")) + "garbage!", 1},
        {"announced size over the cap", header(KP2RpcPacket::MaxDatagramSize, 1), 0},
        {"lengths that wrap in 32 bits", header(0xFFFFFFF0u, 0x20u), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Peer bad(m_path);
        ASSERT_TRUE(bad.write(c.bytes));
        for (int i = 0; i < c.replies; ++i) {
            EXPECT_EQ(bad.reply().value("err").toInt(), 0);
        }
        EXPECT_TRUE(bad.closedByServer());
    }

    ASSERT_TRUE(good.request(cmd("echo", {{"n", 2}})));
    EXPECT_EQ(good.reply().value("results").toObject().value("n").toInt(), 2);
}

TEST_F(KP2LocalServerTest, PeerClosingEndsItsWorkerAndThousandConnectionsLeaveNoThreads) {
    const int baseline = threadCount();
    for (int round = 0; round < 10; ++round) {
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < 100; ++i) {
            peers.push_back(std::make_unique<Peer>(m_path));
            ASSERT_TRUE(peers.back()->request(cmd("echo", {{"n", i}})));
        }
        for (int i = 0; i < 100; ++i) {
            ASSERT_EQ(peers[size_t(i)]->reply().value("results").toObject().value("n").toInt(), i);
        }
        if (round == 0) {
            EXPECT_GE(threadCount(), baseline + 100);  // one worker per open connection
        }
    }
    EXPECT_TRUE(harness::waitFor([&] { return threadCount() <= baseline; })) << threadCount() << " vs " << baseline;
}

namespace {

// An echo request whose datagram is exactly size bytes long.
QByteArray datagramOfSize(int size) {
    const int frame = datagram(cmd("echo", {{"s", ""}})).size();
    return datagram(cmd("echo", {{"s", QString(size - frame, QLatin1Char('x'))}}));
}

}  // namespace

TEST(KP2LocalServerLimits, RequestOverTheSizeLimitIsClosedLikeMalformedInput) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rpc.sock"));
    const int limit = 8 * 1024;  // below one read's worth: a datagram over it can arrive whole
    ServerThread server(path, false, [&](KP2LocalServer &s) { s.setRequestLimit(limit); });
    ASSERT_TRUE(server.listening());
    struct Case {
        const char *what;
        QByteArray bytes;
        bool answered;
    } cases[] = {
        {"at the limit", datagramOfSize(limit), true},
        {"announced over the limit", header(limit - KP2RpcPacket::HeaderSize + 1, 0), false},
        {"over the limit and sent whole", datagramOfSize(limit + 1), false},
        {"two within the limit in one write", datagramOfSize(1000) + datagramOfSize(limit), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Peer peer(path);
        ASSERT_TRUE(peer.write(c.bytes));
        if (c.answered) {
            EXPECT_EQ(peer.reply().value("err").toInt(), 0);
        } else {
            EXPECT_TRUE(peer.closedByServer());
        }
    }
}

TEST(KP2LocalServerLimits, PeerThatWouldTakeTheReadMemoryOverItsLimitIsClosed) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rpc.sock"));
    ServerThread server(path, false, [](KP2LocalServer &s) { s.setReadMemoryLimit(600 * 1024); });
    ASSERT_TRUE(server.listening());
    const QByteArray big = datagramOfSize(500 * 1024);

    // The first peer holds a large request, all but its last byte: it keeps its share of the budget.
    Peer first(path);
    ASSERT_TRUE(first.write(big.left(big.size() - 1)));
    ASSERT_TRUE(harness::waitFor([&] { return server.readMemory() >= 400 * 1024; })) << server.readMemory();
    Peer second(path);
    second.write(big.left(32 * 1024));  // may fail once the server has closed
    EXPECT_TRUE(second.closedByServer());

    ASSERT_TRUE(first.write(big.right(1)));
    EXPECT_EQ(first.reply().value("err").toInt(), 0);
    // Once the first request is answered its memory is back, and the same request from another peer fits.
    ASSERT_TRUE(harness::waitFor([&] { return server.readMemory() == 0; })) << server.readMemory();
    Peer third(path);
    ASSERT_TRUE(third.write(big));
    EXPECT_EQ(third.reply().value("err").toInt(), 0);
}

TEST(KP2LocalServerLimits, ConnectionOverTheLimitIsClosedAtOnceAndOthersAreServed) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rpc.sock"));
    ServerThread server(path, false, [](KP2LocalServer &s) { s.setConnectionLimit(2); });
    ASSERT_TRUE(server.listening());
    Peer first(path);
    Peer second(path);
    for (Peer *peer : {&first, &second}) {
        ASSERT_TRUE(peer->request(cmd("echo")));
        EXPECT_EQ(peer->reply().value("err").toInt(), 0);
    }
    Peer third(path);
    EXPECT_TRUE(third.closedByServer());
    ASSERT_TRUE(first.request(cmd("echo")));
    EXPECT_EQ(first.reply().value("err").toInt(), 0);

    // A place that comes free is given to the next peer.
    second.close();
    EXPECT_TRUE(harness::waitFor([&] {
        Peer next(path);
        QJsonObject reply;
        return next.request(cmd("echo")) && next.reply(reply, 1000);
    }));
}

TEST_F(KP2LocalServerTest, DebuggingRepliesCarryElapsed) {
    const QString path = m_dir.filePath(QStringLiteral("debug.sock"));
    ServerThread server(path, true);
    ASSERT_TRUE(server.listening());
    Peer peer(path);
    ASSERT_TRUE(peer.request(cmd("echo")));
    const QJsonObject reply = peer.reply();
    EXPECT_EQ(reply.value("err").toInt(), 0);
    EXPECT_TRUE(reply.contains("elapsed"));
}

TEST_F(KP2LocalServerTest, DestroyingTheServerEndsIdleConnections) {
    Peer peer(m_path);
    ASSERT_TRUE(peer.request(cmd("echo")));
    EXPECT_EQ(peer.reply().value("err").toInt(), 0);
    m_server.reset();
    EXPECT_TRUE(peer.closedByServer());
}

TEST(KP2LocalServerStart, CreatesMissingDirectoriesReplacesStaleSocketAndOpensToAll) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("run/x/y/sock"));
    {
        ServerThread server(path);
        ASSERT_TRUE(server.listening());
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0777u);
    }

    // A socket file nobody listens on, as a crashed run leaves it.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray stale = QFile::encodeName(dir.filePath(QStringLiteral("stale.sock")));
    std::memcpy(addr.sun_path, stale.constData(), size_t(stale.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ::close(fd);
    ServerThread server(QString::fromLocal8Bit(stale));
    ASSERT_TRUE(server.listening());
    Peer peer(QString::fromLocal8Bit(stale));
    ASSERT_TRUE(peer.request(cmd("echo")));
    EXPECT_EQ(peer.reply().value("err").toInt(), 0);
}

TEST_F(KP2LocalServerTest, LocalRequestExchangesOneRequest) {
    QJsonObject reply;
    ASSERT_TRUE(KP2LocalServer::localRequest(m_path, cmd("echo", {{"k", "v"}}), &reply, 5));
    EXPECT_EQ(reply, (QJsonObject{{"err", 0}, {"results", QJsonObject{{"k", "v"}}}}));
}

TEST_F(KP2LocalServerTest, LocalRequestWithoutReplyReturnsOnceWritten) {
    QJsonObject untouched{{"x", 1}};
    EXPECT_TRUE(KP2LocalServer::localRequest(m_path, cmd("echo"), nullptr, 5));
    EXPECT_TRUE(KP2LocalServer::localRequest(m_path, cmd("echo"), &untouched, 0));
    EXPECT_EQ(untouched, (QJsonObject{{"x", 1}}));
}

TEST(KP2LocalServerRequest, UnreachableServerFails) {
    QTemporaryDir dir;
    QJsonObject reply{{"x", 1}};
    EXPECT_FALSE(KP2LocalServer::localRequest(dir.filePath("missing.sock"), cmd("echo"), &reply, 5));
    EXPECT_FALSE(KP2LocalServer::localRequest(dir.filePath("missing.sock"), cmd("echo"), nullptr, 0));
    EXPECT_EQ(reply, (QJsonObject{{"x", 1}}));
}

TEST(KP2LocalServerRequest, SilentOrMisbehavingServerFails) {
    QTemporaryDir dir;
    // A listening socket that nobody serves: the kernel completes connections on its own.
    const auto listener = [&](const QString &name) {
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(fd, 8), 0);
        return fd;
    };

    // Never answered: the timeout ends the wait.
    QJsonObject reply{{"x", 1}};
    const int silent = listener("silent.sock");
    EXPECT_FALSE(KP2LocalServer::localRequest(dir.filePath("silent.sock"), cmd("echo"), &reply, 1));
    ::close(silent);

    // Answered with bytes that are no datagram, or hung up on: fails at once rather than at the timeout.
    for (const QByteArray &answer : {QByteArray("not a datagram"), QByteArray()}) {
        const int fd = listener("bad.sock");
        std::thread server([&] {
            const int conn = ::accept(fd, nullptr, nullptr);
            char buf[256];
            ::recv(conn, buf, sizeof buf, 0);
            if (!answer.isEmpty()) ::send(conn, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL);
            ::close(conn);
        });
        QElapsedTimer clock;
        clock.start();
        EXPECT_FALSE(KP2LocalServer::localRequest(dir.filePath("bad.sock"), cmd("echo"), &reply, 60));
        EXPECT_LT(clock.elapsed(), 30000);
        server.join();
        ::close(fd);
        QFile::remove(dir.filePath("bad.sock"));
    }
    EXPECT_EQ(reply, (QJsonObject{{"x", 1}}));
}

#include "moc_kp2serverharness.cpp"
