// The local RPC server under load, side by side with a minimal poll() server that speaks the same framing and answers
// a fixed reply (minserver.c), so that the figures read as ratios on whatever machine runs them:
//   BM_RoundTrip    one request, one reply, on 1 and on 16 concurrent connections: round trips per second
//                   (items_per_second) and latency percentiles p50_us and p99_us
//   BM_Pipelined    N requests handed to the socket in one write, N replies read: per-request cost for growing N
//                   (a flat items_per_second means no quadratic slowdown)
//   BM_IdleCpu      100 idle connections for 10 s: CPU share of one core used by the whole process, and context
//                   switches per second
// cpu_us_per_req is the CPU time of the whole process (client and server) per request: unlike the wall-clock rates
// it holds up on a machine that is busy with other work.
// The first argument of each benchmark names the server: 0 the KP2LocalServer, 1 the minimal server.
// Run: build/bin/bench_rpc  (add --benchmark_filter=BM_IdleCpu etc. to pick)
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "kp2localserver.h"
#include "kp2rpcpacket.h"
#include "kp2todorouter.h"
#include "minserver.h"

namespace {

class PingRouter : public KP2TodoRouter {
    Q_OBJECT
public slots:
    void ping(QJsonObject *, QJsonObject, KP2Cabinet *envObject) { envObject->setErr(0, QString()); }
};

using Clock = std::chrono::steady_clock;

// CPU seconds used so far by the whole process: client threads and both servers. While one server is measured the
// other is idle, so the difference over a run is the cost of that exchange on both sides; it stays meaningful on a
// machine busy with other work, where wall-clock rates do not.
double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Both servers, each on a thread of its own, for the whole run.
class Servers {
public:
    Servers() {
        m_paths[0] = QFile::encodeName(m_dir.filePath(QStringLiteral("kp2.sock")));
        m_paths[1] = QFile::encodeName(m_dir.filePath(QStringLiteral("min.sock")));

        m_kp2 = std::thread([this] {
            QEventLoop loop;
            PingRouter router;
            KP2LocalServer server;
            server.add(&router);
            const bool ok = server.start(QString::fromLocal8Bit(m_paths[0]));
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_loop = ok ? &loop : nullptr;
                m_kp2Ready = true;
            }
            m_changed.notify_all();
            if (ok) loop.exec();
        });

        m_minListen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const sockaddr_un addr = address(1);
        ::bind(m_minListen, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
        ::listen(m_minListen, 1024);
        m_minStop = ::eventfd(0, EFD_CLOEXEC);
        m_min = std::thread([this] { minserver_run(m_minListen, m_minStop); });

        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [this] { return m_kp2Ready; });
    }
    ~Servers() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_loop) QMetaObject::invokeMethod(m_loop, "quit", Qt::QueuedConnection);
        }
        m_kp2.join();
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_minStop, &one, sizeof one);
        m_min.join();
        ::close(m_minListen);
        ::close(m_minStop);
    }

    sockaddr_un address(int server) const {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, m_paths[server].constData(), size_t(m_paths[server].size()));
        return addr;
    }

    // A blocking connection to the server, or -1.
    int connect(int server) const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un addr = address(server);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_paths[2];
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_kp2Ready = false;
    QEventLoop *m_loop = nullptr;
    std::thread m_kp2;
    int m_minListen = -1;
    int m_minStop = -1;
    std::thread m_min;
};

Servers *g_servers = nullptr;

const QByteArray &pingDatagram() {
    static const QByteArray bytes = KP2RpcPacket(QJsonObject{{"cmd", "ping"}}).toDatagram();
    return bytes;
}

// Reads until `count` complete reply datagrams have arrived; false when the connection ends first. The client only
// counts datagrams (by their headers), so its own cost is the same for both servers.
bool readReplies(int fd, QByteArray &buffer, long count) {
    char chunk[65536];
    long seen = 0;
    int offset = 0;
    while (seen < count) {
        while (buffer.size() - offset >= 16) {
            quint32 j, a;
            std::memcpy(&j, buffer.constData() + offset + 5, 4);
            std::memcpy(&a, buffer.constData() + offset + 9, 4);
            const int total = 16 + int(j) + int(a);
            if (buffer.size() - offset < total) break;
            offset += total;
            if (++seen == count) break;
        }
        if (seen == count) break;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer.append(chunk, int(n));
    }
    buffer.remove(0, offset);
    return true;
}

bool sendAll(int fd, const QByteArray &bytes) {
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// Latencies of all threads of one benchmark run, turned into percentiles by the thread that finishes last.
struct LatencyPool {
    std::mutex lock;
    std::vector<double> micros;
    std::atomic<int> finished{0};
    double cpuStart = 0;
    long total = 0;
} g_latency;

void BM_RoundTrip(benchmark::State &state) {
    const int server = int(state.range(0));
    if (state.thread_index() == 0) {
        g_latency.micros.clear();
        g_latency.finished = 0;
        g_latency.total = 0;
        g_latency.cpuStart = processCpuSeconds();
    }
    const int fd = g_servers->connect(server);
    if (fd < 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    const QByteArray &request = pingDatagram();
    QByteArray buffer;
    std::vector<double> mine;
    mine.reserve(1 << 16);
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!sendAll(fd, request) || !readReplies(fd, buffer, 1)) {
            state.SkipWithError("connection lost");
            break;
        }
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations());

    std::lock_guard<std::mutex> guard(g_latency.lock);
    g_latency.micros.insert(g_latency.micros.end(), mine.begin(), mine.end());
    g_latency.total += long(state.iterations());
    // Counters are summed over threads: only the last thread reports, with everyone's samples in.
    double p50 = 0, p99 = 0, cpu = 0;
    if (++g_latency.finished == state.threads() && !g_latency.micros.empty()) {
        std::vector<double> &all = g_latency.micros;
        std::sort(all.begin(), all.end());
        p50 = all[all.size() / 2];
        p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
        cpu = (processCpuSeconds() - g_latency.cpuStart) * 1e6 / double(g_latency.total);
    }
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    state.counters["cpu_us_per_req"] = cpu;
}
BENCHMARK(BM_RoundTrip)->ArgName("server")->Arg(0)->Arg(1)->Threads(1)->Threads(16)->UseRealTime();

