#include "orvtool.h"

#include <QDate>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTime>

#include "backupname.h"
#include "kp2linux/lnx2utils.h"
#include "kp2utils.h"
#include "pipelineio.h"
#include "toolprocess.h"

const QString OrvTool::Alias = QStringLiteral("myorvane");

namespace {

// How often a watched fetch reports the bytes staged so far and looks at the stop request.
constexpr int FetchPollMs = 500;

// A command of the upload pipeline, run through setpriv so that it is killed when its parent (the shell) ends.
QString killedWithParent(const QString &command) {
    return QStringLiteral("setpriv --pdeathsig KILL ") + command;
}

// Keeps the last OrvTool::UploadTailBytes of what a long run printed: memory stays bounded however long it runs.
void keepTail(QByteArray *tail, const QByteArray &more) {
    tail->append(more);
    if (tail->size() > OrvTool::UploadTailBytes) tail->remove(0, tail->size() - OrvTool::UploadTailBytes);
}

// The tail as one readable text: the terminal's CR LF line ends undone, blank edges trimmed.
QString tailText(const QByteArray &tail) {
    return QString::fromUtf8(tail).remove(QLatin1Char('\r')).trimmed();
}

void copyIfPresent(const QJsonObject &from, QJsonObject *to, const QString &key) {
    const auto it = from.constFind(key);
    if (it != from.constEnd()) to->insert(key, it.value());
}

// An incremental backup's entry names the backup it was sent from: "base" = "qiv_<B>".
void addBase(const QString &file, QJsonObject *entry) {
    BackupName name;
    if (BackupName::parse(file, &name) && name.isIncremental()) entry->insert(QStringLiteral("base"), name.base());
}

}  // namespace

OrvTool::OrvTool(const QString &toolPath, const OrvToolWaits &waits) : m_toolPath(toolPath), m_waits(waits) {}

bool OrvTool::aliasExport(QJsonObject *object, QByteArray *standardError) const {
    QByteArray out;
    const bool ok = toolprocess::run(m_toolPath, {QStringLiteral("alias"), QStringLiteral("export"), Alias},
                                     m_waits.exportStart, m_waits.exportFinish, m_waits.slice, &out, standardError);
    if (ok && object) *object = parseJson(out).object();  // not an object → empty object
    return ok;
}

bool OrvTool::aliasRemove() const {
    return toolprocess::run(m_toolPath, {QStringLiteral("alias"), QStringLiteral("remove"), Alias}, m_waits.removeStart,
                            -1, m_waits.slice, nullptr, nullptr);
}

bool OrvTool::aliasSet(const QString &url, const QString &accessKey, const QString &secretKey,
                       QByteArray *standardError) const {
    return toolprocess::run(m_toolPath,
                            {QStringLiteral("alias"), QStringLiteral("set"), Alias, url, accessKey, secretKey},
                            m_waits.setStart, m_waits.setFinish, m_waits.slice, nullptr, standardError);
}

bool OrvTool::ls(const QString &path, QByteArray *standardOutput, QByteArray *standardError) const {
    return toolprocess::run(m_toolPath,
                            {QStringLiteral("ls"), QStringLiteral("--recursive"), QStringLiteral("--json"), path},
                            m_waits.lsStart, m_waits.lsFinish, m_waits.slice, standardOutput, standardError);
}

bool OrvTool::rm(const QString &path, QByteArray *standardError) const {
    return toolprocess::run(m_toolPath, {QStringLiteral("rm"), path}, m_waits.rmStart, m_waits.rmFinish, m_waits.slice,
                            nullptr, standardError);
}

bool OrvTool::get(const QString &path, const QString &target, QByteArray *standardError) const {
    return toolprocess::run(m_toolPath, {QStringLiteral("get"), path, target}, m_waits.getStart, -1, m_waits.slice,
                            nullptr, standardError);
}

