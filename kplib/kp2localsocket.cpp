#include "kp2localsocket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "kp2cabinet.h"
#include "kp2localserver.h"
#include "kp2localserver_p.h"
#include "kp2rpcpacket.h"

// How the worker runs:
// - It blocks in poll() on two descriptors, the connection and an eventfd that stop() writes to, without a time
//   limit: bytes, a hang-up and a stop request all end the wait, so an idle connection costs no wake-ups at all.
// - It reads in chunks and decodes every complete datagram before reading more. Decoding consumes from the front of
//   the buffer, so the chunk size bounds the bytes moved per datagram and a long pipeline of requests costs time in
//   proportion to its length. The rest of a datagram larger than a chunk is read in steps of up to 1 MiB.
// - It never holds more than one datagram's worth of bytes: anything that cannot become a valid datagram (a bad
//   mark, broken JSON, a header announcing more than KP2RpcPacket::MaxDatagramSize) ends the connection at once
//   instead of being buffered until the peer gives up.
// - Replies go out one datagram per request, in request order, with send(MSG_NOSIGNAL) so that a vanished peer is
//   an error code and not a signal. A peer that does not take a reply within 30 s loses its connection.
// - As its last act the worker closes the connection, leaves the server's registry and deletes the object.

namespace {

constexpr int READ_CHUNK = 16 * 1024;
constexpr int READ_LARGE = 1024 * 1024;
constexpr qint64 WRITE_DRAIN_MS = 30000;

// The result code of a request on which no command has reported.
constexpr int CODE_NOTHING_REPORTED = 9999;

}  // namespace

class KP2LocalSocketPrivate {
public:
    KP2LocalSocket *q = nullptr;
    KP2LocalServer *server = nullptr;
    int fd = -1;
    const bool *debugging = nullptr;
    QByteArray buffer;
    int pending = 0;  // total size of a datagram whose header is in, 0 when none
    KP2Cabinet cabinet;

    int wakeFd = -1;
    // Only a flag: nothing is published with it, the eventfd does the waking, and a late sight of it merely costs one
    // more pass; relaxed loads and stores suffice.
    std::atomic<bool> stopRequested{false};

    // The end-of-life handshake with stop(): the worker may delete the object only when no stop() waits on it.
    std::mutex lifeLock;
    std::condition_variable lifeChanged;
    bool running = false;  // guarded by lifeLock
    int stoppers = 0;      // guarded by lifeLock
    pthread_t thread{};    // the worker thread, once ownThread is set; guarded by lifeLock
    bool ownThread = false;

    static void *entry(void *arg);
    void serve();
    bool receive();
    bool decodePass();
    bool handle(const KP2RpcPacket &request);
    bool writeAll(const QByteArray &bytes);
    void requestStop();
};

KP2LocalSocket::KP2LocalSocket(KP2LocalServer *server, quintptr descriptor, const bool *debuggingFlag)
    : QObject(nullptr), d(new KP2LocalSocketPrivate) {
    d->q = this;
    d->server = server;
    d->fd = int(descriptor);
    d->debugging = debuggingFlag;
    d->cabinet.insert(QStringLiteral("protocol"), 128);
    // The worker thread deletes this object. Without a thread affinity no event machinery of the creating thread can
    // still refer to it then.
    moveToThread(nullptr);

    const int flags = ::fcntl(d->fd, F_GETFL);
    if (flags >= 0) ::fcntl(d->fd, F_SETFL, flags | O_NONBLOCK);
    ::fcntl(d->fd, F_SETFD, FD_CLOEXEC);
    d->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    d->running = true;

    if (server) server->d->attach(this);
    if (d->wakeFd >= 0) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        const bool started = ::pthread_create(&thread, &attr, &KP2LocalSocketPrivate::entry, d) == 0;
        pthread_attr_destroy(&attr);
        // From here on the worker owns the object and may already have deleted it.
        if (started) return;
    }
    // Out of descriptors or threads: the peer gets a closed connection rather than one nobody serves, and the
    // object goes with the next turn of this thread's event loop.
    d->running = false;
    if (server) server->d->detach(this);
    moveToThread(QThread::currentThread());
    deleteLater();
}

KP2LocalSocket::~KP2LocalSocket() {
    if (d->fd >= 0) ::close(d->fd);
    if (d->wakeFd >= 0) ::close(d->wakeFd);
    delete d;
}

