// KP2LocalSocket: one accepted connection of KP2LocalServer, served by a detached thread of its own. The thread reads
// datagrams, dispatches each non-empty request through the server and writes one reply datagram per request, in
// request order; it ends when the peer closes, the peer sends something that is not a valid datagram, a reply cannot
// be delivered, or stop() is called.
// Ownership: the worker thread owns the object and deletes it as its last act; do not delete it yourself. (When no
// thread can be started, the connection is closed and the object deleted by the creating thread's event loop.)
// Created by KP2LocalServer::incomingConnection; with a null server nothing dispatches and every reply is 9999.
#pragma once

#include <QObject>

class KP2LocalServer;
class KP2LocalSocketPrivate;

class KP2LocalSocket : public QObject {
    Q_OBJECT
public:
    // Takes over descriptor (a connected stream socket) and starts the worker thread. debuggingFlag, when not null,
    // is read at every reply and must outlive the connection.
    KP2LocalSocket(KP2LocalServer *server, quintptr descriptor, const bool *debuggingFlag);
    ~KP2LocalSocket() override;

    // Asks the worker to end and waits until it has (after the command it may be running); the object must not be
    // touched after this returns. Called on the worker thread itself (from a command), it only asks.
    // REQUIRES: the worker has not ended yet, which only a caller that keeps the peer open can know.
    void stop();

private:
    void run();
    // Asks the worker to end without waiting.
    void requestStop();

    friend class KP2LocalServer;
    friend class KP2LocalSocketPrivate;
    KP2LocalSocketPrivate *d;
    Q_DISABLE_COPY(KP2LocalSocket)
};
