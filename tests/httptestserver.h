// A small HTTP server on 127.0.0.1 for the HTTP tests: a thread of its own answers one request per connection, one
// connection after the other, from a table of paths (404 for the others), and records every request. Thread-safe.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <mutex>
#include <thread>

class HttpTestServer {
public:
    struct Request {
        QByteArray head, body;  // head: the request line and the header lines
        QByteArray header(const QByteArray &name) const {
            for (const QByteArray &line : head.split('\n'))
                if (line.toLower().startsWith(name + ':')) return line.mid(name.size() + 1).trimmed();
            return QByteArray();
        }
    };

    HttpTestServer() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&a), len);
        ::listen(m_listen, 16);
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &len);
        m_port = ntohs(a.sin_port);
        // accept() fails once the destructor has shut the socket down.
        m_thread = std::thread([this] {
            for (int fd; (fd = ::accept(m_listen, nullptr, nullptr)) >= 0; ::close(fd)) answer(fd);
        });
    }
    ~HttpTestServer() {
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }

    // An address on this server; once the server is gone, one that refuses connections.
    QString url(const char *path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path); }
    // hold: after the answer, keep the connection open until the client closes it.
    void route(const QByteArray &path, const QByteArray &answer, bool hold = false) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_routes.insert(path, {answer, hold});
    }
    QList<Request> received() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_received;
    }
    static QByteArray reply(int status, const QByteArray &body, const QByteArray &headers = QByteArray()) {
        return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: " + QByteArray::number(body.size()) +
               "\r\nConnection: close\r\n" + headers + "\r\n" + body;
    }

private:
    void answer(int fd) {
        const timeval limit{5, 0};  // bounds every read, the wait for a held connection to close among them
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        QByteArray in;
        char buf[4096];
        ssize_t n = 0;
        int end = -1;
        while ((end = in.indexOf("\r\n\r\n")) < 0 ||
               in.size() < end + 4 + Request{in.left(end), {}}.header("content-length").toInt()) {
            if ((n = ::recv(fd, buf, sizeof buf, 0)) <= 0) return;
            in.append(buf, static_cast<int>(n));
        }
        const Request request{in.left(end), in.mid(end + 4)};
        QPair<QByteArray, bool> answer{reply(404, "not found"), false};
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_received << request;
            answer = m_routes.value(request.head.split(' ').value(1), answer);
        }
        ::send(fd, answer.first.constData(), static_cast<size_t>(answer.first.size()), MSG_NOSIGNAL);
        while (answer.second && ::recv(fd, buf, sizeof buf, 0) > 0) {
        }
    }

    const int m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 m_port = 0;
    mutable std::mutex m_lock;
    QHash<QByteArray, QPair<QByteArray, bool>> m_routes;  // path -> answer, hold; REQUIRES: m_lock held
    QList<Request> m_received;                            // REQUIRES: m_lock held
    std::thread m_thread;
};
