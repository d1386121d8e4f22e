// Private state of KP2LocalServer: the root router, the debugging flag its workers read, and the registry of live
// workers that lets the destructor stop them and wait for them.
#pragma once

#include <QString>

#include "kp2localsocket.h"
#include "kp2todorouter.h"

class KP2LocalServerPrivate {
public:
    KP2TodoRouter root;
    QString name;
    // Written by the owning thread before listening; the workers, started after, only read it.
    bool debugging = false;
    KP2LocalSocketRegistry workers;

    // The socket file that a server name stands for: an absolute path as is, anything else below the temporary
    // directory (the rule QLocalServer and QLocalSocket follow).
    static QString fullPath(const QString &name);
};
