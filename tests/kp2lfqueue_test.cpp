#include "kp2lfqueue.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define QIV_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define QIV_SANITIZED 1
#endif
#endif

// Live operator-new blocks of this process, to see whether nodes that left a queue are freed while the queue lives.
// The sanitizer runtimes bring their own operator new, so there the count is not kept.
static std::atomic<long> g_liveBlocks{0};
#ifndef QIV_SANITIZED
static void *countedAlloc(std::size_t size, std::size_t align) {
    void *p = nullptr;
    if (posix_memalign(&p, std::max(align, sizeof(void *)), size ? size : 1) != 0) throw std::bad_alloc();
    g_liveBlocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}
static void countedFree(void *p) {
    if (!p) return;
    g_liveBlocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}
void *operator new(std::size_t size) {
    return countedAlloc(size, alignof(std::max_align_t));
}
void *operator new(std::size_t size, std::align_val_t align) {
    return countedAlloc(size, std::size_t(align));
}
void operator delete(void *p) noexcept {
    countedFree(p);
}
void operator delete(void *p, std::size_t) noexcept {
    countedFree(p);
}
void operator delete(void *p, std::align_val_t) noexcept {
    countedFree(p);
}
void operator delete(void *p, std::size_t, std::align_val_t) noexcept {
    countedFree(p);
}
#endif

namespace {

#ifdef QIV_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Items per producer in the stress tests: QIV_LFQUEUE_ITEMS when set (for quick local runs), else 1,000,000.
long itemsPerProducer() {
    if (const char *env = std::getenv("QIV_LFQUEUE_ITEMS")) {
        const long n = std::atol(env);
        if (n > 0) return n;
    }
    return 1000000;
}

// Counts its live instances, so that a test sees whether the queue destroys every value it copied.
struct Counted {
    static std::atomic<int> live;
    int v = 0;
    Counted() { live.fetch_add(1); }
    explicit Counted(int x) : v(x) { live.fetch_add(1); }
    Counted(const Counted &o) : v(o.v) { live.fetch_add(1); }
    Counted(Counted &&o) noexcept : v(o.v) { live.fetch_add(1); }
    Counted &operator=(const Counted &) = default;
    Counted &operator=(Counted &&) = default;
    ~Counted() { live.fetch_sub(1); }
};
std::atomic<int> Counted::live{0};

// A value wider than a pointer and copied field by field, unlike the reference-counted Qt values.
struct Wide {
    quint64 code = 0;
    quint64 pad[4] = {};
};

// Encodes producer p's item i; producers are numbered below 256.
quint64 encode(int p, long i) {
    return (quint64(p) << 48) | quint64(i);
}

// Runs `producers` threads that each push n encoded items (as T, through toT) and `consumers`
// threads that pop until every item has been seen. Checks that no item is lost or seen twice, that each consumer
// sees each producer's items in increasing order, and that count() ends at 0.
template <typename T, typename ToT, typename FromT>
void runStress(int producers, int consumers, long n, ToT toT, FromT fromT) {
    const long total = n * producers;
    KP2LFQueue<T> q;
    std::atomic<long> popped{0};
    std::vector<std::vector<int>> seenBy(consumers, std::vector<int>(total, 0));
    std::vector<int> orderFaults(consumers, 0);

    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([&, c] {
            std::vector<long> last(producers, -1);
            std::vector<int> &seen = seenBy[c];
            T item;
            while (popped.load(std::memory_order_relaxed) < total) {
                if (!q.pop(item)) {
                    std::this_thread::yield();
                    continue;
                }
                popped.fetch_add(1, std::memory_order_relaxed);
                const quint64 code = fromT(item);
                const int p = int(code >> 48);
                const long i = long(code & 0xffffffffffffULL);
                if (p >= producers || i >= n) {
                    ++orderFaults[c];
                    continue;
                }
                if (i <= last[p]) ++orderFaults[c];
                last[p] = i;
                ++seen[p * n + i];
            }
        });
    }
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (long i = 0; i < n; ++i) q.push(toT(encode(p, i)));
        });
    }
    for (std::thread &t : threads) t.join();

    long lost = 0, duplicated = 0;
    for (long k = 0; k < total; ++k) {
        int hits = 0;
        for (int c = 0; c < consumers; ++c) hits += seenBy[c][k];
        if (hits == 0) ++lost;
        if (hits > 1) duplicated += hits - 1;
    }
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(duplicated, 0);
    for (int c = 0; c < consumers; ++c) EXPECT_EQ(orderFaults[c], 0) << "consumer " << c;
    EXPECT_EQ(popped.load(), total);
    EXPECT_EQ(q.count(), 0);
    T rest;
    EXPECT_FALSE(q.pop(rest));
}

}  // namespace

TEST(KP2LFQueue, PopOnNewQueueReportsEmptyAndLeavesValueUntouched) {
    KP2LFQueue<QString> q;
    QString out = QStringLiteral("unchanged");
    EXPECT_FALSE(q.pop(out));
    EXPECT_EQ(out, QStringLiteral("unchanged"));
    EXPECT_EQ(q.count(), 0);
    EXPECT_FALSE(q.isClosed());
}

TEST(KP2LFQueue, OneThreadPopsInPushOrderAndCountFollows) {
    KP2LFQueue<QString> q;
    for (int i = 0; i < 1000; ++i) {
        q.push(QString::number(i));
        ASSERT_EQ(q.count(), i + 1);
    }
    QString out;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(q.pop(out));
        ASSERT_EQ(out, QString::number(i));
        ASSERT_EQ(q.count(), 999 - i);
    }
    EXPECT_FALSE(q.pop(out));
    EXPECT_EQ(out, QStringLiteral("999"));
    // Drained and refilled: the sentinel handling does not lose or repeat the boundary item.
    q.push(QStringLiteral("again"));
    ASSERT_TRUE(q.pop(out));
    EXPECT_EQ(out, QStringLiteral("again"));
}

