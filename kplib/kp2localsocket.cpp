#include "kp2localsocket.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QThread>
#include <system_error>
#include <thread>

#include "kp2cabinet.h"
#include "kp2linux/lnx2socketio.h"
#include "kp2rpcpacket.h"

// How the worker runs:
// - It blocks in recv() on its one descriptor, without a time limit: bytes, a hang-up and a stop request (which
//   shuts the socket down) all end the wait, so an idle connection costs no wake-ups at all, and a request costs two
//   system calls, the recv() that brings it and the send() of its reply.
// - Lnx2DatagramReader cuts the bytes into datagrams; anything that cannot become one, or is larger than the limits
//   allow, ends the connection.
// - Replies go out one datagram per request, in request order. A peer that does not take a reply within 30 s loses
//   its connection. A reply too large to frame is replaced by the code that says so.
// - After a large request the reader's buffer is given back and the allocator returns free memory to the system.
// - As its last act the worker closes the connection, leaves the registry and deletes the object.
//
// The stop protocol, all under lifeLock: stop() sets stopRequested and, unless a command runs, shuts the socket down,
// which wakes the worker from recv() or from its wait for room to send. The worker closes the socket under the same
// lock, so a shutdown never meets a closed (and perhaps already reused) descriptor. A command that runs is left to
// finish: its reply goes out if the socket takes it at once, and no further request is dispatched.

namespace {

constexpr qint64 WRITE_LIMIT_MS = 30000;

// The result code of a request on which no command has reported.
constexpr int CODE_NOTHING_REPORTED = 9999;
// The reply of a command whose result does not fit in one datagram.
constexpr int CODE_REPLY_TOO_LARGE = 9994;

}  // namespace

class KP2LocalSocketPrivate {
public:
    KP2LocalSocketPrivate(int fd, KP2LocalSocket::Dispatch dispatch, const bool *debugging,
                          KP2LocalSocketRegistry *registry, const KP2LocalSocketLimits &limits)
        : dispatch(std::move(dispatch)), debugging(debugging), registry(registry), trimAfter(limits.trimAfter), fd(fd) {
        reader.setLimits(limits.requestSize, limits.readBudget);
    }

    KP2LocalSocket *q = nullptr;
    const KP2LocalSocket::Dispatch dispatch;
    const bool *const debugging;
    KP2LocalSocketRegistry *const registry;
    const qint64 trimAfter;
    Lnx2DatagramReader reader;
    KP2Cabinet cabinet;

    std::mutex lifeLock;
    std::condition_variable lifeChanged;
    int fd;                      // open while the worker runs, -1 after; written under lifeLock by the worker only
    bool stopRequested = false;  // guarded by lifeLock
    bool inCommand = false;      // guarded by lifeLock
    int stoppers = 0;            // stop() calls waiting for the end; guarded by lifeLock
    std::thread::id thread;      // the worker thread once it runs; guarded by lifeLock

    // Enters the registry and starts the worker thread; false (registry left again) when no thread can be started.
    bool start();
    void run();
    bool answer(const KP2RpcPacket &request);
    // Returns freed memory to the system when the reader has just given back a large buffer.
    void trim(qint64 released);
    // REQUIRES: lifeLock held.
    void requestStop();
};

void KP2LocalSocketRegistry::attach(KP2LocalSocketPrivate *worker) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_workers.insert(worker);
}

void KP2LocalSocketRegistry::detach(KP2LocalSocketPrivate *worker) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_workers.erase(worker);
    m_gone.notify_all();
}

int KP2LocalSocketRegistry::count() {
    std::lock_guard<std::mutex> guard(m_lock);
    return int(m_workers.size());
}

void KP2LocalSocketRegistry::stopAll() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (KP2LocalSocketPrivate *worker : m_workers) {
        // Alive: a worker leaves the registry (under m_lock) before it goes.
        std::lock_guard<std::mutex> guard(worker->lifeLock);
        worker->requestStop();
    }
    // No limit: every worker has been asked to end and does so as soon as the command it may be running returns.
    m_gone.wait(lock, [this] { return m_workers.empty(); });
}

KP2LocalSocket::KP2LocalSocket(quintptr descriptor, Dispatch dispatch, const bool *debuggingFlag,
                               KP2LocalSocketRegistry *registry, const KP2LocalSocketLimits &limits)
    : QObject(nullptr),
      d(new KP2LocalSocketPrivate(int(descriptor), std::move(dispatch), debuggingFlag, registry, limits)) {
    d->q = this;
    d->cabinet.insert(QStringLiteral("protocol"), 128);
    // The worker thread deletes this object. Without a thread affinity no event machinery of the creating thread can
    // still refer to it then.
    moveToThread(nullptr);

    // The worker waits inside its system calls, so the socket must block.
    lnx2MakeBlocking(d->fd);

    if (d->start()) return;  // from here on the worker owns the object and may already have deleted it
    // Out of threads: the peer gets a closed connection rather than one nobody serves, and the object goes with the
    // next turn of this thread's event loop.
    moveToThread(QThread::currentThread());
    deleteLater();
}

