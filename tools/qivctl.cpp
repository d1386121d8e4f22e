// qivctl: sends one request to a local RPC server and prints its reply as indented JSON; "status", "backup",
// "prune" and "restore" show the daemon's backup status, run a backup, a prune and a restore for people.
// Exit status: 0 when the reply's "err" is 0, 1 for any other reply, 2 when no reply came (server unreachable, closed
// without answering, or silent until the timeout), 3 for a command line that cannot be understood.
#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <cstdio>
#include <cstdlib>

#include "kp2file.h"
#include "kp2localserver.h"
#include "progressline.h"
#include "statusformat.h"
#include "statusnames.h"

namespace {

enum ExitCode { ExitSuccess = 0, ExitFailedCommand = 1, ExitNoReply = 2, ExitUsage = 3 };

// How often --wait looks at the daemon's status.
constexpr unsigned long StatusPollMs = 300;

const char USAGE[] = R"(Usage:
  qivctl [OPTIONS] COMMAND [KEY=VALUE | KEY:=JSON]...
  qivctl [OPTIONS] --json REQUEST
  qivctl [OPTIONS] status [--raw | --metrics]
  qivctl [OPTIONS] backup DMPATH [--wait]
  qivctl [OPTIONS] restore SUBPATH DATASET [--staging DIR] [--wait]
  qivctl [OPTIONS] prune DMPATH [--keep N] [--dry-run]
  qivctl --help | --version

Sends one request to the local RPC server listening on the socket PATH and prints
its reply as indented JSON on standard output.

Options:
  --socket PATH      the server's socket file (default: the QIVCTL_SOCKET environment
                     variable, else the "localagentid" of the daemon's start-up
                     configuration). A name without '/' is looked up in the temporary
                     directory, as the server places it.
  --cfg FILE         the daemon's start-up configuration to take the socket from
                     (default: /ovra/etc/orvane/config.json below --root).
  --root DIR         the appliance root the daemon runs with (its --root).
  --timeout SECONDS  how long to wait for the reply, connecting included (default 60).
  --json REQUEST     send REQUEST, a JSON object, exactly as given; no COMMAND or
                     parameters may follow.
  --help, -h         show this text.
  --version          show qivctl's version.
  --                 end of options (for a command that begins with '-').

Backup status, backups and restores:
  status             the backup status as a table: per dataset the last success, its
                     age, the size, the failures since and the last error; then the
                     pending uploads and the recent restores.
    --raw            the daemon's reply as indented JSON instead.
    --metrics        the status in the Prometheus text format, for a node exporter's
                     text-file collector.
  backup DMPATH      takes a snapshot of the dataset DMPATH (e.g. tank/data) and
                     queues its upload; prints the snapshot's name once it exists.
    --wait           follows the upload with a progress line (bytes sent, rate,
                     elapsed time) until it ends; the exit status is then 0 only
                     when the object is stored, and a failed upload's reason goes
                     to standard error.
  restore SUBPATH DATASET
                     restores the backup SUBPATH (as the listings give it, e.g.
                     tank/data/qiv_20240501080910) into the new dataset DATASET.
    --staging DIR    where the daemon stages the download.
    --wait           follows the restore with a progress line until it ends; the
                     exit status is then 0 only when the restore is done.
                     An incremental backup is restored with its whole chain.
  prune DMPATH       removes the dataset's older backup chains from the store and
                     keeps the newest; never the chain of the machine's kept base.
    --keep N         chains to keep (default: the "keep" setting).
    --dry-run        only prints what would be removed.
  With --wait, progress is one line rewritten in place on a terminal; into a pipe or
  a file, a plain line every 5 seconds (QIVCTL_PROGRESS_INTERVAL, in seconds,
  changes that) and one at the end.

