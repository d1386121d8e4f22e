// Command execution and process lookup of the Linux utilities (contract in lnx2utils.h).
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include "kp2linux/lnx2utils.h"

namespace {

// The waits below give QProcess a limit in milliseconds, where -1 means none.
constexpr int kNoLimit = -1;
// A killed program is reaped at once unless the kernel holds it in an uninterruptible wait (a hung disk or network
// file system); this bounds how long the caller stays blocked by such a corpse.
constexpr int kReapLimitMs = 5000;

// A process whose program leads a process group of its own, so that a time-out can end the program together with
// whatever it started (a shell's children, a pipeline).
class GroupLeaderProcess : public QProcess {
protected:
    // Runs in the child between fork and exec.
    void setupChildProcess() override { ::setpgid(0, 0); }
};

// Kills the program and its process group and waits for the program's exit status, so that neither a running
// program nor a zombie is left. The direct kill covers a child that had not yet made its own group; a program that
// never started leaves nothing to do.
void killAndReap(QProcess &p) {
    const qint64 pid = p.processId();
    if (pid > 0) ::kill(-static_cast<pid_t>(pid), SIGKILL);
    p.kill();
    p.waitForFinished(kReapLimitMs);
}

// What is left of limitMs after the time since began, never below 0 (QProcess would read -1 as no limit).
int remainingMs(int limitMs, const QElapsedTimer &began) {
    if (limitMs < 0) return kNoLimit;
    const qint64 left = limitMs - began.elapsed();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Abandoned: the program did not start, or did not finish in time.
enum class Outcome { Abandoned, Crashed, Exited };

// Starts program with args, waiting startLimitMs for the start, then waits for it to finish within what remains of
// finishLimitMs since began. A program that misses either limit is killed and reaped (a start that was merely slow
// may still have run the program).
Outcome runWithin(QProcess &p, const QString &program, const QStringList &args, int startLimitMs, int finishLimitMs,
                  const QElapsedTimer &began) {
    p.start(program, args, QIODevice::ReadWrite);
    if (!p.waitForStarted(startLimitMs) || !p.waitForFinished(remainingMs(finishLimitMs, began))) {
        killAndReap(p);
        return Outcome::Abandoned;
    }
    return p.exitStatus() == QProcess::CrashExit ? Outcome::Crashed : Outcome::Exited;
}

// A command line as program and arguments (QProcess::splitCommand: blanks separate, double quotes group).
QString splitProgram(const QString &command, QStringList &args) {
    args = QProcess::splitCommand(command);
    return args.isEmpty() ? QString() : args.takeFirst();
}

// Program output as text: UTF-8 up to the first NUL byte.
QString outputText(const QByteArray &bytes) {
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

bool succeeded(const QProcess &p, Outcome outcome) {
    return outcome == Outcome::Exited && p.exitCode() == 0;
}

// One run whose limit is measured from its start request.
Outcome runLimited(QProcess &p, const QString &program, const QStringList &args, int timeoutMs) {
    QElapsedTimer began;
    began.start();
    return runWithin(p, program, args, timeoutMs, timeoutMs, began);
}

// One run under the success rule; out = standard output on success, standard error otherwise.
bool runForText(QProcess &p, const QString &program, const QStringList &args, QString &out, int timeoutMs) {
    const bool ok = succeeded(p, runLimited(p, program, args, timeoutMs));
    out = outputText(ok ? p.readAllStandardOutput() : p.readAllStandardError());
    return ok;
}

QProcessEnvironment extendedEnvironment(const QHash<QString, QString> &env) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto it = env.cbegin(); it != env.cend(); ++it) {
        if (environment.contains(it.key())) {
            QStringList parts = environment.value(it.key()).split(QLatin1Char(':'), Qt::SkipEmptyParts);
            parts << it.value();
            environment.insert(it.key(), parts.join(QLatin1Char(':')));
        } else {
            environment.insert(it.key(), it.value());
        }
    }
    return environment;
}

// The program of an argument list: "sudo" with all of args as its arguments, or args[0] with the rest.
QString programOf(const QStringList &args, bool asRoot, QStringList &arguments) {
    arguments = args;
    if (asRoot) return QStringLiteral("sudo");
    return arguments.isEmpty() ? QString() : arguments.takeFirst();
}

// Reads a file of the process file system whole; its size reads as 0, so QFile reads until the end.
QByteArray readProcFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QByteArray();
    return file.readAll();
}

QString trimmedComm(const QString &dir) {
    return QString::fromUtf8(readProcFile(dir + QLatin1String("/comm"))).trimmed();
}

// The exact target of a symbolic link (QFileInfo would make it absolute and clean it); empty when unreadable.
QString linkTarget(const QString &path) {
    char target[PATH_MAX];
    const ssize_t size = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
    if (size <= 0) return QString();
    return QFile::decodeName(QByteArray(target, static_cast<int>(size)));
}

QStringList cmdlineParts(const QByteArray &cmdline) {
    QStringList parts;
    for (const QByteArray &part : cmdline.split('\0'))
        if (!part.isEmpty()) parts << QString::fromUtf8(part);
    return parts;
}

QJsonObject processEntry(const QString &entryName, const QByteArray &cmdline) {
    QByteArray blanked = cmdline;
    blanked.replace('\0', ' ');
    return QJsonObject{{QStringLiteral("pid"), entryName.toInt()},
                       {QStringLiteral("cmdargs"), QJsonArray::fromStringList(cmdlineParts(cmdline))},
                       {QStringLiteral("cmdline"), QString::fromUtf8(blanked).trimmed()}};
}

enum class Match { NameOrExe, NameOrArgument };

