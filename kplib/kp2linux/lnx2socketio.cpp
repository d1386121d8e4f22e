#include "kp2linux/lnx2socketio.h"

#include <errno.h>
#include <fcntl.h>
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

Lnx2DatagramReader::Result Lnx2DatagramReader::next(int fd, KP2RpcPacket &packet, const QDeadlineTimer &deadline) {
    for (;;) {
        switch (packet.fromDatagram(m_buffer)) {
            case KP2RpcPacket::Decoded:
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
        if (m_buffer.size() > int(KP2RpcPacket::MaxDatagramSize)) return Malformed;
        // A large datagram leaves a large allocation behind; an idle connection should not keep it.
        if (m_buffer.size() < READ_CHUNK && m_buffer.capacity() > 4 * READ_CHUNK) m_buffer.squeeze();
        Result failure = Closed;
        if (!read(fd, packet.pendingSize(), deadline, failure)) return failure;
    }
}

bool Lnx2DatagramReader::read(int fd, int pendingSize, const QDeadlineTimer &deadline, Result &failure) {
    const int old = m_buffer.size();
    // The rest of an announced datagram comes in larger reads, up to READ_LARGE at a time.
    const int want = qBound(READ_CHUNK, pendingSize - old, READ_LARGE);
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