Request building:
  COMMAND becomes "cmd"; every parameter goes into the "params" object.
  KEY=VALUE          VALUE is always a string: n=5 sends "5", flag=true sends "true".
  KEY:=JSON          JSON is parsed: n:=5 sends the number 5, flag:=true a boolean,
                     list:='["a","b"]' an array.
  A later parameter of the same KEY replaces an earlier one. Without parameters the
  request has no "params".

Exit status:
  0  the reply's "err" is 0 (with --wait: the backup is stored, the restore is done)
  1  a reply with any other "err" (or none); a backup or restore that failed
  2  no reply: the socket could not be reached, the server closed the connection
     without a valid reply, or none came within the timeout (reported on stderr)
  3  the command line could not be understood

Examples:
  qivctl --socket /run/qiv.sock qivclient_zfsbackup dmpath=tank/data
      sends {"cmd":"qivclient_zfsbackup","params":{"dmpath":"tank/data"}}
  QIVCTL_SOCKET=/run/qiv.sock qivctl help_interfaces
  qivctl status
  qivctl backup tank/data --wait
  qivctl restore tank/data/qiv_20240501080910 tank/restored --wait
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

// The socket the daemon listens on: "localagentid" of its start-up configuration, found as the daemon finds it.
QString socketOfDaemon(const QString &cfg, const QString &root, QString *tried) {
    const QString below = root == QLatin1String("/") ? QString() : root;
    *tried = cfg.isEmpty() ? below + QStringLiteral("/ovra/etc/orvane/config.json") : cfg;
    return KP2File::readJsonObject(*tried).value(QStringLiteral("localagentid")).toString();
}

// One request; false after saying on standard error why no reply came.
bool ask(const QString &socket, const QJsonObject &request, qint64 timeoutSeconds, QJsonObject *reply) {
    QElapsedTimer clock;
    clock.start();
    if (KP2LocalServer::localRequest(socket, request, reply, timeoutSeconds)) return true;
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
    return false;
}

bool succeeded(const QJsonObject &reply) {
    const QJsonValue err = reply.value(QStringLiteral("err"));
    return err.isDouble() && err.toDouble() == 0;
}

int refused(const QJsonObject &reply) {
    std::fprintf(stderr, "qivctl: refused: err %d %s\n", reply.value(QStringLiteral("err")).toInt(),
                 reply.value(QStringLiteral("errmsg")).toString().toLocal8Bit().constData());
    return ExitFailedCommand;
}

void print(const QString &text) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

int pruneCommand(const QString &socket, qint64 timeoutSeconds, const QStringList &args, const QString &keep,
                 bool dryRun) {
    if (args.size() != 1) return usageError(QStringLiteral("prune needs DMPATH"));
    QJsonObject params{{"dmpath", args.at(0)}};
    if (!keep.isEmpty()) {
        bool ok = false;
        const int n = keep.toInt(&ok);
        if (!ok || n < 1) return usageError(QStringLiteral("--keep needs a whole number of chains, 1 or more"));
        params.insert(QStringLiteral("keep"), n);
    }
    if (dryRun) params.insert(QStringLiteral("dryrun"), true);
    QJsonObject reply;
    if (!ask(socket, QJsonObject{{"cmd", "qivclient_remote_prune"}, {"params", params}}, timeoutSeconds, &reply))
        return ExitNoReply;
    if (!succeeded(reply)) return refused(reply);
    const QJsonObject results = reply.value(QStringLiteral("results")).toObject();
    const QJsonArray gone = results.value(dryRun ? QStringLiteral("wouldremove") : QStringLiteral("removed")).toArray();
    QString out = dryRun ? QStringLiteral("would remove %1 objects\n") : QStringLiteral("removed %1 objects\n");
    out = out.arg(gone.size());
    for (const QJsonValue &v : gone) out += QStringLiteral("  ") + v.toString() + QLatin1Char('\n');
    out += QStringLiteral("kept %1 objects\n").arg(results.value(QStringLiteral("kept")).toArray().size());
    print(out);
    return ExitSuccess;
}