KP2LocalSocket::~KP2LocalSocket() {
    if (d->fd >= 0) lnx2Close(d->fd);
    delete d;
}

void KP2LocalSocket::stop() {
    std::unique_lock<std::mutex> lock(d->lifeLock);
    if (d->fd < 0) return;
    d->requestStop();
    // A command asking to end its own connection: waiting here would wait for ourselves.
    if (d->thread == std::this_thread::get_id()) return;
    ++d->stoppers;
    // No limit: the worker ends at once, or after the command it may be running has returned.
    d->lifeChanged.wait(lock, [this] { return d->fd < 0; });
    --d->stoppers;
    // Notified under the lock: once it is released the worker may delete the object, condition variable included.
    d->lifeChanged.notify_all();
}

void KP2LocalSocketPrivate::requestStop() {
    stopRequested = true;
    // SHUT_RDWR ends a recv() with "end of stream" and a wait for room to send with an error.
    if (!inCommand && fd >= 0) lnx2Shutdown(fd);
}

bool KP2LocalSocketPrivate::start() {
    if (registry) registry->attach(this);  // before the thread exists: stopAll() must not miss it
    try {
        std::thread([this] { run(); }).detach();
        return true;
    } catch (const std::system_error &) {
        // std::thread reports a thread that cannot be started by throwing; this is where that becomes a result.
    }
    if (registry) registry->detach(this);
    return false;
}

void KP2LocalSocketPrivate::run() {
    {
        std::lock_guard<std::mutex> guard(lifeLock);
        thread = std::this_thread::get_id();
    }
    KP2RpcPacket request;
    while (reader.next(fd, request) == Lnx2DatagramReader::Packet && answer(request)) {
        request = KP2RpcPacket();  // before the trim, so that a large request's objects are free memory by then
        trim(reader.release());
    }
    request = KP2RpcPacket();
    // Before leaving the registry: the read budget belongs to the owner.
    trim(reader.clear());
    {
        std::unique_lock<std::mutex> lock(lifeLock);
        lnx2Close(fd);  // the peer sees the end at once, not when the last stop() has let go
        fd = -1;
        lifeChanged.notify_all();
        lifeChanged.wait(lock, [this] { return stoppers == 0; });
    }
    if (registry) registry->detach(this);  // the last use of what the owner lent: stopAll() may now return
    delete q;
}

// Dispatches one request and writes its reply. False ends the connection.
bool KP2LocalSocketPrivate::answer(const KP2RpcPacket &request) {
    {
        std::lock_guard<std::mutex> guard(lifeLock);
        if (stopRequested) return false;  // requests still buffered after a stop go unanswered
        inCommand = true;
    }
    // The cabinet lives as long as the connection. Without a fresh start its journal would hand the previous
    // request's outcome, "err": 0 say, to a command that fails without recording a code.
    cabinet.reset(CODE_NOTHING_REPORTED, QString(), QJsonArray());
    cabinet.begin();
    QJsonObject reply{{QStringLiteral("err"), CODE_NOTHING_REPORTED}};
    if (dispatch) dispatch(reply, request, &cabinet);
    cabinet.toRetObject(reply, debugging && *debugging);
    QByteArray datagram = KP2RpcPacket(reply).toDatagram();
    // A reply too large to frame cannot be sent, and skipping it would shift every later reply onto the wrong
    // request: the peer learns why instead.
    if (datagram.isEmpty()) {
        datagram = KP2RpcPacket(QJsonObject{{QStringLiteral("err"), CODE_REPLY_TOO_LARGE},
                                            {QStringLiteral("errmsg"), QStringLiteral("返回数据过大")}})
                       .toDatagram();
    }
    bool stopping;
    {
        std::lock_guard<std::mutex> guard(lifeLock);
        inCommand = false;
        stopping = stopRequested;
    }
    // After a stop request the reply goes out only if the socket takes it without waiting.
    return lnx2SendAll(fd, datagram, QDeadlineTimer(stopping ? 0 : WRITE_LIMIT_MS)) && !stopping;
}

void KP2LocalSocketPrivate::trim(qint64 released) {
    if (trimAfter > 0 && released >= trimAfter) lnx2ReturnFreeMemory();
}