QJsonArray findProcesses(const QString &name, Match match) {
    const bool isPath = name.contains(QLatin1Char('/'));
    QJsonArray found;
    // QDir::Dirs keeps links to directories ("self", "thread-self").
    const QDir proc(QStringLiteral("/proc/"));
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString dir = proc.filePath(entry);
        const QByteArray cmdline = readProcFile(dir + QLatin1String("/cmdline"));
        bool matches = !isPath && trimmedComm(dir) == name;
        if (!matches && match == Match::NameOrExe && isPath) matches = linkTarget(dir + QLatin1String("/exe")) == name;
        if (!matches && match == Match::NameOrArgument) matches = cmdlineParts(cmdline).contains(name);
        if (matches) found.append(processEntry(entry, cmdline));
    }
    return found;
}

}  // namespace

QStringList cmdOutputs(const QByteArray &out) {
    QByteArray bytes = out;
    bytes.replace('\r', QByteArray()).replace('\t', ' ');
    return QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int linuxCmdExec(const QStringList &args, bool asRoot) {
    QStringList arguments;
    const QString program = programOf(args, asRoot, arguments);
    return QProcess::execute(program, arguments);
}

void linuxCmdStart(QProcess &p, const QStringList &args, bool asRoot) {
    QStringList arguments;
    const QString program = programOf(args, asRoot, arguments);
    p.start(program, arguments, QIODevice::ReadWrite);
}

bool cmdExec(const QHash<QString, QString> &env, const QString &command, QString &out, int timeoutMs) {
    GroupLeaderProcess p;
    const QProcessEnvironment environment = extendedEnvironment(env);
    p.setProcessEnvironment(environment);
    QStringList args;
    QString program = splitProgram(command, args);
    // QProcess looks a bare program name up in this process's PATH; the command's own PATH is the one that counts.
    if (!program.isEmpty() && !program.contains(QLatin1Char('/'))) {
        const QStringList searchPath = environment.value(QStringLiteral("PATH")).split(':', Qt::SkipEmptyParts);
        const QString found = QStandardPaths::findExecutable(program, searchPath);
        if (!found.isEmpty()) program = found;
    }
    return runForText(p, program, args, out, timeoutMs);
}

bool cmdExec(const QHash<QString, QString> &env, const QString &command, int timeoutMs) {
    QString out;
    return cmdExec(env, command, out, timeoutMs);
}

bool cmdExec(const QString &command, QString &out, int timeoutMs) {
    return cmdExec(QHash<QString, QString>(), command, out, timeoutMs);
}

bool cmdExec(const QString &command, int timeoutMs) {
    QString out;
    return cmdExec(command, out, timeoutMs);
}

bool cmdsExec(const QStringList &commands, QJsonArray &errors, int timeoutMs) {
    QElapsedTimer began;
    began.start();
    bool anySucceeded = false;
    for (const QString &untrimmed : commands) {
        const QString command = untrimmed.trimmed();
        if (command.isEmpty()) continue;
        QStringList args;
        const QString program = splitProgram(command, args);
        GroupLeaderProcess p;
        // Each start may take the whole limit; finishing shares what is left of it since the first command.
        if (!succeeded(p, runWithin(p, program, args, timeoutMs, timeoutMs, began))) {
            errors.append(outputText(p.readAllStandardError()));
            return anySucceeded;
        }
        anySucceeded = true;
    }
    return anySucceeded;
}

bool cmdsExec(const QStringList &commands, int timeoutMs) {
    QJsonArray errors;
    return cmdsExec(commands, errors, timeoutMs);
}

int cmdExecute(QString &out, const QStringList &args, int timeoutMs) {
    QStringList arguments;
    const QString program = programOf(args, false, arguments);
    GroupLeaderProcess p;
    if (runLimited(p, program, arguments, timeoutMs) != Outcome::Exited) return 9998;
    const int code = p.exitCode();
    out = outputText(code == 0 ? p.readAllStandardOutput() : p.readAllStandardError());
    return code;
}

bool execBash(const QString &script, QString &out, int timeoutMs) {
    GroupLeaderProcess p;
    return runForText(p, QStringLiteral("/usr/bin/sudo"), {QStringLiteral("/bin/bash"), QStringLiteral("-c"), script},
                      out, timeoutMs);
}

bool execBash(const QString &script, int timeoutMs) {
    QString out;
    return execBash(script, out, timeoutMs);
}

int exeCommand(const QString &command, int timeoutMs, QByteArray *out) {
    QStringList args;
    const QString program = splitProgram(command, args);
    if (timeoutMs < 0) {
        QProcess::startDetached(program, args);
        return 0;
    }
    GroupLeaderProcess p;
    if (timeoutMs == 0) {
        // No limit by the caller's choice: the run ends when the program does.
        p.start(program, args, QIODevice::ReadWrite);
        int code = -2;
        if (p.waitForStarted(kNoLimit) && p.waitForFinished(kNoLimit))
            code = p.exitStatus() == QProcess::CrashExit ? -1 : p.exitCode();
        if (out) *out = code == 0 ? p.readAllStandardOutput() : p.readAllStandardError();
        return code;
    }
    const Outcome outcome = runLimited(p, program, args, timeoutMs);
    if (outcome == Outcome::Abandoned) return 62;
    const int code = p.exitCode();
    if (!out) return code;
    if (outcome == Outcome::Crashed || code != 0) {
        *out = p.readAllStandardError();
        return code;
    }
    *out = p.readAllStandardOutput();
    return 0;
}

QJsonArray findProcess(const QString &name) {
    return findProcesses(name, Match::NameOrExe);
}

QJsonArray findProcessWith(const QString &name) {
    return findProcesses(name, Match::NameOrArgument);
}