bool OrvTool::ensureAlias(const QString &url, const QString &accessKey, const QString &secretKey,
                          QByteArray *standardError) const {
    QJsonObject exported;
    if (aliasExport(&exported)) {
        // A missing or non-string value reads as "", so it matches only an empty setting (which callers refuse).
        if (exported.value(QStringLiteral("url")).toString() == url &&
            exported.value(QStringLiteral("accessKey")).toString() == accessKey &&
            exported.value(QStringLiteral("secretKey")).toString() == secretKey)
            return true;
        // The tool keeps a stale alias: drop it first so that the set starts from a clean entry.
        aliasRemove();
    }
    // An export that fails means there is no usable alias; the set alone creates it.
    return aliasSet(url, accessKey, secretKey, standardError);
}

bool OrvTool::fetch(const QString &path, const QString &target, const FetchHooks &hooks, QString *toolSaid,
                    QString *reason) const {
    const QStringList args{QStringLiteral("get"), path, target};
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(m_toolPath, args);
    if (!process.waitForStarted(m_waits.getStart)) {
        *reason = QStringLiteral("the tool did not start: ") + process.errorString();
        toolprocess::giveUp(process);
        return false;
    }
    // No overall limit: the fetch lasts as long as the object takes to arrive; it is watched every FetchPollMs.
    qint64 reported = -1;
    const auto report = [&] {
        const qint64 bytes = QFileInfo(target).size();
        if (bytes != reported && hooks.progress) hooks.progress(bytes);
        reported = bytes;
    };
    if (!toolprocess::waitWatched(process, FetchPollMs, hooks.stopRequested, report)) {
        *reason = QStringLiteral("stopped while fetching");
        return false;
    }
    report();
    *toolSaid = QString::fromUtf8(process.readAllStandardError()).trimmed();
    return true;
}

bool OrvTool::listedSize(const QString &path, qint64 *size, QString *why) const {
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString folder = path.left(slash);
    const QString name = path.mid(slash + 1);
    QByteArray output;
    QByteArray standardError;
    if (!ls(folder, &output, &standardError)) {
        *why = QStringLiteral("listing %1 failed: %2").arg(folder, QString::fromUtf8(standardError).trimmed());
        return false;
    }
    for (const QJsonValue &v : parseListing(output)) {
        const QJsonObject line = v.toObject();
        if (line.value(QStringLiteral("key")).toString() != name) continue;
        const QJsonValue listed = line.value(QStringLiteral("size"));
        if (!listed.isDouble() || listed.toDouble() < 0) break;
        *size = qint64(listed.toDouble());
        return true;
    }
    *why = QStringLiteral("the store lists no object %1 with a size").arg(path);
    return false;
}

QString OrvTool::uploadCommandLine(const Stream &stream, const QString &remotePath) const {
    // Every word that comes from outside is quoted, so a dataset name with blanks, quotes, ";", "$(...)" or
    // backquotes is one argument to its program and never runs anything. pipefail makes the line's status the
    // failure of any command: a broken `zfs send` as well as a tool that could not store the stream.
    Stream commands = stream;
    commands.append({m_toolPath, QStringLiteral("pipe"), remotePath});
    const QString pipeline = toolprocess::pipelineLine(commands);
    // No part of the pipeline may outlive the daemon: a restarted daemon uploads the same snapshot again, and an
    // orphaned upload would race it to the same object. `script` dies with the daemon (started by setpriv), the
    // shell that `script` starts replaces itself by one that dies with `script`, and every command of the pipe dies
    // with that shell (setpriv's parent-death signal survives its exec). A hangup alone would not do: a program
    // that ignores SIGHUP would keep streaming.
    return QStringLiteral("exec ") + killedWithParent(QStringLiteral("/bin/bash -c ") + toShellArgEscaped(pipeline));
}