enum class StatusForm { Table, Raw, Metrics };

int statusCommand(const QString &socket, qint64 timeoutSeconds, StatusForm form) {
    QJsonObject reply;
    if (!ask(socket, QJsonObject{{"cmd", "qivclient_status"}}, timeoutSeconds, &reply)) return ExitNoReply;
    if (form == StatusForm::Raw) {
        print(QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Indented)));
        return succeeded(reply) ? ExitSuccess : ExitFailedCommand;
    }
    if (!succeeded(reply)) return refused(reply);
    const QJsonObject status = reply.value(QStringLiteral("results")).toObject();
    print(form == StatusForm::Metrics ? statusformat::metrics(status)
                                      : statusformat::table(status, QDateTime::currentDateTime()));
    return ExitSuccess;
}

int restoreCommand(const QString &socket, qint64 timeoutSeconds, const QStringList &args, const QString &staging,
                   bool wait, qint64 progressIntervalMs) {
    if (args.size() != 2) return usageError(QStringLiteral("restore needs SUBPATH and DATASET"));
    QJsonObject params{{"subpath", args.at(0)}, {"dataset", args.at(1)}};
    // The daemon takes only absolute directories: its working directory is not the caller's.
    if (!staging.isEmpty()) params.insert(QStringLiteral("staging"), QDir(staging).absolutePath());
    QJsonObject reply;
    if (!ask(socket, QJsonObject{{"cmd", "qivclient_remote_restore"}, {"params", params}}, timeoutSeconds, &reply))
        return ExitNoReply;
    if (!succeeded(reply)) return refused(reply);
    const int id = reply.value(QStringLiteral("results")).toObject().value(QStringLiteral("id")).toInt();
    print(QStringLiteral("restore %1: queued\n").arg(id));
    if (!wait) return ExitSuccess;

    // Follows the restore for as long as it runs: a restore of a large backup takes hours, and each look is bounded
    // by the request timeout, so a daemon that goes away ends the wait.
    ProgressLine progress = ProgressLine::onStandardOutput(progressIntervalMs);
    for (;;) {
        QThread::msleep(StatusPollMs);
        if (!ask(socket, QJsonObject{{"cmd", "qivclient_status"}}, timeoutSeconds, &reply)) return ExitNoReply;
        QJsonObject restore;
        for (const QJsonValue &v :
             reply.value(QStringLiteral("results")).toObject().value(statusnames::Restores).toArray())
            if (v.toObject().value(statusnames::Id).toInt() == id) restore = v.toObject();
        if (restore.isEmpty()) {
            std::fprintf(stderr, "qivctl: restore %d is no longer in the daemon's status\n", id);
            return ExitFailedCommand;
        }
        const QString line = statusformat::restoreLine(restore);
        const QString state = restore.value(statusnames::State).toString();
        if (!statusnames::isFinished(state)) {
            progress.show(line);
            continue;
        }
        progress.finish(line);
        return state == statusnames::toString(statusnames::RestoreState::Done) ? ExitSuccess : ExitFailedCommand;
    }
}

// The outcome of a backup whose upload has ended, from its dataset's record: the upload that ended last set
// "lastSnapshot", and "failures" is 0 only after a stored upload.
int backupOutcome(const QString &snapshot, const QJsonObject &record, qint64 elapsedMs, ProgressLine *progress) {
    const QString took = statusformat::duration(elapsedMs);
    const QByteArray name = snapshot.toLocal8Bit();
    if (record.value(statusnames::LastSnapshot).toString() != snapshot) {
        progress->finish(QStringLiteral("%1: ended, %2").arg(snapshot, took));
        std::fprintf(stderr, "qivctl: a later backup of the dataset took the place of %s in the status\n",
                     name.constData());
        return ExitFailedCommand;
    }
    if (record.value(statusnames::Failures).toInt() == 0) {
        const QJsonValue size = record.value(statusnames::LastSize);
        progress->finish(
            QStringLiteral("%1: stored, %2, %3")
                .arg(snapshot,
                     size.isDouble() ? statusformat::bytes(qint64(size.toDouble())) : QStringLiteral("size not listed"),
                     took));
        return ExitSuccess;
    }
    progress->finish(QStringLiteral("%1: failed, %2").arg(snapshot, took));
    std::fprintf(stderr, "qivctl: the upload of %s failed: %s\n", name.constData(),
                 record.value(statusnames::LastError).toString().toLocal8Bit().constData());
    return ExitFailedCommand;
}

