// Resident memory of the local RPC server around a burst of large requests: idle, at the peak of the burst, right
// after it (all answered, connections still open), and once the burst has ended (connections closed, workers gone),
// round after round. The server runs in this process with the daemon's limits unless told otherwise; the clients
// are threads of this process too, sharing one request buffer that exists before the idle figure is taken. The
// last column is the ratio of resident memory once the burst has ended to the idle figure.
//
//   bench_burst [--connections N] [--size BYTES] [--rounds N] [--read-memory BYTES] [--no-trim]
//
// --read-memory 0 lifts the bound on the memory of requests being read, so that every request of the burst is
// read at once; --no-trim keeps the allocator's freed memory in the process, for the comparison.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "kp2linux/lnx2socketio.h"
#include "kp2localserver.h"
#include "kp2rpcpacket.h"

namespace {

// As the daemon sets them (qivclient/appdata.cpp).
constexpr quint32 DAEMON_REQUEST_LIMIT = 4 * 1024 * 1024;
constexpr qint64 DAEMON_READ_MEMORY = 32 * 1024 * 1024;
// Resident memory once the last burst has ended, as a multiple of the idle figure (untrimmed: 8 to 14).
constexpr double ENDED_GOAL = 1.5;

// A line of /proc/self/status in KiB, e.g. "VmRSS".
qint64 statusKiB(const char *key) {
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly)) return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(prefix)) return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts the peak anew (VmHWM), so that each round reports its own.
void resetPeak() {
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    if (file.open(QIODevice::WriteOnly)) file.write("5");
}

int threadCount() {
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

double mib(qint64 kib) {
    return double(kib) / 1024.0;
}

// The server on a thread of its own with an event loop to accept; no router, so every request is read, decoded and
// answered "unknown command".
class Server {
public:
    Server(const QString &path, qint64 readMemory, bool trim) : m_thread([=] { run(path, readMemory, trim); }) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [this] { return m_ready; });
    }
    ~Server() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_loop) QMetaObject::invokeMethod(m_loop, "quit", Qt::QueuedConnection);
        }
        m_thread.join();
    }
    bool listening() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_loop != nullptr;
    }

private:
    void run(const QString &path, qint64 readMemory, bool trim) {
        QEventLoop loop;
        KP2LocalServer server;
        server.setRequestLimit(DAEMON_REQUEST_LIMIT);
        server.setReadMemoryLimit(readMemory);
        if (!trim) server.setTrimThreshold(0);
        const bool ok = server.start(path);
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_ready = true;
            if (ok) m_loop = &loop;
        }
        m_changed.notify_all();
        if (ok) loop.exec();
        std::lock_guard<std::mutex> guard(m_lock);
        m_loop = nullptr;
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_ready = false;
    QEventLoop *m_loop = nullptr;  // guarded by m_lock
    std::thread m_thread;
};

struct Round {
    int answered = 0;
    int refused = 0;
    qint64 peakKiB = 0;
    qint64 afterKiB = 0;  // all answered, connections open
    qint64 endedKiB = 0;  // connections closed, workers gone
};