bool OrvTool::upload(const Stream &stream, const QString &remotePath, QString *failure,
                     const std::function<void(qint64 bytesSent)> &progress) const {
    // Messages name the stream by its source's last word: the snapshot that `zfs send` sends.
    const QString source = stream.isEmpty() || stream.first().isEmpty() ? QString() : stream.first().last();
    // `script` runs the line in a shell under a pseudo-terminal. "-e" returns the line's exit status,
    // "-q" drops script's own banners, and "/dev/null" as the typescript keeps script from writing a "typescript"
    // file into the working directory. bash is named through SHELL because pipefail is a bash option.
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/bash"));
    process.setProcessEnvironment(env);
    // The programs' messages reach script's terminal and come out on its standard output. They are read as they
    // come and only their tail is kept: an upload of many hours must not collect its output in memory.
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QString commandLine = uploadCommandLine(stream, remotePath);
    // setpriv gives `script` a parent-death signal and execs it: the kernel kills it when the thread that started it
    // ends, and so when the daemon dies however it dies. Setting that in QProcess's child instead would make Qt fork
    // rather than vfork, and a forked child of a threaded process may hang before its exec (seen under
    // ThreadSanitizer).
    process.start(QStringLiteral("setpriv"), {QStringLiteral("--pdeathsig"), QStringLiteral("KILL"),
                                              QStringLiteral("script"), QStringLiteral("-q"), QStringLiteral("-e"),
                                              QStringLiteral("-c"), commandLine, QStringLiteral("/dev/null")});
    if (!process.waitForStarted(m_waits.uploadStart)) {
        // Nothing ran, so nothing can have been stored.
        const QString why = process.errorString();
        toolprocess::giveUp(process);
        if (failure)
            *failure = QStringLiteral("upload of %1 to %2: script did not start: %3").arg(source, remotePath, why);
        return false;
    }
    // No overall limit: the stream is as long as the snapshot, and only its end tells success from failure. With a
    // progress hook each wait is at most UploadProgressMs, and the source's counters are read once per such period.
    QByteArray tail;
    QElapsedTimer sinceReport;
    sinceReport.start();
    qint64 reported = -1;
    while (process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(progress ? qMin(m_waits.slice, UploadProgressMs) : m_waits.slice);
        keepTail(&tail, process.readAll());
        if (!progress || sinceReport.elapsed() < UploadProgressMs) continue;
        sinceReport.restart();
        // Only growth is reported: once the source has ended, the next stage reads on and its counter counts
        // something else.
        const qint64 sent = pipelineio::streamBytesRead(process.processId());
        if (sent <= reported) continue;
        reported = sent;
        progress(sent);
    }
    keepTail(&tail, process.readAll());
    if (toolprocess::succeeded(process)) return true;

    QString why = process.exitStatus() == QProcess::NormalExit
                      ? QStringLiteral("the upload line failed, exit code %1").arg(process.exitCode())
                      : QStringLiteral("script crashed");
    const QString said = tailText(tail);
    if (!said.isEmpty()) why += QStringLiteral(": ") + said;
    // The tool keeps whatever it received before the source broke off; such a truncated stream must not be taken
    // for a backup later, so it goes.
    QByteArray rmError;
    if (rm(remotePath, &rmError))
        why += QStringLiteral("; the partial object was removed");
    else
        why += QStringLiteral("; no object removed: ") + QString::fromUtf8(rmError).trimmed();
    if (failure) *failure = QStringLiteral("upload of %1 to %2: %3").arg(source, remotePath, why);
    return false;
}

QJsonArray OrvTool::parseListing(const QByteArray &standardOutput) {
    // The text ends at the first NUL. Decoding turns ill-formed UTF-8 into U+FFFD and drops a leading byte-order
    // mark, so a stray byte spoils one string and not the whole listing (the JSON reader refuses ill-formed UTF-8).
    const int nul = standardOutput.indexOf('\0');
    QString text = QString::fromUtf8(standardOutput.constData(), nul < 0 ? standardOutput.size() : nul);
    text.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
    // Split and join rather than replace(): QString::replace moves the rest of the text once per 1024 matches,
    // which grows with the square of the listing (every line is one match).
    text = QLatin1Char('[') + text.split(QLatin1String("}{")).join(QLatin1String("},{")) + QLatin1Char(']');

    const QJsonArray all = parseJson(text.toUtf8()).array();  // does not parse → empty array
    QJsonArray files;
    for (const QJsonValue &v : all) {
        const QJsonObject line = v.toObject();  // a non-object reads as an empty object and is dropped below
        if (line.value(QStringLiteral("type")).toString() == QLatin1String("file") &&
            line.value(QStringLiteral("status")).toString() == QLatin1String("success"))
            files.append(line);
    }
    return files;
}

