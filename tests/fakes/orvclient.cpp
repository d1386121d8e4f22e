// Stand-in for the object-store tool, for tests and the demo only (never shipped). It honours the tool's contract
// and keeps its state in the directory named by QIV_FAKE_ORV_DIR:
//   aliases/<alias>.json                    {"url", "accessKey", "secretKey"}
//   objects/<alias>/<bucket>/<key parts>    one file per stored object
// Commands:
//   alias export ALIAS | alias remove ALIAS | alias set ALIAS URL ACCESS-KEY SECRET-KEY
//   ls --recursive --json PATH   one JSON object per object below the folder PATH ("type", "status", "key" relative
//                                to PATH, "lastModified" from the file time, "size", "url"); lines end in CR LF
//                                when the file "crlf" exists, and follow each other with no break when "packed" does
//   rm PATH | get PATH TARGET | pipe PATH (stores standard input, keeping whatever arrived before end of input)
// A remote path is ALIAS/BUCKET/KEY; its alias must exist, and empty, "." and ".." parts are refused.
// Every call appends its arguments as a JSON array line to calls.log. A file "fail-<command>" ("fail-export",
// "fail-set", "fail-remove", "fail-ls", "fail-rm", "fail-get", "fail-pipe") makes that command write the file's
// content to standard error and exit 1; "delay-<command>" holds milliseconds to sleep first. A file "half-get" makes
// "get" write only the first half of the object and still exit 0. "slow-pipe" holds milliseconds that "pipe" sleeps
// after storing each piece it reads, so that an upload can be caught in the middle whatever feeds it. With a file
// "hold-ls", "ls" creates "ls-held" once its output is written and then waits (a minute at most) until
// "release-ls" exists, so that a test can change the store while a listing is under way.

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QStringList>
#include <algorithm>
#include <vector>

#include "fakesupport.h"

