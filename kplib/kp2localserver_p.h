// Private state of KP2LocalServer: the root router, the debugging flag and the limits its workers read, the read
// budget they share, and the registry of live workers that lets the destructor stop them and wait for them.
#pragma once

#include <QString>

#include "kp2linux/lnx2socketio.h"
#include "kp2localsocket.h"
#include "kp2todorouter.h"

class KP2LocalServerPrivate {
public:
    KP2TodoRouter root;
    QString name;
    // Written by the owning thread before listening; the workers, started after, only read it.
    bool debugging = false;
    // Written by the owning thread before listening, read by it when it accepts; readBudget is the workers' too.
    KP2LocalSocketLimits limits;
    int maxConnections = 512;
    Lnx2ReadBudget readBudget;
    // Declared after readBudget, so it goes first; the server's destructor empties it before either goes.
    KP2LocalSocketRegistry workers;

    // The socket file that a server name stands for: an absolute path as is, anything else below the temporary
    // directory (the rule QLocalServer and QLocalSocket follow).
    static QString fullPath(const QString &name);
};