Round burst(const QByteArray &path, const QByteArray &request, int connections, int baselineThreads) {
    Round round;
    std::atomic<int> answered{0};
    std::atomic<int> done{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> clients;
    resetPeak();
    for (int i = 0; i < connections; ++i) {
        clients.emplace_back([&] {
            const int fd = lnx2ConnectWithin(path, QDeadlineTimer(10000));
            KP2RpcPacket reply;
            if (fd >= 0 && lnx2SendAll(fd, request, QDeadlineTimer(60000)) &&
                Lnx2DatagramReader().next(fd, reply, QDeadlineTimer(60000)) == Lnx2DatagramReader::Packet) {
                ++answered;
            }
            ++done;
            // Connections stay open until the figure after the burst is taken.
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (fd >= 0) lnx2Close(fd);
        });
    }
    // Each client gives up within 130 s at the latest.
    while (done < connections) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    round.afterKiB = statusKiB("VmRSS");
    round.peakKiB = statusKiB("VmHWM");
    release = true;
    for (std::thread &client : clients) client.join();
    // The workers end as their peers go; a worker that is slow to notice is given 10 s.
    for (int i = 0; i < 10000 && threadCount() > baselineThreads; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    round.endedKiB = statusKiB("VmRSS");
    round.answered = answered;
    round.refused = connections - answered;
    return round;
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption connectionsOption("connections", "Connections in one burst.", "N", "100");
    const QCommandLineOption sizeOption("size", "Bytes of each request datagram.", "BYTES",
                                        QString::number(DAEMON_REQUEST_LIMIT - 1024));
    const QCommandLineOption roundsOption("rounds", "Bursts one after the other.", "N", "3");
    const QCommandLineOption readMemoryOption("read-memory", "Bound on the memory of requests being read; 0: none.",
                                              "BYTES", QString::number(DAEMON_READ_MEMORY));
    const QCommandLineOption noTrimOption("no-trim", "Keep freed memory in the process after large requests.");
    parser.addOptions({connectionsOption, sizeOption, roundsOption, readMemoryOption, noTrimOption});
    parser.process(app);
    const int connections = parser.value(connectionsOption).toInt();
    const int size = parser.value(sizeOption).toInt();
    const int rounds = parser.value(roundsOption).toInt();
    const qint64 readMemory = parser.value(readMemoryOption).toLongLong();
    const bool trim = !parser.isSet(noTrimOption);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("burst.sock"));
    // Made before the idle figure: the clients share it, so it is not part of what the burst costs.
    const int frame = KP2RpcPacket(QJsonObject{{"cmd", "burst"}, {"data", ""}}).toDatagram().size();
    const QByteArray request =
        KP2RpcPacket(QJsonObject{{"cmd", "burst"}, {"data", QString(qMax(0, size - frame), QLatin1Char('x'))}})
            .toDatagram();

    Server server(path, readMemory, trim);
    if (!server.listening()) {
        std::fprintf(stderr, "bench_burst: cannot listen on %s\n", qPrintable(path));
        return 1;
    }
    const int baselineThreads = threadCount();
    // Building the request left its temporaries in the allocator; they are no part of the idle server.
    lnx2ReturnFreeMemory();
    const qint64 idleKiB = statusKiB("VmRSS");
    std::printf("burst: %d connections x %d bytes, %d rounds, read memory bound %lld bytes, trimming %s\n", connections,
                request.size(), rounds, readMemory, trim ? "on" : "off");
    std::printf("idle resident: %.1f MiB\n", mib(idleKiB));
    std::printf("%5s %8s %8s %10s %14s %14s %12s\n", "round", "answered", "refused", "peak MiB", "after MiB",
                "ended MiB", "ended/idle");
    double ratio = 0;
    for (int i = 1; i <= rounds; ++i) {
        const Round r = burst(QFile::encodeName(path), request, connections, baselineThreads);
        ratio = double(r.endedKiB) / double(idleKiB);
        std::printf("%5d %8d %8d %10.1f %14.1f %14.1f %12.2f\n", i, r.answered, r.refused, mib(r.peakKiB),
                    mib(r.afterKiB), mib(r.endedKiB), ratio);
    }
    // A daemon attacked once should not keep what the attack took: after the last burst it is back near idle.
    if (!trim) {
        std::printf("resident after the last burst, ratio %.2f to idle (allocator not trimmed, for comparison)\n",
                    ratio);
        return 0;
    }
    const bool met = ratio <= ENDED_GOAL;
    std::printf("resident after the last burst, ratio %.2f to idle (goal <= %.1f): %s\n", ratio, ENDED_GOAL,
                met ? "PASS" : "FAIL");
    return met ? 0 : 1;
}
