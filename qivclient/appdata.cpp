#include "appdata.h"

#include <QCoreApplication>
#include <cstdio>

#include "approot.h"
#include "kp2file.h"
#include "kp2rpcpacket.h"
#include "kp2utils.h"

namespace {
AppData *g_appData = nullptr;

// The position printed on the trace line when the client rejects its start-up configuration. It is part of the
// daemon's output format, not this file's line number: it stays as it is when the code around it moves.
const char *const kStartErrorFile = "appdata.cpp";
const int kStartErrorLine = 114;
}  // namespace

AppData *IAppData() {
    return g_appData;
}

AppData *AppData::create() {
    if (!g_appData) g_appData = new AppData;
    return g_appData;
}

AppData::AppData() {
    catchHangupAndPipe();
    qRegisterMetaType<KP2RpcPacket>("KP2RpcPacket");
    setConfigurationDir(AppRoot::path(AppRoot::ConfigDir));
    m_server.add(&m_router);
    // The service's own requests are small and the socket is open to every local user: 4 MiB per request, 32 MiB for
    // all requests being read at once (eight at the limit), and the library's 512 connections.
    m_server.setRequestLimit(4 * 1024 * 1024);
    m_server.setReadMemoryLimit(32 * 1024 * 1024);
    catchInterruptAndTerminate();
}

QString AppData::usage() {
    return QStringLiteral(
        "Usage: qivclient [--cfg FILE] [--root DIR]\n"
        "       qivclient --help | --version\n"
        "\n"
        "Backup client daemon: answers JSON commands on the local socket named by \"localagentid\",\n"
        "snapshots ZFS datasets on request or on its schedule and uploads them to the object store.\n"
        "\n"
        "  --cfg FILE   start-up configuration (JSON object with \"localagentid\", \"debugging\",\n"
        "               \"appname\"); default: config.json in /ovra/etc/orvane\n"
        "  --root DIR   run with every appliance path (/ovra/..., /run/ovra/..., /proc/self/mounts)\n"
        "               relocated below DIR, for tests and sandboxes\n"
        "  --help       show this text\n"
        "  --version    show the version\n"
        "\n"
        "Exit status: 0 after SIGINT or SIGTERM, 255 when start-up fails (e.g. no \"localagentid\").\n");
}

bool AppData::start() {
    raiseOpenFileLimit();
    const QHash<QString, QString> args = cmdArguments(QCoreApplication::arguments());
    if (args.contains(QStringLiteral("--root"))) {
        // An empty root means the appliance's own "/", which a mistyped command line must not reach by accident.
        if (args.value(QStringLiteral("--root")).isEmpty()) {
            fputs("qivclient: --root needs a directory (use --root / for the appliance's own paths)\n", stderr);
            return false;
        }
        AppRoot::setRoot(args.value(QStringLiteral("--root")));
        setConfigurationDir(AppRoot::path(AppRoot::ConfigDir));
    }
    const QString cfgPath = args.contains(QStringLiteral("--cfg"))
                                ? args.value(QStringLiteral("--cfg"))
                                : configurationDir().filePath(QStringLiteral("config.json"));
    m_config = KP2File::readJsonObject(cfgPath);

    // The configuration is checked before any other work: a refused start runs no program and prints nothing.
    setDebugging(toBool(m_config.value(QStringLiteral("debugging"))));
    m_appName = m_config.value(QStringLiteral("appname")).toString().trimmed();
    m_localAgentId = m_config.value(QStringLiteral("localagentid")).toString();
    if (m_localAgentId.isEmpty()) return false;

    KP2Journals myJournals;
    if (!m_router.loadConfigure(myJournals, m_config)) {
        std::lock_guard<std::mutex> lock(PRINT_MUTEX);
        PRINTPOS(kStartErrorFile, kStartErrorLine, "start");
        PRINTNAME(QStringLiteral("myJournals.toObject()"));
        PRINTLN(myJournals.toObject());
        return false;
    }

    m_server.setDebugging(debugging());
    if (!m_server.start(m_localAgentId)) return false;
    // Only a daemon that serves looks for the snapshots an earlier run left: a second one, refused its socket, must
    // not queue them as well. No request is served before the event loop runs, so none queues a snapshot meanwhile.
    m_client.queueLeftovers();
    if (debugging()) {
        std::lock_guard<std::mutex> lock(PRINT_MUTEX);
        PRINTLN(QStringLiteral("Local agent: ") + m_localAgentId);
    }
    return true;
}
