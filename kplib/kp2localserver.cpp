#include "kp2localserver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <cstring>
#include <limits>

#include "kp2localserver_p.h"
#include "kp2localsocket.h"
#include "kp2rpcpacket.h"

namespace {

constexpr int PENDING_LIMIT = 1024;
constexpr qint64 CONNECT_LIMIT_MS = 2000;
constexpr int READ_CHUNK = 16 * 1024;

// Connects a blocking Unix stream socket to path within limitMs and returns it non-blocking, or -1. A server whose
// backlog is full makes connect() wait; SO_SNDTIMEO bounds that wait.
int connectWithin(const QByteArray &path, qint64 limitMs) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof addr.sun_path) return -1;
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 remaining = limitMs - clock.elapsed();
        if (remaining <= 0) break;
        timeval tv{};
        tv.tv_sec = time_t(remaining / 1000);
        tv.tv_usec = suseconds_t((remaining % 1000) * 1000);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            return fd;
        }
        if (errno != EINTR) break;
    }
    ::close(fd);
    return -1;
}

}  // namespace

bool KP2LocalServerPrivate::sendAll(int fd, const QByteArray &bytes, const QElapsedTimer &clock, qint64 limitMs,
                                    int wakeFd) {
    const char *p = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        const ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            left -= size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;  // EPIPE, ECONNRESET: the peer has gone
        const qint64 remaining = limitMs - clock.elapsed();
        if (remaining <= 0) return false;
        pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, wakeFd >= 0 ? 2 : 1, int(qMin<qint64>(remaining, std::numeric_limits<int>::max()))) < 0 &&
            errno != EINTR)
            return false;
        if (wakeFd >= 0 && fds[1].revents != 0) return false;
    }
    return true;
}

void KP2LocalServerPrivate::attach(KP2LocalSocket *worker) {
    std::lock_guard<std::mutex> guard(workersLock);
    workers.insert(worker);
}

void KP2LocalServerPrivate::detach(KP2LocalSocket *worker) {
    std::lock_guard<std::mutex> guard(workersLock);
    workers.erase(worker);
    workersGone.notify_all();
}

QString KP2LocalServerPrivate::fullPath(const QString &name) {
    if (name.startsWith(QLatin1Char('/'))) return name;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}

KP2LocalServer::KP2LocalServer(QObject *parent) : QLocalServer(parent), d(new KP2LocalServerPrivate) {
    setMaxPendingConnections(PENDING_LIMIT);
    // Read and write for user, group and others: every local user may talk to the service.
    setSocketOptions(QLocalServer::WorldAccessOption);
}

KP2LocalServer::~KP2LocalServer() {
    stop();
    std::unique_lock<std::mutex> lock(d->workersLock);
    for (KP2LocalSocket *worker : d->workers)
        worker->requestStop();  // alive: a worker leaves the registry (under this lock) before it goes
    // No limit: every worker has been asked to end and does so as soon as the command it may be running returns;
    // the workers use this object until then.
    d->workersGone.wait(lock, [this] { return d->workers.empty(); });
    lock.unlock();
    delete d;
}

bool KP2LocalServer::start(const QString &name) {
    if (isListening()) return true;
    const QString path = KP2LocalServerPrivate::fullPath(name);
    if (name.contains(QLatin1Char('/'))) QDir().mkpath(QFileInfo(path).absolutePath());
    bool ok = listen(name);
    if (!ok && serverError() == QAbstractSocket::AddressInUseError) {
        // A socket file left by an earlier run that did not end cleanly.
        QLocalServer::removeServer(name);
        ok = listen(name);
    }
    if (!ok) return false;
    // QLocalServer listens with a small fixed backlog; raising it on the listening socket lets bursts of clients
    // wait in the kernel rather than be refused.
    ::listen(int(socketDescriptor()), PENDING_LIMIT);
    d->name = name;
    return true;
}

void KP2LocalServer::stop() {
    if (isListening()) close();
}

QString KP2LocalServer::name() const {
    return d->name;
}

void KP2LocalServer::setDebugging(bool on) {
    d->debugging = on;
}

bool KP2LocalServer::debugging() const {
    return d->debugging;
}

void KP2LocalServer::add(KP2TodoRouter *router) {
    d->root.add(router);
}

KP2TodoRouter *KP2LocalServer::root() const {
    return &d->root;
}

bool KP2LocalServer::doCall(QJsonObject &reply, const QJsonObject &request, KP2Cabinet *cabinet) {
    if (d->root.doCall(reply, request, cabinet)) return true;
    if (d->root.doSlot(reply, request, cabinet)) return true;
    if (cabinet)
        cabinet->setErr(9885, QStringLiteral("被调用的方法不存在: ") + request.value(QLatin1String("cmd")).toString());
    return false;
}

void KP2LocalServer::incomingConnection(quintptr socketDescriptor) {
    // The worker owns itself from here on.
    new KP2LocalSocket(this, socketDescriptor, &d->debugging);
}

bool KP2LocalServer::localRequest(const QString &serverName, const QJsonObject &request, QJsonObject *reply,
                                  qint64 timeoutSeconds) {
    const QByteArray datagram = KP2RpcPacket(request).toDatagram();
    if (datagram.isEmpty()) return false;  // too large to frame

    QElapsedTimer clock;
    clock.start();
    const qint64 limitMs = timeoutSeconds <= 0 ? 0
                           : timeoutSeconds >= std::numeric_limits<qint64>::max() / 1000
                               ? std::numeric_limits<qint64>::max()
                               : timeoutSeconds * 1000;
    const bool awaitReply = reply && limitMs > 0;
    // Connecting gets at most 2000 ms, and never more than the whole exchange may take.
    const qint64 connectMs = awaitReply ? qMin(CONNECT_LIMIT_MS, limitMs) : CONNECT_LIMIT_MS;
    const int fd = connectWithin(QFile::encodeName(KP2LocalServerPrivate::fullPath(serverName)), connectMs);
    if (fd < 0) return false;
    if (!KP2LocalServerPrivate::sendAll(fd, datagram, clock, awaitReply ? limitMs : connectMs)) {
        ::close(fd);
        return false;
    }
    if (!awaitReply) {
        ::close(fd);
        return true;
    }

    QByteArray buffer;
    bool answered = false;
    bool broken = false;
    while (!answered && !broken) {
        const qint64 remaining = limitMs - clock.elapsed();
        if (remaining <= 0) break;
        // Blocks until bytes arrive, the server hangs up or the time is up.
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, int(qMin<qint64>(remaining, std::numeric_limits<int>::max())));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const int old = buffer.size();
        buffer.resize(old + READ_CHUNK);
        const ssize_t n = ::recv(fd, buffer.data() + old, READ_CHUNK, 0);
        if (n <= 0) {
            buffer.resize(old);
            broken = n == 0 || (errno != EAGAIN && errno != EINTR);  // a closed connection will never answer
            continue;
        }
        buffer.resize(old + int(n));
        for (;;) {
            KP2RpcPacket packet;
            const int result = packet.fromDatagram(buffer);
            if (result == KP2RpcPacket::KeepAlive || (result == KP2RpcPacket::Decoded && packet.isKeepAlive()))
                continue;
            if (result == KP2RpcPacket::Decoded) {
                *reply = packet;
                answered = true;
            } else if (result != KP2RpcPacket::Incomplete) {
                broken = true;  // malformed bytes never turn into a reply
            }
            break;
        }
    }
    ::close(fd);
    return answered;
}
