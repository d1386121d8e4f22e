// Private state of KP2LocalServer shared with its connection workers: the root router, the debugging flag and the
// registry of live workers that lets the server's destructor stop them and wait for them.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <condition_variable>
#include <mutex>
#include <unordered_set>

#include "kp2todorouter.h"

class KP2LocalSocket;

class KP2LocalServerPrivate {
public:
    KP2TodoRouter root;
    QString name;
    // Written by the owning thread before listening; the workers, started after, only read it.
    bool debugging = false;

    std::mutex workersLock;
    std::condition_variable workersGone;
    std::unordered_set<KP2LocalSocket *> workers;  // guarded by workersLock

    // A worker enters before its thread starts and leaves after its last use of the server.
    void attach(KP2LocalSocket *worker);
    void detach(KP2LocalSocket *worker);

    // The socket file that a server name stands for: an absolute path as is, anything else below the temporary
    // directory (the rule QLocalServer and QLocalSocket follow).
    static QString fullPath(const QString &name);

    // Writes all of bytes to the non-blocking descriptor fd until limitMs have passed on clock. False when the peer
    // has gone, the time is up, or wakeFd (when not -1) becomes readable, which is how a worker's stop cuts it short.
    static bool sendAll(int fd, const QByteArray &bytes, const QElapsedTimer &clock, qint64 limitMs, int wakeFd = -1);
};
