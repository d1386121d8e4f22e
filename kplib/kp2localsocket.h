// KP2LocalSocket: one accepted connection of the local RPC service, served by a detached thread of its own. The
// thread reads datagrams, hands each non-empty request to a dispatch callback and writes one reply datagram per
// request, in request order; it ends when the peer closes, the peer sends something that is not a valid datagram or
// a request over its limits, a reply cannot be delivered within 30 s, or it is asked to stop.
// Ownership: the worker thread owns the object and deletes it as its last act; do not delete it yourself. (When no
// thread can be started, the connection is closed and the object deleted by the creating thread's event loop.)
// KP2LocalSocketRegistry: the live workers of one owner, so that the owner can stop them all and wait for them.
// Thread-safe: stop() and stopAll() may be called from any thread.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <unordered_set>

#include "kp2rpcpacket.h"

class KP2Cabinet;
class KP2LocalSocketPrivate;
class Lnx2ReadBudget;

// What one connection may take from the process.
struct KP2LocalSocketLimits {
    // Largest request datagram, header included; a peer sending a larger one is disconnected.
    quint32 requestSize = KP2RpcPacket::MaxDatagramSize;
    // Memory shared by the requests being read on all connections of one server; a peer whose request would take it
    // over its limit is disconnected. Null: no common bound.
    Lnx2ReadBudget *readBudget = nullptr;
    // After a request whose buffer held at least this many bytes, freed heap memory goes back to the system, so that
    // a burst of large requests does not stay resident. 0: never.
    qint64 trimAfter = 1024 * 1024;
};

class KP2LocalSocketRegistry {
public:
    KP2LocalSocketRegistry() = default;
    // REQUIRES: no worker registered (stopAll() has returned and no worker was created with this registry since).
    ~KP2LocalSocketRegistry() = default;

    // Asks every registered worker to end and waits until each has made its last use of what it was given. No time
    // limit: a worker inside a command finishes that command first.
    void stopAll();
    // The workers registered at the moment.
    int count();

private:
    friend class KP2LocalSocketPrivate;
    void attach(KP2LocalSocketPrivate *worker);
    void detach(KP2LocalSocketPrivate *worker);

    std::mutex m_lock;
    std::condition_variable m_gone;
    std::unordered_set<KP2LocalSocketPrivate *> m_workers;  // guarded by m_lock
    Q_DISABLE_COPY(KP2LocalSocketRegistry)
};

class KP2LocalSocket : public QObject {
    Q_OBJECT
public:
    // Answers one request on the worker thread: reply holds {"err": 9999} when called, cabinet is the connection's
    // (its journal freshly reset, "protocol" = 128 in its value store). What the cabinet's journal records decides
    // the final "err" and "errmsg" of the reply.
    using Dispatch = std::function<void(QJsonObject &reply, const QJsonObject &request, KP2Cabinet *cabinet)>;

    // Takes over descriptor (a connected stream socket) and starts the worker thread. With an empty dispatch nothing
    // answers and every reply is {"err": 9999}. debuggingFlag, when not null, is read at every reply ("elapsed" and
    // "journals" when set). dispatch, debuggingFlag and registry (when not null) must stay usable until the worker
    // has left registry, which stopAll() waits for; without a registry, until the connection has ended. The same
    // holds for limits.readBudget.
    KP2LocalSocket(quintptr descriptor, Dispatch dispatch, const bool *debuggingFlag, KP2LocalSocketRegistry *registry,
                   const KP2LocalSocketLimits &limits = KP2LocalSocketLimits());
    ~KP2LocalSocket() override;

    // Asks the worker to end and waits until it has: a wait for the peer ends at once, a command in progress
    // finishes and its reply goes out if the socket takes it without waiting. The object must not be touched after
    // this returns. Called on the worker thread itself (from a command), it only asks.
    // REQUIRES: the worker has not ended yet, which only a caller that keeps the peer open can know.
    void stop();

private:
    KP2LocalSocketPrivate *d;
    Q_DISABLE_COPY(KP2LocalSocket)
};
