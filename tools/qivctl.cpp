// qivctl: sends one request to a local RPC server and prints its reply as indented JSON.
// Exit status: 0 when the reply's "err" is 0, 1 for any other reply, 2 when no reply came (server unreachable, closed
// without answering, or silent until the timeout), 3 for a command line that cannot be understood.
#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <cstdlib>

#include "kp2localserver.h"

namespace {

enum ExitCode { ExitSuccess = 0, ExitFailedCommand = 1, ExitNoReply = 2, ExitUsage = 3 };

const char USAGE[] = R"(Usage:
  qivctl [--socket PATH] [--timeout SECONDS] COMMAND [KEY=VALUE | KEY:=JSON]...
  qivctl [--socket PATH] [--timeout SECONDS] --json REQUEST
  qivctl --help

Sends one request to the local RPC server listening on the socket PATH and prints
its reply as indented JSON on standard output.

Options:
  --socket PATH      the server's socket file (default: the QIVCTL_SOCKET environment
                     variable). A name without '/' is looked up in the temporary
                     directory, as the server places it.
  --timeout SECONDS  how long to wait for the reply, connecting included (default 60).
  --json REQUEST     send REQUEST, a JSON object, exactly as given; no COMMAND or
                     parameters may follow.
  --help, -h         show this text.
  --                 end of options (for a command that begins with '-').

Request building:
  COMMAND becomes "cmd"; every parameter goes into the "params" object.
  KEY=VALUE          VALUE is always a string: n=5 sends "5", flag=true sends "true".
  KEY:=JSON          JSON is parsed: n:=5 sends the number 5, flag:=true a boolean,
                     list:='["a","b"]' an array.
  A later parameter of the same KEY replaces an earlier one. Without parameters the
  request has no "params".

Exit status:
  0  the reply's "err" is 0
  1  a reply with any other "err" (or none)
  2  no reply: the socket could not be reached, the server closed the connection
     without a valid reply, or none came within the timeout (reported on stderr)
  3  the command line could not be understood

Examples:
  qivctl --socket /run/qiv.sock qivclient_zfsbackup dmpath=tank/data
      sends {"cmd":"qivclient_zfsbackup","params":{"dmpath":"tank/data"}}
  QIVCTL_SOCKET=/run/qiv.sock qivctl help_interfaces
  qivctl --socket /run/qiv.sock --timeout 5 --json '{"cmd":"qivclient_settingload"}'
  qivctl --socket /run/qiv.sock qivclient_settingload help:=1
      (a "help" parameter goes into "params"; to ask for a command's usage send
       --json '{"cmd":"qivclient_settingload","help":1}')
)";

int usageError(const QString &message) {
    std::fprintf(stderr, "qivctl: %s\nTry 'qivctl --help'.\n", message.toLocal8Bit().constData());
    return ExitUsage;
}

// Parses text as any JSON value (a scalar included).
bool parseJsonValue(const QString &text, QJsonValue &out) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson("[" + text.toUtf8() + "]", &error);
    if (error.error != QJsonParseError::NoError || doc.array().size() != 1) return false;
    out = doc.array().at(0);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);

    // The parser reads the options; the help is USAGE above, which also explains request building and exit status.
    // Options may stand anywhere, "--" ends them, and a word such as "n:=-5" is a parameter since it does not begin
    // with "-".
    QCommandLineParser parser;
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption socketOption(QStringLiteral("socket"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"), QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QString(), QStringLiteral("REQUEST"));
    parser.addOptions({helpOption, socketOption, timeoutOption, jsonOption});
    if (!parser.parse(arguments)) return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(USAGE, stdout);
        return ExitSuccess;
    }

    qint64 timeoutSeconds = 60;
    if (parser.isSet(timeoutOption)) {
        bool ok = false;
        timeoutSeconds = parser.value(timeoutOption).toLongLong(&ok);
        if (!ok || timeoutSeconds < 1)
            return usageError(QStringLiteral("--timeout needs a whole number of seconds, 1 or more"));
    }
    const QString socket =
        parser.isSet(socketOption) ? parser.value(socketOption) : QString::fromLocal8Bit(qgetenv("QIVCTL_SOCKET"));
    QStringList positional = parser.positionalArguments();

    if (socket.isEmpty()) return usageError(QStringLiteral("no socket: give --socket PATH or set QIVCTL_SOCKET"));

    QJsonObject request;
    if (parser.isSet(jsonOption)) {
        if (!positional.isEmpty())
            return usageError(QStringLiteral("--json takes the whole request; no command or parameters may follow"));
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(parser.value(jsonOption).toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            return usageError(QStringLiteral("--json needs a JSON object: %1")
                                  .arg(error.error != QJsonParseError::NoError ? error.errorString()
                                                                               : QStringLiteral("not an object")));
        request = doc.object();
    } else {
        if (positional.isEmpty()) return usageError(QStringLiteral("no command given"));
        request.insert(QStringLiteral("cmd"), positional.takeFirst());
        QJsonObject params;
        for (const QString &param : qAsConst(positional)) {
            const int eq = param.indexOf(QLatin1Char('='));
            if (eq <= 0) return usageError(QStringLiteral("parameter '%1' is not KEY=VALUE or KEY:=JSON").arg(param));
            QString key = param.left(eq);
            const QString text = param.mid(eq + 1);
            if (key.endsWith(QLatin1Char(':')) && key.size() > 1) {
                key.chop(1);
                QJsonValue value;
                if (!parseJsonValue(text, value))
                    return usageError(QStringLiteral("parameter '%1': '%2' is not JSON").arg(key, text));
                params.insert(key, value);
            } else {
                params.insert(key, text);
            }
        }
        if (!params.isEmpty()) request.insert(QStringLiteral("params"), params);
    }

    QElapsedTimer clock;
    clock.start();
    QJsonObject reply;
    if (!KP2LocalServer::localRequest(socket, request, &reply, timeoutSeconds)) {
        const QByteArray where = socket.toLocal8Bit();
        if (clock.elapsed() >= timeoutSeconds * 1000)
            std::fprintf(stderr, "qivctl: no reply from %s within %lld s\n", where.constData(),
                         static_cast<long long>(timeoutSeconds));
        else if (socket.contains(QLatin1Char('/')) && !QFileInfo::exists(socket))
            std::fprintf(stderr, "qivctl: cannot reach %s: no such socket\n", where.constData());
        else
            std::fprintf(stderr,
                         "qivctl: no reply from %s: the server could not be reached or closed the connection "
                         "without a valid reply\n",
                         where.constData());
        return ExitNoReply;
    }

    std::fputs(QJsonDocument(reply).toJson(QJsonDocument::Indented).constData(), stdout);
    const QJsonValue err = reply.value(QStringLiteral("err"));
    return err.isDouble() && err.toDouble() == 0 ? ExitSuccess : ExitFailedCommand;
}