void KP2LocalSocket::stop() {
    std::unique_lock<std::mutex> lock(d->lifeLock);
    if (!d->running) return;
    if (d->ownThread && pthread_equal(pthread_self(), d->thread)) {
        d->requestStop();  // a command asking to end its own connection: waiting here would wait for ourselves
        return;
    }
    ++d->stoppers;
    d->requestStop();
    // No limit: the worker ends at its next check, after the command it may be running has returned.
    d->lifeChanged.wait(lock, [this] { return !d->running; });
    --d->stoppers;
    // Notified under the lock: once it is released the worker may delete the object, condition variable included.
    d->lifeChanged.notify_all();
}

void KP2LocalSocket::requestStop() {
    d->requestStop();
}

void KP2LocalSocket::run() {
    {
        std::lock_guard<std::mutex> guard(d->lifeLock);
        d->thread = pthread_self();
        d->ownThread = true;
    }
    d->serve();
    ::close(d->fd);  // the peer sees the end at once, not when the last stop() has let go
    d->fd = -1;
    {
        std::unique_lock<std::mutex> lock(d->lifeLock);
        d->running = false;
        d->lifeChanged.notify_all();
        d->lifeChanged.wait(lock, [this] { return d->stoppers == 0; });
    }
    KP2LocalServer *server = d->server;
    if (server) server->d->detach(this);  // the last use of the server: its destructor may now go on
    delete this;
}

void *KP2LocalSocketPrivate::entry(void *arg) {
    static_cast<KP2LocalSocketPrivate *>(arg)->q->run();
    return nullptr;
}

void KP2LocalSocketPrivate::requestStop() {
    stopRequested.store(true, std::memory_order_relaxed);
    const quint64 one = 1;
    // Fails only when the counter would overflow, and then the descriptor is readable anyway.
    [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
}

void KP2LocalSocketPrivate::serve() {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    while (!stopRequested.load(std::memory_order_relaxed)) {
        // No time limit: the only things this thread waits for end the wait themselves.
        const int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents != 0 && !receive()) return;
    }
}

// Reads one chunk (or the rest of a large pending datagram) and decodes it. False ends the connection.
bool KP2LocalSocketPrivate::receive() {
    const int old = buffer.size();
    // The rest of an announced datagram comes in larger reads, but memory follows what arrives, not what a header
    // promises.
    const int want = qBound(READ_CHUNK, pending - old, READ_LARGE);
    buffer.resize(old + want);
    ssize_t n;
    do {
        n = ::recv(fd, buffer.data() + old, size_t(want), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        buffer.resize(old);
        return n < 0 && errno == EAGAIN;  // 0: the peer closed; other errors: the connection is broken
    }
    buffer.resize(old + int(n));
    return decodePass();
}

bool KP2LocalSocketPrivate::decodePass() {
    while (!stopRequested.load(std::memory_order_relaxed)) {
        KP2RpcPacket request;
        switch (request.fromDatagram(buffer)) {
            case KP2RpcPacket::Incomplete:
                pending = request.pendingSize();
                // A large datagram leaves a large allocation behind; an idle connection should not keep it.
                if (buffer.size() < READ_CHUNK && buffer.capacity() > 4 * READ_CHUNK) buffer.squeeze();
                return buffer.size() <= int(KP2RpcPacket::MaxDatagramSize);
            case KP2RpcPacket::KeepAlive:
                continue;
            case KP2RpcPacket::Decoded:
                pending = 0;
                if (request.isKeepAlive())  // "{}" or a JSON text that is not an object: nothing to answer
                    continue;
                if (!handle(request)) return false;
                continue;
            default:
                // Malformed bytes never become valid and the decoder does not skip them: nothing more can be answered
                // on this connection, so it ends rather than keep buffering whatever the peer sends.
                return false;
        }
    }
    return false;
}

bool KP2LocalSocketPrivate::handle(const KP2RpcPacket &request) {
    // The cabinet lives as long as the connection. Without a fresh start its journal would hand the previous
    // request's outcome, "err": 0 say, to a command that fails without recording a code.
    cabinet.reset(CODE_NOTHING_REPORTED, QString(), QJsonArray());
    cabinet.begin();
    QJsonObject reply{{QStringLiteral("err"), CODE_NOTHING_REPORTED}};
    if (server) server->doCall(reply, request, &cabinet);
    cabinet.toRetObject(reply, debugging && *debugging);
    const QByteArray datagram = KP2RpcPacket(reply).toDatagram();
    // A reply too large to frame cannot be sent, and skipping it would shift every later reply onto the wrong request.
    if (datagram.isEmpty()) return false;
    return writeAll(datagram);
}

bool KP2LocalSocketPrivate::writeAll(const QByteArray &bytes) {
    QElapsedTimer clock;
    clock.start();
    return KP2LocalServerPrivate::sendAll(fd, bytes, clock, WRITE_DRAIN_MS, wakeFd);
}