void BM_Pipelined(benchmark::State &state) {
    const int server = int(state.range(0));
    const long count = long(state.range(1));
    const int fd = g_servers->connect(server);
    if (fd < 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    QByteArray burst;
    burst.reserve(int(count) * pingDatagram().size());
    for (long i = 0; i < count; ++i) burst += pingDatagram();
    QByteArray buffer;
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        // One write call with every request; the replies are read at the same time so neither side stalls on a full
        // socket buffer.
        std::thread writer([&] { sendAll(fd, burst); });
        const bool ok = readReplies(fd, buffer, count);
        writer.join();
        if (!ok) {
            state.SkipWithError("connection lost");
            break;
        }
    }
    state.counters["cpu_us_per_req"] =
        (processCpuSeconds() - cpuStart) * 1e6 / double(long(state.iterations()) * count);
    ::close(fd);
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_Pipelined)
    ->ArgNames({"server", "requests"})
    ->ArgsProduct({{0, 1}, {1000, 10000, 40000}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_IdleCpu(benchmark::State &state) {
    const int server = int(state.range(0));
    constexpr int CONNECTIONS = 100;
    constexpr int SECONDS = 10;
    std::vector<int> fds;
    for (int i = 0; i < CONNECTIONS; ++i) {
        const int fd = g_servers->connect(server);
        QByteArray buffer;
        if (fd < 0 || !sendAll(fd, pingDatagram()) || !readReplies(fd, buffer, 1)) {
            state.SkipWithError("cannot set up the idle connections");
            for (int open : fds) ::close(open);
            return;
        }
        fds.push_back(fd);
    }
    double cpuSeconds = 0;
    double switchesPerSecond = 0;
    for (auto _ : state) {
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        std::this_thread::sleep_for(std::chrono::seconds(SECONDS));
        ::getrusage(RUSAGE_SELF, &after);
        const auto seconds = [](const timeval &tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
        cpuSeconds =
            seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_stime);
        switchesPerSecond = double(after.ru_nvcsw - before.ru_nvcsw + after.ru_nivcsw - before.ru_nivcsw) / SECONDS;
    }
    for (int fd : fds) ::close(fd);
    state.counters["cpu_pct_of_core"] = cpuSeconds / SECONDS * 100;
    state.counters["ctx_switches_per_s"] = switchesPerSecond;
}
BENCHMARK(BM_IdleCpu)->ArgName("server")->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// Console output plus the round-trip rates, to print how the server compares with the minimal one: the median over
// repetitions (run with --benchmark_repetitions and --benchmark_enable_random_interleaving on a busy machine).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            const auto cpu = run.counters.find("cpu_pct_of_core");
            if (run.run_name.function_name == "BM_IdleCpu" && cpu != run.counters.end())
                idleCpu[run.run_name.args == "server:0" ? 0 : 1] = cpu->second.value;
            const auto rate = run.counters.find("items_per_second");
            if (run.run_name.function_name != "BM_RoundTrip" || rate == run.counters.end()) continue;
            // Single runs, or only the medians when the repetitions are reported as aggregates.
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration || median)
                rates[{run.run_name.args == "server:0" ? 0 : 1, int(run.threads)}].push_back(rate->second.value);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // Prints the ratio for one number of connections; false when measured and below goal.
    bool ratio(int connections, double goal) {
        const double ours = median(rates[{0, connections}]);
        const double minimal = median(rates[{1, connections}]);
        if (ours <= 0 || minimal <= 0) return true;
        const double r = ours / minimal;
        std::printf(
            "round trips on %d connection%s: KP2LocalServer %.1fk/s, minimal server %.1fk/s, ratio %.2f "
            "(goal >= %.1f): %s\n",
            connections, connections == 1 ? "" : "s", ours / 1000, minimal / 1000, r, goal,
            r >= goal ? "PASS" : "FAIL");
        return r >= goal;
    }

    // Prints what 100 idle connections cost; false when measured and above goal.
    bool idle(double goalPercent) const {
        const auto ours = idleCpu.find(0), minimal = idleCpu.find(1);
        if (ours == idleCpu.end() || minimal == idleCpu.end()) return true;
        const bool met = ours->second <= goalPercent;
        std::printf(
            "100 idle connections: KP2LocalServer %.2f%% of a core, minimal server %.2f%% (goal <= %.1f%%): %s\n",
            ours->second, minimal->second, goalPercent, met ? "PASS" : "FAIL");
        return met;
    }

private:
    static double median(std::vector<double> values) {
        if (values.empty()) return 0;
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    }
    std::map<std::pair<int, int>, std::vector<double>> rates;  // by (server, connections)
    std::map<int, double> idleCpu;                             // percent of a core, by server
};

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);  // the server's event loop thread needs an application object
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Servers servers;
    g_servers = &servers;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    g_servers = nullptr;
    const bool one = reporter.ratio(1, 0.8);
    const bool sixteen = reporter.ratio(16, 1.0);
    const bool idle = reporter.idle(1.0);
    return one && sixteen && idle ? 0 : 1;
}

#include "rpc.moc"
