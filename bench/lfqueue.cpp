// Throughput of KP2LFQueue against a std::mutex + std::deque queue, four producers and one consumer, in one run.
// Each iteration starts the five threads, releases them together, and times until the consumer has taken every
// item. After the table the program prints, per payload, both throughputs and their ratio (lock-free / mutex).
// Usage: bench_lfqueue [--benchmark_repetitions=N ...]   (defaults: 4 x 250,000 items per iteration)

#include "kp2lfqueue.h"

#include <benchmark/benchmark.h>

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kProducers = 4;
constexpr long kItemsPerProducer = 250000;

// The usual locked queue, to show what the lock-free one costs or saves.
template <typename T>
class MutexQueue {
public:
    void push(const T &value) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(value);
    }
    bool pop(T &out) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_items.empty()) return false;
        out = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }

private:
    std::mutex m_mutex;
    std::deque<T> m_items;
};

template <typename T>
T makeItem(int producer);
template <>
quint64 makeItem<quint64>(int producer) {
    return quint64(producer);
}
// A snapshot-name-sized string; each producer pushes copies of its own, as the daemon's producers do.
template <>
QString makeItem<QString>(int producer) {
    return QStringLiteral("tank/data%1@qiv_20240101120000").arg(producer);
}

template <typename Queue, typename T>
void FourProducersOneConsumer(benchmark::State &state) {
    const long perProducer = state.range(0);
    const long total = perProducer * kProducers;
    for (auto _ : state) {
        Queue q;
        std::atomic<bool> go{false};
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&q, &go, p, perProducer] {
                const T item = makeItem<T>(p);
                while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
                for (long i = 0; i < perProducer; ++i) q.push(item);
            });
        }
        const auto start = std::chrono::steady_clock::now();
        go.store(true, std::memory_order_release);
        // The consumer is this thread; an empty queue makes it yield, the same for both queues.
        T out;
        for (long got = 0; got < total;) {
            if (q.pop(out))
                ++got;
            else
                std::this_thread::yield();
        }
        const auto end = std::chrono::steady_clock::now();
        for (std::thread &t : producers) t.join();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.SetItemsProcessed(state.iterations() * total);
}

BENCHMARK_TEMPLATE(FourProducersOneConsumer, KP2LFQueue<quint64>, quint64)
    ->Name("FourProducersOneConsumer/lockfree/quint64")
    ->Arg(kItemsPerProducer)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(FourProducersOneConsumer, MutexQueue<quint64>, quint64)
    ->Name("FourProducersOneConsumer/mutex/quint64")
    ->Arg(kItemsPerProducer)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(FourProducersOneConsumer, KP2LFQueue<QString>, QString)
    ->Name("FourProducersOneConsumer/lockfree/QString")
    ->Arg(kItemsPerProducer)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(FourProducersOneConsumer, MutexQueue<QString>, QString)
    ->Name("FourProducersOneConsumer/mutex/QString")
    ->Arg(kItemsPerProducer)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Prints the usual table and keeps items/s per queue and payload (the median when repetitions are asked for, else
// the last run) for the ratio lines at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const std::string name = run.run_name.function_name;  // e.g. FourProducersOneConsumer/mutex/QString
            const auto it = run.counters.find("items_per_second");
            if (it == run.counters.end()) continue;
            const std::size_t a = name.find('/'), b = name.rfind('/');
            if (a == std::string::npos || a == b) continue;
            const std::string queue = name.substr(a + 1, b - a - 1), payload = name.substr(b + 1);
            if (run.run_type == Run::RT_Aggregate || !m_haveMedian[payload + queue])
                m_rates[payload][queue] = it->second;
            if (run.run_type == Run::RT_Aggregate) m_haveMedian[payload + queue] = true;
        }
    }
    void printRatios() const {
        std::printf("\n%d producers, 1 consumer, %u hardware threads\n", kProducers,
                    std::thread::hardware_concurrency());
        for (const auto &[payload, rates] : m_rates) {
            const auto lf = rates.find("lockfree"), mx = rates.find("mutex");
            if (lf == rates.end() || mx == rates.end()) continue;
            std::printf("%-8s lock-free %.2f M items/s, mutex+deque %.2f M items/s, ratio %.2f\n", payload.c_str(),
                        lf->second / 1e6, mx->second / 1e6, lf->second / mx->second);
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> m_rates;
    std::map<std::string, bool> m_haveMedian;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
