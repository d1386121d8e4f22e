// The connection worker on its own, over real socket pairs: a dispatch callback stands in for the server. Covers
// how stop() ends a worker wherever it waits (in recv(), on a peer that does not read, inside a command on its own
// thread) and how a registry stops every worker, also those whose peers leave at the same moment.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QJsonObject>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "kp2cabinet.h"
#include "kp2localsocket.h"
#include "kp2rpcpacket.h"
#include "testsupport.h"

namespace {

int threadCount() {
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// The thread count to return to. A sanitizer runtime starts a helper thread of its own along with the first thread
// the program creates; one thread started and joined first puts that helper into the baseline.
int baselineThreadCount() {
    std::thread([] {}).join();
    return threadCount();
}

// A connected pair: worker() is handed to a KP2LocalSocket, peer() stays with the test.
class SocketPair {
public:
    SocketPair() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds), 0);
        // A worker that never answers or never closes fails the test instead of hanging it.
        const timeval limit{60, 0};
        ::setsockopt(m_fds[1], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~SocketPair() { closePeer(); }
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;

    quintptr worker() const { return quintptr(m_fds[0]); }
    int peer() const { return m_fds[1]; }
    void closePeer() {
        if (m_fds[1] >= 0) ::close(m_fds[1]);
        m_fds[1] = -1;
    }

    bool write(const QByteArray &bytes) {
        return ::send(peer(), bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    // The next reply datagram; false when the worker closes first or sends nothing for 60 s (a 64 MiB reply under a
    // sanitizer on a loaded machine takes seconds to build).
    bool reply(QJsonObject &out) {
        for (;;) {
            KP2RpcPacket packet;
            if (packet.fromDatagram(m_buffer) == KP2RpcPacket::Decoded) {
                out = packet;
                return true;
            }
            if (!fill()) return false;
        }
    }
    // True when the worker closes its end within 60 s of its last bytes; everything it sent is read and dropped.
    bool closedByWorker() {
        while (fill()) m_buffer.clear();
        return m_eof;
    }

private:
    bool fill() {
        char chunk[65536];
        const ssize_t n = ::recv(peer(), chunk, sizeof chunk, 0);
        if (n <= 0) {
            m_eof = n == 0;
            return false;
        }
        m_buffer.append(chunk, int(n));
        return true;
    }

    int m_fds[2] = {-1, -1};
    QByteArray m_buffer;
    bool m_eof = false;
};

QByteArray datagram(const QJsonObject &o) {
    return KP2RpcPacket(o).toDatagram();
}

const QJsonObject ECHO{{"cmd", "echo"}};

}  // namespace

TEST(KP2LocalSocket, StopEndsTheWorkerAndClosesTheConnection) {
    SocketPair pair;
    const int baseline = baselineThreadCount();
    auto *worker = new KP2LocalSocket(pair.worker(), {}, nullptr, nullptr);
    // Without a dispatch nothing answers: the reply reports that nothing was recorded.
    ASSERT_TRUE(pair.write(datagram(ECHO)));
    QJsonObject reply;
    ASSERT_TRUE(pair.reply(reply));
    EXPECT_EQ(reply, (QJsonObject{{"err", 9999}}));

    // The worker now waits in recv() for the next request.
    worker->stop();
    EXPECT_TRUE(pair.closedByWorker());
    EXPECT_TRUE(testsupport::waitUntil([&] { return threadCount() <= baseline; }));
}

TEST(KP2LocalSocket, StopEndsAWaitForAPeerThatDoesNotRead) {
    SocketPair pair;
    std::atomic<bool> dispatched{false};
    const auto big = [&](QJsonObject &reply, const QJsonObject &, KP2Cabinet *cabinet) {
        reply.insert("results", QString(8 * 1024 * 1024, QLatin1Char('x')));  // far more than a socket buffer
        cabinet->setErr(0, QString());
        dispatched = true;
    };
    auto *worker = new KP2LocalSocket(pair.worker(), big, nullptr, nullptr);
    ASSERT_TRUE(pair.write(datagram(ECHO)));
    // Once the first reply bytes are queued the worker is waiting, or about to wait, for room to send the rest.
    ASSERT_TRUE(testsupport::waitUntil([&] {
        int queued = 0;
        return dispatched && ::ioctl(pair.peer(), FIONREAD, &queued) == 0 && queued > 0;
    }));
    QElapsedTimer clock;
    clock.start();
    worker->stop();
    EXPECT_LT(clock.elapsed(), 15000);  // well before the 30 s a peer is given to take its reply
    EXPECT_TRUE(pair.closedByWorker());
}

TEST(KP2LocalSocket, StopFromACommandOnItsOwnConnectionAnswersItAndDispatchesNoMore) {
    SocketPair pair;
    std::atomic<KP2LocalSocket *> self{nullptr};
    std::atomic<int> calls{0};
    const auto stopSelf = [&](QJsonObject &, const QJsonObject &, KP2Cabinet *cabinet) {
        ++calls;
        self.load()->stop();  // returns at once: the worker cannot wait for itself
        cabinet->setErr(0, QString());
    };
    self = new KP2LocalSocket(pair.worker(), stopSelf, nullptr, nullptr);
    ASSERT_TRUE(pair.write(datagram(ECHO) + datagram(ECHO)));
    QJsonObject reply;
    ASSERT_TRUE(pair.reply(reply));
    EXPECT_EQ(reply, (QJsonObject{{"err", 0}}));
    EXPECT_TRUE(pair.closedByWorker());  // the second request, already buffered, is not answered
    EXPECT_EQ(calls, 1);
}

TEST(KP2LocalSocketRegistry, StopAllEndsEveryWorkerAlsoThoseWhosePeersLeaveMeanwhile) {
    const int baseline = baselineThreadCount();
    KP2LocalSocketRegistry registry;
    std::vector<std::unique_ptr<SocketPair>> pairs;
    for (int i = 0; i < 20; ++i) {
        pairs.push_back(std::make_unique<SocketPair>());
        new KP2LocalSocket(pairs.back()->worker(), {}, nullptr, &registry);
    }
    // Half the workers end on their own while the registry stops them all.
    for (size_t i = 0; i < pairs.size(); i += 2) pairs[i]->closePeer();
    registry.stopAll();
    for (size_t i = 1; i < pairs.size(); i += 2) {
        EXPECT_TRUE(pairs[i]->closedByWorker()) << i;
    }
    EXPECT_TRUE(testsupport::waitUntil([&] { return threadCount() <= baseline; }));
}

TEST(KP2LocalSocket, ReplyTooLargeToFrameIsAnswered9994AndTheConnectionGoesOn) {
    SocketPair pair;
    const auto answer = [](QJsonObject &reply, const QJsonObject &request, KP2Cabinet *cabinet) {
        if (request.contains("huge")) reply.insert("results", QString(int(KP2RpcPacket::MaxDatagramSize), 'x'));
        cabinet->setErr(0, QString());
    };
    new KP2LocalSocket(pair.worker(), answer, nullptr, nullptr);
    ASSERT_TRUE(pair.write(datagram({{"cmd", "echo"}, {"huge", true}}) + datagram(ECHO)));
    QJsonObject reply;
    ASSERT_TRUE(pair.reply(reply));
    EXPECT_EQ(reply, (QJsonObject{{"err", 9994}, {"errmsg", "返回数据过大"}}));
    ASSERT_TRUE(pair.reply(reply));
    EXPECT_EQ(reply, (QJsonObject{{"err", 0}}));
    pair.closePeer();
}