int backupCommand(const QString &socket, qint64 timeoutSeconds, const QStringList &args, bool wait,
                  qint64 progressIntervalMs) {
    if (args.size() != 1) return usageError(QStringLiteral("backup needs DMPATH"));
    QJsonObject reply;
    if (!ask(socket, QJsonObject{{"cmd", "qivclient_zfsbackup"}, {"params", QJsonObject{{"dmpath", args.at(0)}}}},
             timeoutSeconds, &reply))
        return ExitNoReply;
    if (!succeeded(reply)) return refused(reply);
    const QString snapshot = reply.value(QStringLiteral("results")).toObject().value(statusnames::Snapshot).toString();
    if (snapshot.isEmpty()) {
        std::fprintf(stderr, "qivctl: the daemon took the snapshot but did not name it\n");
        return wait ? ExitFailedCommand : ExitSuccess;
    }
    print(QStringLiteral("backup: snapshot %1 taken\n").arg(snapshot));
    if (!wait) return ExitSuccess;

    // Follows the upload for as long as it is pending: a large snapshot uploads for hours, and one queued behind
    // others waits for them. Each look is bounded by the request timeout, so a daemon that goes away ends the wait.
    const QString dataset = snapshot.left(snapshot.indexOf(QLatin1Char('@')));
    ProgressLine progress = ProgressLine::onStandardOutput(progressIntervalMs);
    QElapsedTimer clock;
    clock.start();
    // The rate is taken when the bytes change: the daemon reads them about once a second, and a rate taken between
    // two readings would sink and jump back.
    qint64 uploadingSince = -1;
    qint64 bytesShown = -1;
    qint64 bytesSeenAt = 0;
    for (;;) {
        if (!ask(socket, QJsonObject{{"cmd", "qivclient_status"}}, timeoutSeconds, &reply)) return ExitNoReply;
        if (!succeeded(reply)) return refused(reply);
        const QJsonObject status = reply.value(QStringLiteral("results")).toObject();
        QJsonObject upload;
        for (const QJsonValue &v : status.value(statusnames::Uploads).toArray())
            if (v.toObject().value(statusnames::Snapshot).toString() == snapshot) upload = v.toObject();
        // Gone from the pending uploads: its upload has ended and the dataset's record holds the outcome.
        if (upload.isEmpty())
            return backupOutcome(snapshot, status.value(statusnames::Datasets).toObject().value(dataset).toObject(),
                                 clock.elapsed(), &progress);
        const bool uploading =
            upload.value(statusnames::State).toString() == statusnames::toString(statusnames::UploadState::Uploading);
        if (uploading && uploadingSince < 0) uploadingSince = clock.elapsed();
        const qint64 bytes = qint64(upload.value(statusnames::Bytes).toDouble());
        if (uploading && bytes != bytesShown) {
            bytesShown = bytes;
            bytesSeenAt = clock.elapsed();
        }
        progress.show(statusformat::uploadLine(upload, clock.elapsed(), uploading ? bytesSeenAt - uploadingSince : 0));
        QThread::msleep(StatusPollMs);
    }
}

