// KP2Worker: runs one kind of background work, such as draining a queue, on at most one thread at a time. Producers
// hand work over by calling start(); the body runs until it finds no more work. Work handed over while the thread is
// finishing is never left behind: either that start() starts a new thread, or the finishing one goes on with it.
// The owner can ask the body to stop and wait until no thread of the worker is left.
// Thread-safe: every method may be called from any thread, the worker's own included. The threads are detached: a
// process may end while one runs. The worker does not own what its callbacks reach; the destructor stops the worker
// and waits for it, so the owner destroys the worker (or calls stop()) before anything the callbacks use.
#pragma once

#include <QtGlobal>
#include <functional>
#include <memory>

class KP2Worker {
public:
    // body runs on the worker's thread. It returns true when it has run out of work, and the worker then looks for
    // work that arrived meanwhile; false when it gives up and leaves the rest for the thread of a later start(). It
    // checks stopRequested() between work items.
    // hasWork tells whether work is waiting. The worker calls it after its thread has cleared the running flag, and
    // it must see the work that a producer published before its start() (a push onto KP2LFQueue does, and so does
    // anything written under a lock that hasWork also takes).
    KP2Worker(std::function<bool()> body, std::function<bool()> hasWork);
    // stop().
    ~KP2Worker();

    // Withdraws a pending stop request, then starts a detached thread that runs the body unless one is running.
    // True when this call started it. Never blocks.
    bool start();
    // The running flag: set by the start() that starts a thread, clear once its body has run out of work or given up.
    bool isRunning() const;

    // Asks the body to end: stopRequested() turns true and waitForStop() returns. Does not wait.
    void requestStop();
    bool stopRequested() const;
    // Blocks the caller for up to ms milliseconds, less when a stop is requested. True when one is.
    bool waitForStop(qint64 ms);
    // requestStop(), then waits until no thread of the worker runs any more, not even its last look for work. The wait
    // has no limit of its own: the body finishes the item it is working on first.
    // REQUIRES: no start() from another thread while it waits (such a start() would withdraw the request).
    void stop();

private:
    Q_DISABLE_COPY(KP2Worker)
    struct State;
    static void run(const std::shared_ptr<State> &state);
    // Shared with the threads, which may still be leaving when stop() returns.
    std::shared_ptr<State> d;
};
