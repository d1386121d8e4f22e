// Test support for the local RPC server: a QCoreApplication for the whole test program, a KP2LocalServer with a
// small command router served from an event loop on a thread of its own, and a raw-socket peer that speaks the
// datagram framing. Header-only; included by the server and qivctl tests.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QThread>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "kp2localserver.h"
#include "kp2rpcpacket.h"
#include "kp2todorouter.h"

namespace harness {

// One QCoreApplication, created on the main thread before the first test: event loops on other threads need it.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test";
        static char *argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) m_app = new QCoreApplication(argc, argv);
    }
    void TearDown() override { delete m_app; }

private:
    QCoreApplication *m_app = nullptr;
};

inline ::testing::Environment *const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Commands that follow the slot contract, and one that does not record anything.
class TestRouter : public KP2TodoRouter {
    Q_OBJECT
public slots:
    // Answers "params" under "results".
    void echo(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
        if (cmdObject.contains(QStringLiteral("help"))) {
            *retObject = QJsonObject{{"comment", "echo"}};
            return;
        }
        envObject->begin();
        retObject->insert(QStringLiteral("results"), cmdObject.value(QStringLiteral("params")));
        envObject->setErr(0, QString());
    }
    // Its usage template is empty.
    void help(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
        if (cmdObject.contains(QStringLiteral("help"))) {
            *retObject = QJsonObject();
            return;
        }
        envObject->setErr(0, QString());
    }
    // Fails with a code and a message.
    void fail(QJsonObject *, QJsonObject, KP2Cabinet *envObject) { envObject->setErr(9995, QStringLiteral("boom")); }
    // Fails without recording anything.
    void quiet(QJsonObject *, QJsonObject, KP2Cabinet *) {}
    // The connection's value store.
    void protocol(QJsonObject *retObject, QJsonObject, KP2Cabinet *envObject) {
        retObject->insert(QStringLiteral("results"), envObject->value(QStringLiteral("protocol")));
        envObject->setErr(0, QString());
    }
};

// A KP2LocalServer listening on path, with a TestRouter below its root, run by an event loop on its own thread;
// configure, when given, sets it up before it listens.
// A plain std::thread with a QEventLoop rather than a QThread: joining it is a synchronisation that thread sanitizers
// see, which QThread::wait() (inside the uninstrumented Qt library) is not.
class ServerThread {
public:
    explicit ServerThread(const QString &path, bool debugging = false,
                          std::function<void(KP2LocalServer &)> configure = {})
        : m_path(path), m_debugging(debugging), m_configure(std::move(configure)), m_thread([this] { run(); }) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [this] { return m_ready; });
    }
    ~ServerThread() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_loop) QMetaObject::invokeMethod(m_loop, "quit", Qt::QueuedConnection);
        }
        m_thread.join();
    }
    ServerThread(const ServerThread &) = delete;
    ServerThread &operator=(const ServerThread &) = delete;

    bool listening() const { return m_listening; }
    // The server's KP2LocalServer::readMemory().
    qint64 readMemory() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_server ? m_server->readMemory() : 0;
    }

private:
    void run() {
        QEventLoop loop;
        TestRouter router;  // outlives the server, whose destructor waits for the workers that may still use it
        KP2LocalServer server;
        server.add(&router);
        server.setDebugging(m_debugging);
        if (m_configure) m_configure(server);
        const bool ok = server.start(m_path);
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_server = &server;
            m_listening = ok;
            m_ready = true;
            if (ok) m_loop = &loop;
        }
        m_changed.notify_all();
        if (ok) loop.exec();  // a quit posted before this line is delivered by it
        std::lock_guard<std::mutex> guard(m_lock);
        m_loop = nullptr;
        m_server = nullptr;
    }

    QString m_path;
    bool m_debugging;
    std::function<void(KP2LocalServer &)> m_configure;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_ready = false;
    bool m_listening = false;
    QEventLoop *m_loop = nullptr;        // guarded by m_lock
    KP2LocalServer *m_server = nullptr;  // guarded by m_lock
    std::thread m_thread;                // last: started once everything above is initialised
};

// A raw client connection that writes bytes and reads reply datagrams with a deadline.
class Peer {
public:
    explicit Peer(const QString &path) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray p = path.toLocal8Bit();
        std::memcpy(addr.sun_path, p.constData(), size_t(qMin(p.size(), int(sizeof addr.sun_path) - 1)));
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Peer() { close(); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    bool connected() const { return m_fd >= 0; }
    void close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

    bool write(const QByteArray &bytes) {
        qint64 done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += n;
        }
        return true;
    }
    bool request(const QJsonObject &object) { return write(KP2RpcPacket(object).toDatagram()); }

    // The next reply datagram; false when none is complete within timeoutMs or the server closed first.
    bool reply(QJsonObject &out, int timeoutMs = 5000) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            KP2RpcPacket packet;
            QByteArray copy = m_buffer;
            if (packet.fromDatagram(copy) == KP2RpcPacket::Decoded) {
                m_buffer = copy;
                out = packet;
                return true;
            }
            if (!fill(timeoutMs - int(clock.elapsed()))) return false;
        }
    }
    QJsonObject reply() {
        QJsonObject out;
        EXPECT_TRUE(reply(out)) << "no reply";
        return out;
    }

    // True when the server closes the connection within timeoutMs (everything sent before is read and dropped).
    bool closedByServer(int timeoutMs = 5000) {
        QElapsedTimer clock;
        clock.start();
        while (fill(timeoutMs - int(clock.elapsed()))) {
        }
        return m_eof;
    }
    // True when nothing arrives within timeoutMs.
    bool silentFor(int timeoutMs) {
        const int before = m_buffer.size();
        fill(timeoutMs);
        return m_buffer.size() == before && !m_eof;
    }

private:
    // Waits up to timeoutMs for bytes and appends them; false on timeout or end of stream.
    bool fill(int timeoutMs) {
        if (m_fd < 0 || m_eof || timeoutMs <= 0) return false;
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) <= 0) return false;
        char chunk[65536];
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            m_eof = true;
            return false;
        }
        m_buffer.append(chunk, int(n));
        return true;
    }

    int m_fd = -1;
    QByteArray m_buffer;
    bool m_eof = false;
};

// Polls cond until it holds or timeoutMs passes.
template <typename Cond>
bool waitFor(Cond cond, int timeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!cond()) {
        if (clock.elapsed() > timeoutMs) return false;
        QThread::msleep(5);
    }
    return true;
}

}  // namespace harness
