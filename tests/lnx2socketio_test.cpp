// The byte-level socket helpers over real socket pairs: how a datagram read ends with a deadline, and the deadline
// of a write to a peer that does not read. (Framing on a live connection is covered by the server's tests.)
#include "kp2linux/lnx2socketio.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonObject>
#include <thread>

#include "kp2rpcpacket.h"

namespace {

struct Pair {
    Pair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
    ~Pair() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    int fds[2] = {-1, -1};
};

}  // namespace

TEST(Lnx2DatagramReader, EndsWithTheRightResult) {
    const QByteArray request = KP2RpcPacket(QJsonObject{{"cmd", "x"}}).toDatagram();
    struct Row {
        const char *name;
        QByteArray sent;
        bool closeAfter;
        Lnx2DatagramReader::Result expected;
    } rows[] = {
        {"nothing arrives before the deadline", QByteArray(), false, Lnx2DatagramReader::TimedOut},
        {"half a datagram, then silence", request.left(20), false, Lnx2DatagramReader::TimedOut},
        {"half a datagram, then the peer closes", request.left(20), true, Lnx2DatagramReader::Closed},
        {"bytes that are no datagram", QByteArray("no datagram"), false, Lnx2DatagramReader::Malformed},
        {"keep-alive and empty object skipped", KP2RpcPacket::keepAlive() + KP2RpcPacket().toDatagram() + request,
         false, Lnx2DatagramReader::Packet},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Pair pair;
        ASSERT_EQ(::send(pair.fds[1], row.sent.constData(), size_t(row.sent.size()), 0), row.sent.size());
        if (row.closeAfter) ::shutdown(pair.fds[1], SHUT_WR);
        KP2RpcPacket packet;
        EXPECT_EQ(Lnx2DatagramReader().next(pair.fds[0], packet, QDeadlineTimer(50)), row.expected);
        if (row.expected == Lnx2DatagramReader::Packet) {
            EXPECT_EQ(QJsonObject(packet), (QJsonObject{{"cmd", "x"}}));
        }
    }
}

TEST(Lnx2SendAll, WritesEverythingToAReadingPeerAndGivesUpOnOneThatDoesNot) {
    const QByteArray bytes(8 * 1024 * 1024, 'x');  // far more than a socket buffer
    {
        Pair pair;
        QByteArray received;
        std::thread reader([&] {
            char chunk[65536];
            ssize_t n;
            while ((n = ::recv(pair.fds[1], chunk, sizeof chunk, 0)) > 0) received.append(chunk, int(n));
        });
        EXPECT_TRUE(lnx2SendAll(pair.fds[0], bytes, QDeadlineTimer(QDeadlineTimer::Forever)));
        ::shutdown(pair.fds[0], SHUT_WR);
        reader.join();
        EXPECT_EQ(received, bytes);
    }
    {
        Pair pair;
        EXPECT_FALSE(lnx2SendAll(pair.fds[0], bytes, QDeadlineTimer(50)));
        // Once the deadline has passed only what fits at once is written: nothing, into a full buffer.
        EXPECT_FALSE(lnx2SendAll(pair.fds[0], QByteArray("y"), QDeadlineTimer(0)));
    }
}
