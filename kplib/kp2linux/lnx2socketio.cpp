#include "kp2linux/lnx2socketio.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <limits>

#include "kp2rpcpacket.h"

namespace {

// Bytes asked of one recv(): a chunk normally, more for the rest of a datagram whose header is in. Decoding consumes
// from the front of the buffer, so the chunk size bounds the bytes moved per datagram and a long pipeline of
// requests costs time in proportion to its length.
constexpr int READ_CHUNK = 16 * 1024;
constexpr int READ_LARGE = 1024 * 1024;
// What a connection may buffer without charging the read budget: a few chunks, so that ordinary traffic never asks.
constexpr int FREE_ALLOWANCE = 4 * READ_CHUNK;

qint64 chargeFor(qint64 capacity) {
    return qMax<qint64>(0, capacity - FREE_ALLOWANCE);
}

// Waits until fd reports one of events or deadline passes. False when the time is up or poll() fails; a signal
// merely ends the wait early, and the caller tries its call again.
bool waitUntil(int fd, short events, const QDeadlineTimer &deadline) {
    const qint64 remaining = deadline.remainingTime();
    if (remaining == 0) return false;
    pollfd pfd{fd, events, 0};
    const int timeout = remaining < 0 ? -1 : int(qMin<qint64>(remaining, std::numeric_limits<int>::max()));
    return ::poll(&pfd, 1, timeout) >= 0 || errno == EINTR;
}

}  // namespace

void lnx2MakeBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void lnx2Shutdown(int fd) {
    ::shutdown(fd, SHUT_RDWR);
}

void lnx2Close(int fd) {
    ::close(fd);
}

void lnx2SetListenBacklog(int fd, int backlog) {
    ::listen(fd, backlog);
}

void lnx2ReturnFreeMemory() {
    // glibc keeps freed memory in its arenas (and raises its mmap threshold after a large block is freed, so the next
    // large blocks come from the arenas too); malloc_trim() hands the free pages of every arena back.
    ::malloc_trim(0);
}

void lnx2MapLargeBlocks(qint64 bytes) {
    // glibc starts with a 128 KiB threshold but raises it to the size of each mapped block that is freed, so after a
    // few large requests their buffers come from the arenas, and a thread arena's top is never trimmed by
    // malloc_trim(): a burst then stays resident. A fixed threshold turns that adjustment off.
    ::mallopt(M_MMAP_THRESHOLD, int(qBound<qint64>(0, bytes, 32 * 1024 * 1024)));
}

bool Lnx2ReadBudget::tryCharge(qint64 bytes) {
    const qint64 limit = this->limit();
    qint64 used = m_used.load(std::memory_order_relaxed);
    do {
        if (limit > 0 && used + bytes > limit) return false;
    } while (!m_used.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    return true;
}

int lnx2ConnectWithin(const QByteArray &path, const QDeadlineTimer &deadline) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof addr.sun_path) return -1;
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A Unix-domain connect() cannot be waited for with poll(): it blocks while the backlog is full, for at most the
    // socket's send time-out.
    for (;;) {
        const qint64 remaining = deadline.remainingTime();
        if (remaining == 0) break;
        timeval tv{};
        if (remaining > 0) {
            tv.tv_sec = time_t(remaining / 1000);
            tv.tv_usec = suseconds_t((remaining % 1000) * 1000);
        }
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) return fd;
        if (errno != EINTR) break;
    }
    ::close(fd);
    return -1;
}

bool lnx2SendAll(int fd, const QByteArray &bytes, const QDeadlineTimer &deadline) {
    // Every send is non-blocking and only a full buffer leads to a wait, in poll(): a reply that fits costs one
    // system call, and the deadline bounds the whole write even for a peer that reads a little at a time (a socket
    // send time-out would bound each wait inside the kernel anew). Shutting fd down ends that wait too.
    const char *p = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        const ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            left -= size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;  // EPIPE, ECONNRESET: the peer has gone or fd was shut down
        if (!waitUntil(fd, POLLOUT, deadline)) return false;
    }
    return true;
}

Lnx2DatagramReader::~Lnx2DatagramReader() {
    if (m_budget && m_charged != 0) m_budget->charge(-m_charged);
}

void Lnx2DatagramReader::setLimits(quint32 maxDatagram, Lnx2ReadBudget *budget) {
    clear();
    m_maxDatagram = qMin(maxDatagram, KP2RpcPacket::MaxDatagramSize);
    m_budget = budget;
}