// The pipe interval of progress lines: QIVCTL_PROGRESS_INTERVAL seconds (a fraction allowed), else the default.
qint64 progressInterval() {
    bool ok = false;
    const double seconds = qEnvironmentVariable("QIVCTL_PROGRESS_INTERVAL").toDouble(&ok);
    return ok && seconds >= 0 ? qint64(seconds * 1000) : ProgressLine::DefaultIntervalMs;
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
    const QCommandLineOption versionOption(QStringLiteral("version"), QString());
    const QCommandLineOption socketOption(QStringLiteral("socket"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"), QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QString(), QStringLiteral("REQUEST"));
    const QCommandLineOption cfgOption(QStringLiteral("cfg"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption rootOption(QStringLiteral("root"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption rawOption(QStringLiteral("raw"), QString());
    const QCommandLineOption metricsOption(QStringLiteral("metrics"), QString());
    const QCommandLineOption waitOption(QStringLiteral("wait"), QString());
    const QCommandLineOption stagingOption(QStringLiteral("staging"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption keepOption(QStringLiteral("keep"), QString(), QStringLiteral("N"));
    const QCommandLineOption dryRunOption(QStringLiteral("dry-run"), QString());
    parser.addOptions({helpOption, versionOption, socketOption, timeoutOption, jsonOption, cfgOption, rootOption,
                       rawOption, metricsOption, waitOption, stagingOption, keepOption, dryRunOption});
    if (!parser.parse(arguments)) return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(USAGE, stdout);
        return ExitSuccess;
    }
    if (parser.isSet(versionOption)) {
        std::fputs("qivctl " QIV_VERSION "\n", stdout);
        return ExitSuccess;
    }

    qint64 timeoutSeconds = 60;
    if (parser.isSet(timeoutOption)) {
        bool ok = false;
        timeoutSeconds = parser.value(timeoutOption).toLongLong(&ok);
        if (!ok || timeoutSeconds < 1)
            return usageError(QStringLiteral("--timeout needs a whole number of seconds, 1 or more"));
    }
    QString socket =
        parser.isSet(socketOption) ? parser.value(socketOption) : QString::fromLocal8Bit(qgetenv("QIVCTL_SOCKET"));
    QStringList positional = parser.positionalArguments();

    if (socket.isEmpty()) {
        QString tried;
        socket = socketOfDaemon(parser.value(cfgOption), parser.value(rootOption), &tried);
        if (socket.isEmpty())
            return usageError(
                QStringLiteral("no socket: give --socket PATH, set QIVCTL_SOCKET, or point --cfg/--root at the "
                               "daemon's configuration (%1 names no \"localagentid\")")
                    .arg(tried));
    }

    const QString command = parser.isSet(jsonOption) ? QString() : positional.value(0);
    if (command == QLatin1String("status")) {
        if (positional.size() > 1 || (parser.isSet(rawOption) && parser.isSet(metricsOption)))
            return usageError(QStringLiteral("status takes either --raw or --metrics and nothing else"));
        return statusCommand(socket, timeoutSeconds,
                             parser.isSet(rawOption)       ? StatusForm::Raw
                             : parser.isSet(metricsOption) ? StatusForm::Metrics
                                                           : StatusForm::Table);
    }
    if (command == QLatin1String("restore"))
        return restoreCommand(socket, timeoutSeconds, positional.mid(1), parser.value(stagingOption),
                              parser.isSet(waitOption), progressInterval());
    if (command == QLatin1String("backup"))
        return backupCommand(socket, timeoutSeconds, positional.mid(1), parser.isSet(waitOption), progressInterval());
    if (command == QLatin1String("prune"))
        return pruneCommand(socket, timeoutSeconds, positional.mid(1), parser.value(keepOption),
                            parser.isSet(dryRunOption));

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

    QJsonObject reply;
    if (!ask(socket, request, timeoutSeconds, &reply)) return ExitNoReply;
    std::fputs(QJsonDocument(reply).toJson(QJsonDocument::Indented).constData(), stdout);
    return succeeded(reply) ? ExitSuccess : ExitFailedCommand;
}
