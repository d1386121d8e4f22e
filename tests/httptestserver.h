// A small HTTP/1.1 server on 127.0.0.1 for the HTTP tests: one thread of its own answers one request per connection
// from a table of paths (404 for others) and records every request it read. Thread-safe.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>

class HttpTestServer {
public:
    struct Answer {
        QByteArray bytes;   // written as is: status line, headers and body
        bool hold = false;  // then keep the connection open until the client closes it (at most 10 s)
    };
    struct Request {
        QByteArray method, path, body;
        QHash<QByteArray, QByteArray> headers;  // names in lower case
    };

    HttpTestServer();
    ~HttpTestServer();

    QString url(const QString &path) const;
    void route(const QByteArray &path, const Answer &answer);
    QList<Request> received() const;

    // A whole answer: status, "Content-Length", "Connection: close", the extra header lines, the body.
    static QByteArray reply(int status, const QByteArray &body, const QByteArray &extraHeaders = QByteArray());
    // A port on 127.0.0.1 that nothing listens on.
    static quint16 closedPort();

private:
    void serve();
    void answer(int fd);

    int m_listen = -1;
    int m_wake = -1;
    quint16 m_port = 0;
    mutable std::mutex m_lock;
    QHash<QByteArray, Answer> m_routes;  // REQUIRES: m_lock held
    QList<Request> m_received;           // REQUIRES: m_lock held
    std::thread m_thread;
};