qint64 Lnx2DatagramReader::release() {
    const int capacity = m_buffer.capacity();
    if (m_buffer.size() >= READ_CHUNK || capacity <= FREE_ALLOWANCE) return 0;
    if (m_buffer.isEmpty()) {
        m_buffer = QByteArray();
    } else {
        m_buffer.squeeze();
    }
    return -settle(capacity);
}

qint64 Lnx2DatagramReader::clear() {
    const int capacity = m_buffer.capacity();
    m_buffer = QByteArray();
    return -settle(capacity);
}

bool Lnx2DatagramReader::reserve(int capacity) {
    const qint64 charge = chargeFor(capacity);
    if (m_budget && charge > m_charged) {
        if (!m_budget->tryCharge(charge - m_charged)) return false;
        m_charged = charge;
    }
    const int old = m_buffer.capacity();
    m_buffer.reserve(capacity);
    settle(old);
    return true;
}

qint64 Lnx2DatagramReader::settle(qint64 oldCapacity) {
    const qint64 capacity = m_buffer.capacity();
    if (m_budget) {
        // The allocation may differ a little from what reserve() charged for; the charge follows the allocation.
        const qint64 charge = chargeFor(capacity);
        m_budget->charge(charge - m_charged);
        m_charged = charge;
    }
    return capacity - oldCapacity;
}

Lnx2DatagramReader::Result Lnx2DatagramReader::next(int fd, KP2RpcPacket &packet, const QDeadlineTimer &deadline) {
    for (;;) {
        const int before = m_buffer.size();
        switch (packet.fromDatagram(m_buffer)) {
            case KP2RpcPacket::Decoded:
                // A datagram over the limit that arrived whole in one read; one that did not is refused below,
                // as soon as its header is in.
                if (quint32(before - m_buffer.size()) > m_maxDatagram) return Malformed;
                if (!packet.isKeepAlive()) return Packet;
                continue;  // "{}" or a JSON text that is not an object: nothing to answer
            case KP2RpcPacket::KeepAlive:
                continue;
            case KP2RpcPacket::Incomplete:
                break;
            default:
                // The decoder does not skip bytes it cannot read, so nothing after them can be read either.
                return Malformed;
        }
        if (quint32(packet.pendingSize()) > m_maxDatagram || quint32(m_buffer.size()) > m_maxDatagram) {
            return Malformed;
        }
        // A large datagram leaves a large allocation behind; an idle connection should not keep it.
        release();
        Result failure = Closed;
        if (!read(fd, packet.pendingSize(), deadline, failure)) return failure;
    }
}

bool Lnx2DatagramReader::read(int fd, int pendingSize, const QDeadlineTimer &deadline, Result &failure) {
    const int old = m_buffer.size();
    // The rest of an announced datagram comes in larger reads, up to READ_LARGE at a time.
    const int want = qBound(READ_CHUNK, pendingSize - old, READ_LARGE);
    if (old + want > m_buffer.capacity()) {
        // Doubling keeps the copying of a large datagram linear in its size, never past the datagram awaited.
        const int capacity = qMax(old + want, qMin(2 * m_buffer.capacity(), pendingSize));
        if (!reserve(capacity)) {
            failure = Malformed;  // the connections being read hold as much as they may
            return false;
        }
    }
    m_buffer.resize(old + want);
    const bool noDeadline = deadline.isForever();
    for (;;) {
        // Without a deadline the thread sleeps in recv() itself until bytes, the end of the stream or a shutdown come.
        if (!noDeadline && !waitUntil(fd, POLLIN, deadline)) {
            failure = deadline.hasExpired() ? TimedOut : Closed;
            break;
        }
        const ssize_t n = ::recv(fd, m_buffer.data() + old, size_t(want), noDeadline ? 0 : MSG_DONTWAIT);
        if (n > 0) {
            m_buffer.resize(old + int(n));
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        // With a deadline poll() woke spuriously; without one fd is non-blocking and poll() does the waiting.
        if (n < 0 && errno == EAGAIN && (!noDeadline || waitUntil(fd, POLLIN, deadline))) continue;
        failure = Closed;  // 0: the peer closed or fd was shut down; other errors: the connection is broken
        break;
    }
    m_buffer.resize(old);
    return false;
}
