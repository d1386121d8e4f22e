#include "httptestserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int listenOn(quint16 &port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

// Waits up to ms for input on fd; true when there is some (or the peer closed).
bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

}  // namespace

HttpTestServer::HttpTestServer() {
    m_listen = listenOn(m_port);
    m_wake = ::eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this] { serve(); });
}

HttpTestServer::~HttpTestServer() {
    const quint64 one = 1;
    if (::write(m_wake, &one, sizeof one) != sizeof one) ::shutdown(m_listen, SHUT_RDWR);
    m_thread.join();
    ::close(m_listen);
    ::close(m_wake);
}

QString HttpTestServer::url(const QString &path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

void HttpTestServer::route(const QByteArray &path, const Answer &answer) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_routes.insert(path, answer);
}

QList<HttpTestServer::Request> HttpTestServer::received() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_received;
}

QByteArray HttpTestServer::reply(int status, const QByteArray &body, const QByteArray &extraHeaders) {
    return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

quint16 HttpTestServer::closedPort() {
    quint16 port = 0;
    const int fd = listenOn(port);
    ::close(fd);
    return port;
}

// Connections are answered one after the other; the clients' requests queue in the listen backlog meanwhile.
void HttpTestServer::serve() {
    for (;;) {
        pollfd p[2] = {{m_listen, POLLIN, 0}, {m_wake, POLLIN, 0}};
        // No limit: the destructor's wake-up ends the wait.
        if (::poll(p, 2, -1) < 0 || p[1].revents || p[0].revents & (POLLERR | POLLHUP)) return;
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        answer(fd);
        ::close(fd);
    }
}

void HttpTestServer::answer(int fd) {
    QByteArray in;
    Request request;
    int headEnd = -1;
    qsizetype need = -1;
    char buf[4096];
    while (need < 0 || in.size() < need) {
        if (!readable(fd, 5000)) return;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        in.append(buf, static_cast<int>(n));
        if (headEnd < 0 && (headEnd = in.indexOf("\r\n\r\n")) >= 0) {
            const QList<QByteArray> lines = in.left(headEnd).split('\n');
            const QList<QByteArray> start = lines.value(0).trimmed().split(' ');
            request.method = start.value(0);
            request.path = start.value(1);
            for (int i = 1; i < lines.size(); ++i) {
                const int colon = lines[i].indexOf(':');
                if (colon > 0)
                    request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
            }
            need = headEnd + 4 + request.headers.value("content-length", "0").toLongLong();
        }
    }
    request.body = in.mid(headEnd + 4);
    Answer answer{reply(404, "not found"), false};
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_received << request;
        answer = m_routes.value(request.path, answer);
    }
    ::send(fd, answer.bytes.constData(), static_cast<size_t>(answer.bytes.size()), MSG_NOSIGNAL);
    while (answer.hold && readable(fd, 10000) && ::recv(fd, buf, sizeof buf, 0) > 0) {
    }
}
