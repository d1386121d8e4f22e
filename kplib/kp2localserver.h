// KP2LocalServer: the local RPC server. It listens on one Unix-domain stream socket from the event loop of the thread
// that starts it (a running event loop there is needed to accept), hands each connection to a KP2LocalSocket worker
// thread, and dispatches requests through its root router. localRequest() (kp2localrequest.cpp) is the blocking
// client side of the same protocol for talking to other local services.
// Thread-safety: start/stop/add belong to the owning thread; doCall and localRequest may run on any thread. The
// destructor stops every connection worker and waits for it. The server owns its root router, not the children.
#pragma once

#include <QJsonObject>
#include <QLocalServer>
#include <QString>

#include "kp2cabinet.h"
#include "kp2todorouter.h"

class KP2LocalServerPrivate;

class KP2LocalServer : public QLocalServer {
    Q_OBJECT
public:
    explicit KP2LocalServer(QObject *parent = nullptr);
    // Stops listening, asks every connection worker to end and waits until all have (a worker inside a long command
    // finishes that command first).
    ~KP2LocalServer() override;

    // Listens on name: an absolute path is the socket file itself, a path with a '/' has its missing directories
    // created, any other name is placed in the temporary directory. A socket file left behind by an earlier run is
    // replaced. True when listening (also when it already was).
    bool start(const QString &name);
    // Closes the listening socket; connections already accepted keep being served.
    void stop();
    // The name given to the last successful start().
    QString name() const;

    // Replies carry "elapsed" and "journals" when set. Set it before start(); workers only read it.
    void setDebugging(bool on);
    bool debugging() const;

    // Limits against greedy peers; set them before start(). A peer over a limit is disconnected as for malformed
    // input, and the other connections are served on.
    // Largest request datagram accepted, header included; at most (and by default) KP2RpcPacket::MaxDatagramSize.
    void setRequestLimit(quint32 bytes);
    // The memory that the requests being read on all connections may hold together; 0 (the default) for no bound.
    void setReadMemoryLimit(qint64 bytes);
    // Connections served at once, 512 by default; one accepted beyond that is closed at once.
    void setConnectionLimit(int connections);
    // Memory after a burst: from start() on, heap blocks of at least this many bytes (1 MiB by default) get mappings
    // of their own that go back to the system when freed (a process-wide allocator setting), and after a request
    // whose buffer held that much the worker returns the allocator's free memory too. 0 turns both off.
    void setTrimThreshold(qint64 bytes);
    // Memory that the requests being read hold at the moment, as charged against the read memory limit. Any thread.
    qint64 readMemory() const;

    // Adds router below the root router. Build the tree before start(); it must not change while serving, and every
    // router in it must outlive the server.
    void add(KP2TodoRouter *router);
    KP2TodoRouter *root() const;

    // Dispatches one request: "__LS__" slots over the whole tree first, then plain slots. An unknown or empty
    // command records 9885 and "被调用的方法不存在: " + "cmd" in cabinet (when not null) and returns false.
    bool doCall(QJsonObject &reply, const QJsonObject &request, KP2Cabinet *cabinet);

    // Sends request to the local server serverName (an absolute socket path, a relative path or a bare name as for
    // start()) and waits for its reply. Blocks for at most timeoutSeconds in all, and never longer than 2000 ms for
    // the connection itself. With a null reply or a timeout of 0 it returns true as soon as the request is written.
    // Otherwise true with *reply set to the first non-empty reply object; false (reply untouched) when the server
    // cannot be reached, closes the connection, sends a malformed datagram or does not answer in time.
    static bool localRequest(const QString &serverName, const QJsonObject &request, QJsonObject *reply,
                             qint64 timeoutSeconds);

protected:
    void incomingConnection(quintptr socketDescriptor) override;

private:
    KP2LocalServerPrivate *d;
    Q_DISABLE_COPY(KP2LocalServer)
};
