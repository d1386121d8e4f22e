// Stand-in for the appliance's core agent, for tests and the demo only: it answers "lpc_zqlicense_info" on a local
// socket the way the client relies on, with a chosen serial number, an error, or no answer at all.
//
//   fake_agent --socket PATH [--sn SN | --err CODE | --err-text TEXT | --no-err | --silent] [--log FILE]
//              [--hold FILE]
//
//   --sn SN          answer {"err": 0, "results": {"machine": {"sn": SN}}}      (default SN: "FAKE-SN-0001")
//   --err CODE       answer {"err": CODE, "errmsg": "..."}
//   --err-text TEXT  answer {"err": "TEXT", "results": {"machine": {"sn": SN}}} (an "err" given as text)
//   --no-err         answer {"results": {"machine": {"sn": SN}}}                 (no "err" at all)
//   --silent         accept connections and never answer
//   --log FILE       append one line per request received
//   --hold FILE      answer (with --sn or --err) only once FILE exists, at most 60 s after the request: a slow
//                    agent whose answer a test releases at the moment it chooses
// It prints "ready" on standard output once it listens, and runs until SIGTERM or SIGINT.
#include <signal.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <cstdio>

#include "kp2localserver.h"
#include "kp2rpcpacket.h"
#include "kp2utils.h"

namespace {

struct Options {
    QString sn = QStringLiteral("FAKE-SN-0001");
    QJsonValue err = 0;
    bool hasErr = true;
    QString log;
    QString hold;
};
Options g_options;

void logRequest(const QByteArray &line) {
    if (g_options.log.isEmpty()) return;
    QFile f(g_options.log);
    if (f.open(QIODevice::Append)) f.write(line + "\n");
}

class AgentRouter : public KP2TodoRouter {
    Q_OBJECT
public slots:
    void lpc_zqlicense_info(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *envObject) {
        logRequest(QJsonDocument(cmdObject).toJson(QJsonDocument::Compact));
        // This is the connection's own thread: holding it back delays this answer only.
        QElapsedTimer held;
        held.start();
        while (!g_options.hold.isEmpty() && !QFileInfo::exists(g_options.hold) && held.elapsed() < 60000)
            QThread::msleep(5);
        // The worker writes the cabinet's code last, so the answer's "err" is set through the cabinet; an "err"
        // in another form (text, or none at all) needs the reply written after that, which a "__LS__" slot cannot
        // do either, so those forms are sent by the raw server below instead.
        retObject->insert(QStringLiteral("results"), QJsonObject{{"machine", QJsonObject{{"sn", g_options.sn}}}});
        envObject->setErr(toInt(g_options.err), toInt(g_options.err) ? QStringLiteral("fake agent error") : QString());
    }
};

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    const QHash<QString, QString> args = cmdArguments(QCoreApplication::arguments());
    const QString socket = args.value(QStringLiteral("--socket"));
    if (socket.isEmpty() || args.contains(QStringLiteral("--help"))) {
        fputs(
            "usage: fake_agent --socket PATH [--sn SN | --err CODE | --err-text TEXT | --no-err | --silent] "
            "[--log FILE] [--hold FILE]\n",
            stderr);
        return 2;
    }
    if (args.contains(QStringLiteral("--sn"))) g_options.sn = args.value(QStringLiteral("--sn"));
    if (args.contains(QStringLiteral("--err"))) g_options.err = args.value(QStringLiteral("--err")).toInt();
    g_options.log = args.value(QStringLiteral("--log"));
    g_options.hold = args.value(QStringLiteral("--hold"));
    const bool silent = args.contains(QStringLiteral("--silent"));
    const bool rawReply = args.contains(QStringLiteral("--err-text")) || args.contains(QStringLiteral("--no-err"));

    // Quit cleanly on SIGTERM/SIGINT so that the socket file is removed.
    struct sigaction sa = {};
    sa.sa_handler = [](int) { QCoreApplication::quit(); };
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    KP2LocalServer server;
    AgentRouter router;
    QLocalServer raw;
    if (silent || rawReply) {
        // Answers written by hand: nothing at all, or an "err" the framework's journal cannot express.
        QObject::connect(&raw, &QLocalServer::newConnection, [&] {
            while (QLocalSocket *conn = raw.nextPendingConnection()) {
                QObject::connect(conn, &QLocalSocket::disconnected, conn, &QObject::deleteLater);
                if (silent) continue;
                QObject::connect(conn, &QLocalSocket::readyRead, conn, [conn, &args] {
                    logRequest(conn->readAll().mid(KP2RpcPacket::HeaderSize));
                    QJsonObject answer{{"results", QJsonObject{{"machine", QJsonObject{{"sn", g_options.sn}}}}}};
                    if (args.contains(QStringLiteral("--err-text")))
                        answer.insert(QStringLiteral("err"), args.value(QStringLiteral("--err-text")));
                    conn->write(KP2RpcPacket(answer).toDatagram());
                    conn->flush();
                });
            }
        });
        QDir().mkpath(QFileInfo(socket).absolutePath());
        QLocalServer::removeServer(socket);
        if (!raw.listen(socket)) return 1;
    } else {
        server.add(&router);
        if (!server.start(socket)) return 1;
    }
    puts("ready");
    fflush(stdout);
    return app.exec();
}

#include "fake_agent.moc"