namespace {

QString g_state;

int fail(const QString &message) {
    fake::writeErr(QStringLiteral("orvclient: ") + message + QLatin1Char('\n'));
    return 1;
}

bool validAliasName(const QString &alias) {
    return !alias.isEmpty() && !alias.contains(QLatin1Char('/')) && alias != QLatin1String(".") &&
           alias != QLatin1String("..");
}

QString aliasFile(const QString &alias) {
    return g_state + QStringLiteral("/aliases/") + alias + QStringLiteral(".json");
}

QJsonObject readAlias(const QString &alias) {
    QFile f(aliasFile(alias));
    if (!f.open(QIODevice::ReadOnly)) return QJsonObject();
    return QJsonDocument::fromJson(f.readAll()).object();
}

// A parsed remote path: its alias, and the object's file (or, for a folder, directory) below the state.
struct Remote {
    QString alias;
    QString bucketAndKey;  // "bucket/key..." as given, without a final "/"
    QString file;
};

// Checks PATH and maps it to the state. folder: PATH may end in "/" and may name just the bucket.
bool parseRemote(const QString &path, bool folder, Remote *remote, QString *why) {
    QStringList parts = path.split(QLatin1Char('/'));
    if (folder && parts.size() > 2 && parts.last().isEmpty()) parts.removeLast();
    for (const QString &p : parts) {
        if (p.isEmpty() || p == QLatin1String(".") || p == QLatin1String("..")) {
            *why = QStringLiteral("invalid path '%1': empty, '.' or '..' part").arg(path);
            return false;
        }
    }
    if (parts.size() < (folder ? 2 : 3)) {
        *why = QStringLiteral("invalid path '%1': expected ALIAS/BUCKET/KEY").arg(path);
        return false;
    }
    remote->alias = parts.takeFirst();
    if (!QFileInfo::exists(aliasFile(remote->alias))) {
        *why = QStringLiteral("alias '%1' does not exist").arg(remote->alias);
        return false;
    }
    remote->bucketAndKey = parts.join(QLatin1Char('/'));
    remote->file = g_state + QStringLiteral("/objects/") + remote->alias + QLatin1Char('/') + remote->bucketAndKey;
    return true;
}

int aliasCommand(const QStringList &args) {
    const QString sub = args.value(1);
    const QString alias = args.value(2);
    if (!validAliasName(alias)) return fail(QStringLiteral("invalid alias name '%1'").arg(alias));
    if (sub == QLatin1String("export") && args.size() == 3) {
        QFile f(aliasFile(alias));
        if (!f.open(QIODevice::ReadOnly)) return fail(QStringLiteral("alias '%1' does not exist").arg(alias));
        const QByteArray text = f.readAll();
        return fake::writeAll(1, text.constData(), text.size()) ? 0 : 1;
    }
    if (sub == QLatin1String("remove") && args.size() == 3) {
        if (!QFile::remove(aliasFile(alias))) return fail(QStringLiteral("alias '%1' does not exist").arg(alias));
        return 0;
    }
    if (sub == QLatin1String("set") && args.size() == 6) {
        QJsonObject o;
        o.insert(QStringLiteral("url"), args.at(3));
        o.insert(QStringLiteral("accessKey"), args.at(4));
        o.insert(QStringLiteral("secretKey"), args.at(5));
        QDir().mkpath(g_state + QStringLiteral("/aliases"));
        QFile f(aliasFile(alias));
        if (!f.open(QIODevice::WriteOnly)) return fail(QStringLiteral("cannot store alias '%1'").arg(alias));
        f.write(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n');
        return 0;
    }
    return fail(QStringLiteral("usage: alias export|remove ALIAS, alias set ALIAS URL ACCESS-KEY SECRET-KEY"));
}

QString isoTime(const QDateTime &local) {
    // Local time with milliseconds and its offset, always as "+hh:mm" (also for UTC), e.g.
    // 2024-05-01T08:09:10.123+08:00.
    const int offset = local.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

int ls(const QStringList &args) {
    if (args.size() != 4 || args.at(1) != QLatin1String("--recursive") || args.at(2) != QLatin1String("--json"))
        return fail(QStringLiteral("usage: ls --recursive --json PATH"));
    Remote remote;
    QString why;
    if (!parseRemote(args.at(3), true, &remote, &why)) return fail(why);
    const QString url = readAlias(remote.alias).value(QStringLiteral("url")).toString();
    // The folder's objects, sorted by key so that listings are reproducible.
    std::vector<std::pair<QString, QFileInfo>> objects;
    if (QFileInfo(remote.file).isDir()) {
        QDirIterator it(remote.file, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            objects.emplace_back(it.filePath().mid(remote.file.size() + 1), it.fileInfo());
        }
    }
    std::sort(objects.begin(), objects.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    const QByteArray end = QFileInfo::exists(g_state + QStringLiteral("/packed")) ? QByteArray()
                           : QFileInfo::exists(g_state + QStringLiteral("/crlf")) ? QByteArrayLiteral("\r\n")
                                                                                  : QByteArrayLiteral("\n");
    QByteArray out;
    for (const auto &o : objects) {
        QJsonObject line;
        line.insert(QStringLiteral("status"), QStringLiteral("success"));
        line.insert(QStringLiteral("type"), QStringLiteral("file"));
        line.insert(QStringLiteral("lastModified"), isoTime(o.second.lastModified()));
        line.insert(QStringLiteral("size"), double(o.second.size()));
        line.insert(QStringLiteral("key"), o.first);
        line.insert(QStringLiteral("url"), url + QLatin1Char('/') + remote.bucketAndKey + QLatin1Char('/') + o.first);
        out += QJsonDocument(line).toJson(QJsonDocument::Compact) + end;
    }
    if (!fake::writeAll(1, out.constData(), out.size())) return 1;
    if (QFileInfo::exists(g_state + QStringLiteral("/hold-ls"))) {
        QFile(g_state + QStringLiteral("/ls-held")).open(QIODevice::WriteOnly);
        for (int i = 0; i < 6000 && !QFileInfo::exists(g_state + QStringLiteral("/release-ls")); ++i)
            QThread::msleep(10);
    }
    return 0;
}

int rm(const QStringList &args) {
    if (args.size() != 2) return fail(QStringLiteral("usage: rm PATH"));
    Remote remote;
    QString why;
    if (!parseRemote(args.at(1), false, &remote, &why)) return fail(why);
    if (!QFileInfo(remote.file).isFile()) return fail(QStringLiteral("object '%1' does not exist").arg(args.at(1)));
    return QFile::remove(remote.file) ? 0 : fail(QStringLiteral("cannot remove '%1'").arg(args.at(1)));
}

int get(const QStringList &args) {
    if (args.size() != 3) return fail(QStringLiteral("usage: get PATH TARGET"));
    Remote remote;
    QString why;
    if (!parseRemote(args.at(1), false, &remote, &why)) return fail(why);
    if (!QFileInfo(remote.file).isFile()) return fail(QStringLiteral("object '%1' does not exist").arg(args.at(1)));
    QFile::remove(args.at(2));
    if (QFileInfo::exists(g_state + QStringLiteral("/half-get"))) {  // cut short, yet "success"
        QFile from(remote.file);
        QFile to(args.at(2));
        if (!from.open(QIODevice::ReadOnly) || !to.open(QIODevice::WriteOnly))
            return fail(QStringLiteral("cannot copy"));
        to.write(from.read(from.size() / 2));
        return 0;
    }
    return QFile::copy(remote.file, args.at(2)) ? 0 : fail(QStringLiteral("cannot write '%1'").arg(args.at(2)));
}

int pipe(const QStringList &args) {
    if (args.size() != 2) return fail(QStringLiteral("usage: pipe PATH"));
    Remote remote;
    QString why;
    if (!parseRemote(args.at(1), false, &remote, &why)) return fail(why);
    if (!QDir().mkpath(QFileInfo(remote.file).path())) return fail(QStringLiteral("cannot store '%1'").arg(args.at(1)));
    const int fd = ::open(QFile::encodeName(remote.file).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return fail(QStringLiteral("cannot store '%1'").arg(args.at(1)));
    // Stored as it arrives: a source that breaks off leaves the part received so far, as a real upload would.
    static char buffer[1 << 20];
    QByteArray slow;
    const unsigned long pauseMs =
        fake::onDemand(g_state, QStringLiteral("slow-pipe"), &slow) ? slow.trimmed().toULong() : 0;
    for (;;) {
        const ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return fail(QStringLiteral("read error"));
        }
        if (n == 0) break;
        if (!fake::writeAll(fd, buffer, n)) {
            ::close(fd);
            return fail(QStringLiteral("write error"));
        }
        if (pauseMs > 0) QThread::msleep(pauseMs);
    }
    return ::close(fd) == 0 ? 0 : fail(QStringLiteral("write error"));
}

}  // namespace

int main(int argc, char **argv) {
    g_state = fake::stateDir("QIV_FAKE_ORV_DIR", "orvclient");
    fake::logCall(g_state, argc, argv);
    QStringList args;
    for (int i = 1; i < argc; ++i) args.append(QString::fromUtf8(argv[i]));
    const QString command = args.value(0);
    // Alias commands are named by their sub-command ("fail-set"), the others by their command ("fail-ls").
    const QString what = command == QLatin1String("alias") ? args.value(1) : command;
    fake::delayOnDemand(g_state, what);
    QByteArray message;
    if (fake::failOnDemand(g_state, what, &message)) {
        fake::writeAll(2, message.constData(), message.size());
        return 1;
    }
    if (command == QLatin1String("alias")) return aliasCommand(args);
    if (command == QLatin1String("ls")) return ls(args);
    if (command == QLatin1String("rm")) return rm(args);
    if (command == QLatin1String("get")) return get(args);
    if (command == QLatin1String("pipe")) return pipe(args);
    return fail(QStringLiteral("unknown command '%1'").arg(command));
}
