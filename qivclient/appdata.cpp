#include "appdata.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>

#include "approot.h"
#include "kp2file.h"
#include "kp2rpcpacket.h"
#include "kp2utils.h"

namespace {
AppData *g_appData = nullptr;

// Self-pipe between the signal handler and the event loop: the handler writes the signal number as one byte, the
// main thread's notifier reads it. Both ends are non-blocking, so a full pipe drops a signal instead of blocking the
// handler (a quit already pending is enough).
int g_signalPipe[2] = {-1, -1};

void installHandler(int signal) {
    struct sigaction sa = {};
    sa.sa_handler = sigInt_AppQuit;
    sigemptyset(&sa.sa_mask);
    // SA_RESTART: a SIGHUP or SIGPIPE must not interrupt a system call in progress on any thread.
    sa.sa_flags = SA_RESTART;
    sigaction(signal, &sa, nullptr);
}
}  // namespace

void sigInt_AppQuit(int signal) {
    const int savedErrno = errno;
    if (g_signalPipe[1] >= 0) {
        const char byte = static_cast<char>(signal);
        ssize_t ignored = write(g_signalPipe[1], &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

AppData *IAppData() {
    return g_appData;
}

AppData *AppData::create() {
    if (!g_appData) g_appData = new AppData;
    return g_appData;
}

AppData::AppData() {
    if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_signalNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
        connect(m_signalNotifier, &QSocketNotifier::activated, this, &AppData::onSignalPipe);
    }
    installHandler(SIGHUP);
    installHandler(SIGPIPE);
    qRegisterMetaType<KP2RpcPacket>("KP2RpcPacket");
    setConfigurationDir(AppRoot::path(AppRoot::ConfigDir));
    m_server.add(&m_router);
    installHandler(SIGINT);
    installHandler(SIGTERM);
}

void AppData::onSignalPipe() {
    char pending[64];
    ssize_t n;
    while ((n = read(g_signalPipe[0], pending, sizeof pending)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (pending[i] != SIGINT && pending[i] != SIGTERM)
                continue;  // SIGHUP and SIGPIPE are caught only so that they neither stop nor interrupt the process
            fputs("Wait for quit ...\n", stdout);
            fflush(stdout);
            QCoreApplication::quit();
        }
    }
}

QString AppData::usage() {
    return QStringLiteral(
        "Usage: qivclient [--cfg FILE] [--root DIR]\n"
        "\n"
        "Backup client daemon: answers JSON commands on the local socket named by \"localagentid\",\n"
        "snapshots ZFS datasets on request or on its schedule and uploads them to the object store.\n"
        "\n"
        "  --cfg FILE   start-up configuration (JSON object with \"localagentid\", \"debugging\",\n"
        "               \"appname\"); default: config.json in /ovra/etc/orvane\n"
        "  --root DIR   run with every appliance path (/ovra/..., /run/ovra/..., /proc/self/mounts)\n"
        "               relocated below DIR, for tests and sandboxes\n"
        "  --help       show this text\n"
        "\n"
        "Exit status: 0 after SIGINT or SIGTERM, 255 when start-up fails (e.g. no \"localagentid\").\n");
}

bool AppData::start() {
    const QHash<QString, QString> args = cmdArguments(QCoreApplication::arguments());
    if (args.contains(QStringLiteral("--root"))) {
        AppRoot::setRoot(args.value(QStringLiteral("--root")));
        setConfigurationDir(AppRoot::path(AppRoot::ConfigDir));
    }
    const QString cfgPath = args.contains(QStringLiteral("--cfg"))
                                ? args.value(QStringLiteral("--cfg"))
                                : configurationDir().filePath(QStringLiteral("config.json"));
    m_config = KP2File::readJsonObject(cfgPath);

    KP2Journals myJournals;
    if (!m_router.loadConfigure(myJournals, m_config)) {
        std::lock_guard<std::mutex> lock(PRINT_MUTEX);
        PRINTPOS("appdata.cpp", 114, "start");
        PRINTNAME(QStringLiteral("myJournals.toObject()"));
        PRINTLN(myJournals.toObject());
        return false;
    }

    setDebugging(toBool(m_config.value(QStringLiteral("debugging"))));
    m_appName = m_config.value(QStringLiteral("appname")).toString().trimmed();
    m_localAgentId = m_config.value(QStringLiteral("localagentid")).toString();
    if (m_localAgentId.isEmpty()) return false;

    m_server.setDebugging(debugging());
    if (!m_server.start(m_localAgentId)) return false;
    if (debugging()) {
        std::lock_guard<std::mutex> lock(PRINT_MUTEX);
        PRINTLN(QStringLiteral("Local agent: ") + m_localAgentId);
    }
    return true;
}
