#include "kp2worker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Every atomic here is sequentially consistent: the flags change a few times per work item, and the hand-over below
// needs a single order of the producer's and the worker's steps, which weaker orders would not give.
struct KP2Worker::State {
    std::function<bool()> body;
    std::function<bool()> hasWork;
    // Only the caller that changes it from clear to set may start a thread or go on with the body.
    std::atomic<bool> running{false};
    std::atomic<bool> stop{false};
    std::mutex lock;                  // guards threads; set and waited on with changed
    std::condition_variable changed;  // a stop was requested, or the last thread left
    int threads = 0;                  // threads started that have not yet made their last call to a callback
};

KP2Worker::KP2Worker(std::function<bool()> body, std::function<bool()> hasWork) : d(std::make_shared<State>()) {
    d->body = std::move(body);
    d->hasWork = std::move(hasWork);
}

KP2Worker::~KP2Worker() {
    stop();
}

bool KP2Worker::start() {
    // The starter withdraws the stop request, never the new thread: a thread that cleared it itself would wipe out a
    // stop asked for between its start and its first instruction, and then run, and be waited for, for ever.
    d->stop.store(false);
    // The producer's half of the hand-over (see run()): its work, published before this call, is ordered before its
    // look at the running flag.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    bool expected = false;
    if (!d->running.compare_exchange_strong(expected, true)) return false;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        ++d->threads;
    }
    // The thread holds the state, so that its last steps (the unlock and the notification) never touch freed memory
    // once stop() has returned and the worker is gone.
    std::thread(&KP2Worker::run, d).detach();
    return true;
}

void KP2Worker::run(const std::shared_ptr<State> &state) {
    State &s = *state;
    for (;;) {
        const bool ranOut = s.body();
        s.running.store(false);
        // A producer that published work after the body's last look, but before the flag went down, found the
        // flag set and started nothing. The two fences order each side's write before its read: either the
        // producer's compare-and-set sees the flag down and starts a thread, or this look sees its work, and then
        // this thread takes the work back unless that producer's thread has started meanwhile.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (!ranOut || s.stop.load() || !s.hasWork()) break;
        bool expected = false;
        if (!s.running.compare_exchange_strong(expected, true)) break;
    }
    std::lock_guard<std::mutex> guard(s.lock);
    if (--s.threads == 0) s.changed.notify_all();
}

bool KP2Worker::isRunning() const {
    return d->running.load();
}

void KP2Worker::requestStop() {
    {
        // Set under the lock, so that a waitForStop() between its check and its wait does not miss the notification.
        std::lock_guard<std::mutex> guard(d->lock);
        d->stop.store(true);
    }
    d->changed.notify_all();
}

bool KP2Worker::stopRequested() const {
    return d->stop.load();
}

bool KP2Worker::waitForStop(qint64 ms) {
    std::unique_lock<std::mutex> lock(d->lock);
    return d->changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return d->stop.load(); });
}

void KP2Worker::stop() {
    requestStop();
    std::unique_lock<std::mutex> lock(d->lock);
    // No limit: the body ends after its current item, and only its owner knows how long an item may take.
    d->changed.wait(lock, [this] { return d->threads == 0; });
}