TEST(KP2LFQueue, ValueTypesOfTheFrameworkRoundTrip) {
    KP2LFQueue<QByteArray> bytes;
    const QByteArray line("2024-01-01 12:00:00 backup started\n");
    bytes.push(line);
    QByteArray gotBytes;
    ASSERT_TRUE(bytes.pop(gotBytes));
    EXPECT_EQ(gotBytes, line);

    KP2LFQueue<QJsonObject> tasks;
    const QJsonObject task{{"url", "myorvane/bucket1/SN1/tank/data"}, {"path", "/tmp/x"}, {"size", 42}};
    tasks.push(task);
    QJsonObject gotTask;
    ASSERT_TRUE(tasks.pop(gotTask));
    EXPECT_EQ(gotTask, task);

    // The caller's copy and the popped value are independent (the queue kept no shared reference behind).
    KP2LFQueue<QString> names;
    QString name = QStringLiteral("tank/data@qiv_20240101120000");
    names.push(name);
    name.append(QStringLiteral("-changed"));
    QString gotName;
    ASSERT_TRUE(names.pop(gotName));
    EXPECT_EQ(gotName, QStringLiteral("tank/data@qiv_20240101120000"));
}

TEST(KP2LFQueue, DestructionDestroysEveryValueStillQueued) {
    ASSERT_EQ(Counted::live.load(), 0);
    {
        KP2LFQueue<Counted> q;
        for (int i = 0; i < 1000; ++i) q.push(Counted(i));
        Counted out;
        for (int i = 0; i < 300; ++i) {
            ASSERT_TRUE(q.pop(out));
            ASSERT_EQ(out.v, i);
        }
        EXPECT_EQ(q.count(), 700);
        // Left alive: `out` and the 700 queued values; popped values were destroyed inside the queue.
        EXPECT_EQ(Counted::live.load(), 701);
    }
    EXPECT_EQ(Counted::live.load(), 0);
    // The sanitizer builds' leak checker also sees any node the destructor missed.
}

TEST(KP2LFQueue, NodesThatLeaveTheQueueAreFreedWhileItLives) {
    if (kSanitized) GTEST_SKIP() << "operator new is the sanitizer's here";
    KP2LFQueue<QString> q;
    QString out;
    q.push(QStringLiteral("warm-up"));  // this thread's bookkeeping is allocated once, before the baseline
    ASSERT_TRUE(q.pop(out));
    const long base = g_liveBlocks.load();
    long peak = 0;
    // A long-lived daemon pushes and pops forever: the memory held must not grow with the number of items that
    // ever passed through. What may stay is a bounded number of nodes waiting for the next scan of the hazards.
    for (int round = 0; round < 10000; ++round) {
        for (int i = 0; i < 10; ++i) q.push(QStringLiteral("x"));
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(q.pop(out));
        peak = std::max(peak, g_liveBlocks.load() - base);
    }
    EXPECT_LE(peak, 100) << "blocks held after 100000 items passed through";
}

TEST(KP2LFQueue, ShortLivedProducerThreadsLoseNothing) {
    // Connection workers push an item or two and end; their per-thread state must be handed back intact.
    KP2LFQueue<QByteArray> q;
    for (int round = 0; round < 50; ++round) {
        std::vector<std::thread> producers;
        for (int p = 0; p < 4; ++p)
            producers.emplace_back([&q, round, p] {
                for (int i = 0; i < 3; ++i) q.push(QByteArray::number(round * 100 + p * 10 + i));
            });
        for (std::thread &t : producers) t.join();
    }
    EXPECT_EQ(q.count(), 50 * 4 * 3);
    std::vector<int> seen(5000, 0);
    QByteArray out;
    while (q.pop(out)) ++seen[out.toInt()];
    int total = 0, repeated = 0;
    for (int hits : seen) {
        total += hits;
        if (hits > 1) ++repeated;
    }
    EXPECT_EQ(total, 50 * 4 * 3);
    EXPECT_EQ(repeated, 0);
    EXPECT_EQ(q.count(), 0);
}

TEST(KP2LFQueue, FourProducersOneConsumerLoseAndRepeatNothingInProducerOrder) {
    runStress<quint64>(
        4, 1, itemsPerProducer(), [](quint64 code) { return code; }, [](quint64 v) { return v; });
}

TEST(KP2LFQueue, TwoProducersTwoConsumersOfStringsLoseAndRepeatNothing) {
    // Reference-counted values popped by competing consumers: the case where reading a value from a node that a
    // faster consumer already freed would show up under the sanitizers.
    runStress<QString>(
        2, 2, itemsPerProducer(), [](quint64 code) { return QString::number(code); },
        [](const QString &s) { return s.toULongLong(); });
}

TEST(KP2LFQueue, TwoProducersTwoConsumersOfWideValuesLoseAndRepeatNothing) {
    runStress<Wide>(
        2, 2, itemsPerProducer() / 4,
        [](quint64 code) {
            return Wide{code, {}};
        },
        [](const Wide &w) { return w.code; });
}

TEST(KP2LFQueue, ConcurrentPushesAreAllCounted) {
    KP2LFQueue<int> q;
    const int perThread = 10000;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < perThread; ++i) q.push(i);
        });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(q.count(), 4 * perThread);
}
