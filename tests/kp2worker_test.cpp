// KP2Worker with counters standing in for a queue: one body at a time under concurrent starts, work handed over as
// the body runs out, and stop() waiting for a body that is still busy.
#include "kp2worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "testsupport.h"

using testsupport::waitUntil;

namespace {

TEST(KP2Worker, ConcurrentStartsRunOneBodyAtATimeAndLeaveNoWorkBehind) {
    constexpr int Producers = 4, PerProducer = 2000;
    std::atomic<int> pending{0}, done{0}, inside{0};
    std::atomic<bool> overlapped{false};
    KP2Worker worker(
        [&] {
            if (inside.fetch_add(1) != 0) overlapped = true;
            for (; pending.load() > 0; std::this_thread::yield()) {
                pending.fetch_sub(1);
                done.fetch_add(1);
            }
            inside.fetch_sub(1);
            return true;
        },
        [&] { return pending.load() > 0; });
    std::vector<std::thread> producers;
    for (int p = 0; p < Producers; ++p)
        producers.emplace_back([&] {
            for (int i = 0; i < PerProducer; ++i) {
                pending.fetch_add(1);
                worker.start();
            }
        });
    for (std::thread &t : producers) t.join();
    EXPECT_TRUE(waitUntil([&] { return done.load() == Producers * PerProducer && !worker.isRunning(); }))
        << done.load() << " done, " << pending.load() << " pending";
    EXPECT_FALSE(overlapped.load());
}

TEST(KP2Worker, WorkHandedOverAsTheBodyRunsOutIsNotLeftBehind) {
    std::atomic<int> queued{1}, runs{0};
    std::atomic<int> lateStart{-1};
    KP2Worker worker(
        [&] {
            ++runs;
            while (queued.load() > 0) queued.fetch_sub(1);
            // The late item arrives at the worst moment: the body has found the queue empty but the thread still
            // shows as running, so its producer starts no thread of its own.
            if (runs.load() == 1) {
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
            const int run = ++runs;
            // The first body sees the stop request but, like an upload in progress, ends only when released.
            if (run == 1) {
                worker.waitForStop(60000);
                waitUntil([&] { return release.load(); }, 60000);
            }
            finished = run;
            return true;
        },
        [] { return false; });
    ASSERT_TRUE(worker.start());
    ASSERT_TRUE(waitUntil([&] { return runs.load() == 1; }));
    std::atomic<bool> stopped{false};
    int finishedWhenStopped = -1;
    std::thread stopper([&] {
        worker.stop();
        finishedWhenStopped = finished.load();
        stopped = true;
    });
    EXPECT_TRUE(waitUntil([&] { return worker.stopRequested(); }));
    EXPECT_FALSE(stopped.load());
    release = true;
    stopper.join();
    EXPECT_EQ(finishedWhenStopped, 1);
    EXPECT_FALSE(worker.isRunning());

    ASSERT_TRUE(worker.start());
    EXPECT_FALSE(worker.stopRequested());
    EXPECT_TRUE(waitUntil([&] { return finished.load() == 2 && !worker.isRunning(); }));
}

}  // namespace