QString OrvTool::listingTime(const QJsonValue &lastModified) {
    // Date and time are read apart, never as a local date-time: the stamp is copied, not converted, so a wall-clock
    // time that does not exist locally (a daylight-saving gap) must still come out as written. The ISO forms, not
    // format strings: a format string builds a general date-time parser on every call, which made a listing of
    // 10,000 objects take ten times as long.
    const QString written = lastModified.toString().left(19);
    if (written.size() != 19 || written.at(10) != QLatin1Char('T')) return QString();
    const QDate date = QDate::fromString(written.left(10), Qt::ISODate);
    const QTime time = QTime::fromString(written.mid(11), Qt::ISODate);
    if (!date.isValid() || !time.isValid()) return QString();
    const QString formatted = date.toString(Qt::ISODate) + QLatin1Char(' ') + time.toString(Qt::ISODate);
    // The parsers are lenient (a sign before a field, "+024-05-01", other separators); only the stamp exactly as
    // written counts.
    return QString(written).replace(10, 1, QLatin1Char(' ')) == formatted ? formatted : QString();
}

bool OrvTool::alloadEntry(const QJsonObject &line, QString *dmpath, QJsonObject *entry) {
    // Exactly three parts split at "/", empty parts counted: two slashes, the third part starting with "qiv_".
    const QString key = line.value(QStringLiteral("key")).toString();
    const int first = key.indexOf(QLatin1Char('/'));
    const int second = first < 0 ? -1 : key.indexOf(QLatin1Char('/'), first + 1);
    if (second < 0 || key.indexOf(QLatin1Char('/'), second + 1) >= 0) return false;
    const QString file = key.mid(second + 1);
    if (!file.startsWith(QLatin1String("qiv_"))) return false;
    *dmpath = key.left(second);
    QJsonObject e;
    e.insert(QStringLiteral("subpath"), key);
    e.insert(QStringLiteral("dmpath"), *dmpath);
    e.insert(QStringLiteral("file"), file);
    addBase(file, &e);
    e.insert(QStringLiteral("time"), listingTime(line.value(QStringLiteral("lastModified"))));
    copyIfPresent(line, &e, QStringLiteral("size"));
    copyIfPresent(line, &e, QStringLiteral("url"));
    *entry = e;
    return true;
}

void OrvTool::addAlloadEntries(const QJsonArray &lines, QJsonObject *result) {
    // Collect per dataset first and write each array once: appending to an array stored inside the object would
    // copy the whole array for every entry.
    QHash<QString, QJsonArray> groups;
    QStringList order;
    for (const QJsonValue &v : lines) {
        QString dmpath;
        QJsonObject entry;
        if (!alloadEntry(v.toObject(), &dmpath, &entry)) continue;
        auto it = groups.find(dmpath);
        if (it == groups.end()) {
            it = groups.insert(dmpath, result->value(dmpath).toArray());  // earlier entries first
            order.append(dmpath);
        }
        it->append(entry);
    }
    for (const QString &dmpath : order) result->insert(dmpath, groups.take(dmpath));
}

bool OrvTool::loadbyEntry(const QJsonObject &line, const QString &dmpath, QJsonObject *entry) {
    const QString key = line.value(QStringLiteral("key")).toString();
    if (!key.startsWith(QLatin1String("qiv_"))) return false;
    QJsonObject e;
    e.insert(QStringLiteral("subpath"), key);
    e.insert(QStringLiteral("dmpath"), dmpath + QLatin1Char('/') + key);
    e.insert(QStringLiteral("file"), key);
    addBase(key, &e);
    e.insert(QStringLiteral("time"), listingTime(line.value(QStringLiteral("lastModified"))));
    copyIfPresent(line, &e, QStringLiteral("size"));
    copyIfPresent(line, &e, QStringLiteral("url"));
    *entry = e;
    return true;
}

QJsonArray OrvTool::loadbyEntries(const QJsonArray &lines, const QString &dmpath) {
    QJsonArray entries;
    for (const QJsonValue &v : lines) {
        QJsonObject entry;
        if (loadbyEntry(v.toObject(), dmpath, &entry)) entries.append(entry);
    }
    return entries;
}
