// KP2Worker with counters standing in for a queue: one body at a time under concurrent starts, work handed over as
// the body runs out, and stop() waiting for a body that is still busy.
#include "kp2worker.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "testsupport.h"

using testsupport::waitUntil;

namespace {

// Like waitUntil, but without a pause between looks, for conditions that turn true within microseconds.
bool spinUntil(const std::function<bool()> &done) {
    QElapsedTimer timer;
    timer.start();
    for (; !done(); std::this_thread::yield())
        if (timer.elapsed() > 10000) return false;
    return true;
}

TEST(KP2Worker, ConcurrentStartsRunOneBodyAtATimeAndLeaveNoWorkBehind) {
    constexpr int Producers = 4, PerProducer = 250;
    std::atomic<int> pending{0}, inside{0};
    std::atomic<bool> overlapped{false}, leftBehind{false};
    KP2Worker worker(
        [&] {
            if (inside.fetch_add(1) != 0) overlapped = true;
            while (pending.load() > 0) pending.fetch_sub(1);
            // The yields here and below widen the moments at which a second body could slip in and at which work
            // is handed over.
            std::this_thread::yield();
            inside.fetch_sub(1);
            std::this_thread::yield();
            return true;
        },
        [&] {
            std::this_thread::yield();
            return pending.load() > 0;
        });
    std::vector<std::thread> producers;
    for (int p = 0; p < Producers; ++p)
        producers.emplace_back([&] {
            for (int i = 0; i < PerProducer && !leftBehind.load(); ++i) {
                pending.fetch_add(1);
                worker.start();
                // Waits until the work is taken, so that the next push often meets a thread as it finishes.
                if (!spinUntil([&] { return pending.load() == 0; })) leftBehind = true;
            }
        });
    for (std::thread &t : producers) t.join();
    EXPECT_FALSE(leftBehind.load());
    EXPECT_FALSE(overlapped.load());
}

TEST(KP2Worker, WorkHandedOverAsTheBodyRunsOutIsNotLeftBehind) {
    std::atomic<int> queued{1}, runs{0}, lateStart{-1};
    KP2Worker worker(
        [&] {
            while (queued.load() > 0) queued.fetch_sub(1);
            // The late item arrives at the worst moment: the body has found the queue empty but the thread still
            // shows as running, so its producer starts no thread of its own.
            if (++runs == 1) {
                queued.fetch_add(1);
                lateStart = worker.start();
            }
            return true;
        },
        [&] { return queued.load() > 0; });
    ASSERT_TRUE(worker.start());
    EXPECT_TRUE(waitUntil([&] { return queued.load() == 0 && !worker.isRunning(); }));
    worker.stop();
    EXPECT_EQ(lateStart.load(), 0);
    EXPECT_EQ(runs.load(), 2);  // the same thread took the late item back
}

TEST(KP2Worker, StopWaitsForTheBodyAndALaterStartRunsItAgain) {
    std::atomic<int> runs{0}, finished{0};
    std::atomic<bool> release{false};
    KP2Worker worker(
        [&] {
            // The first body sees the stop request but, like an upload in progress, ends only when released.
            if (++runs == 1) {
                worker.waitForStop(60000);
                waitUntil([&] { return release.load(); }, 60000);
            }
            ++finished;
            return true;
        },
        [] { return false; });
    ASSERT_TRUE(worker.start());
    ASSERT_TRUE(waitUntil([&] { return runs.load() == 1; }));
    int finishedWhenStopped = -1;
    std::thread stopper([&] {
        worker.stop();
        finishedWhenStopped = finished.load();
    });
    EXPECT_TRUE(waitUntil([&] { return worker.stopRequested(); }));
    release = true;
    stopper.join();
    EXPECT_EQ(finishedWhenStopped, 1);

    ASSERT_TRUE(worker.start());
    EXPECT_FALSE(worker.stopRequested());
    EXPECT_TRUE(waitUntil([&] { return finished.load() == 2; }));
}

}  // namespace
