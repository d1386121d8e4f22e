// AppData: the service's application object, a process-wide singleton reached through IAppData(). It reads the
// command line and the start-up configuration, installs the signal handling and starts the service.
// Created and started on the main thread; the singleton lives until the process ends and is never destroyed.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

#include "kp2core.h"
#include "kp2localserver.h"
#include "qivclient.h"
#include "requestrouter.h"

class QSocketNotifier;

class AppData : public QObject, public KP2Core {
    Q_OBJECT

public:
    // Returns the singleton, constructing it on the first call. REQUIRES: a QCoreApplication exists.
    static AppData *create();

    // Loads the start-up configuration and starts the service; true means "serve" (run the event loop).
    // False means start-up failed and the process should exit with status 255.
    bool start();

    QivClient *client() { return &m_client; }
    KP2LocalServer *server() { return &m_server; }
    QString appName() const { return m_appName; }
    QString localAgentId() const { return m_localAgentId; }
    // The start-up configuration as read by start().
    QJsonObject configuration() const { return m_config; }

    // Usage text for --help.
    static QString usage();

private:
    AppData();
    // Signal handling (appdata_unix.cpp), installed in two steps of the construction: first for SIGHUP and SIGPIPE,
    // last for SIGINT and SIGTERM.
    void catchHangupAndPipe();
    void catchInterruptAndTerminate();
    void onSignalPipe();
    // Raises the soft limit of open files to the hard limit (appdata_unix.cpp): each connection holds descriptors,
    // and the common soft limit of 1,024 would cap the clients served at a few hundred. Best effort.
    static void raiseOpenFileLimit();

    // Construction order matters: the router reaches the client, the server dispatches to the router.
    QivClient m_client;
    QString m_appName;
    RequestRouter m_router;
    QString m_localAgentId;
    KP2LocalServer m_server;
    QJsonObject m_config;
    QSocketNotifier *m_signalNotifier = nullptr;
};

AppData *IAppData();

// The handler installed for SIGHUP, SIGPIPE, SIGINT and SIGTERM. Async-signal-safe: it only hands the signal number
// to the event loop, which prints "Wait for quit ..." and quits for SIGINT and SIGTERM and ignores the others.
void sigInt_AppQuit(int signal);
