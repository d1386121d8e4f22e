#include "toolprocess.h"

#include "kp2linux/lnx2utils.h"

namespace toolprocess {

namespace {

// After a kill the child is gone within moments; this bound only guards against a process stuck in the kernel.
constexpr int KillReapMs = 5000;

QString commandText(const QString &program, const QStringList &args) {
    return (QStringList{program} + args).join(QLatin1Char(' '));
}

}  // namespace

QString pipelineLine(const QList<QStringList> &commands) {
    QStringList line;
    for (const QStringList &words : commands) {
        QStringList quoted{QStringLiteral("setpriv --pdeathsig KILL")};
        for (const QString &word : words) quoted.append(toShellArgEscaped(word));
        line.append(quoted.join(QLatin1Char(' ')));
    }
    // pipefail: the line fails when any command fails, not only the last one.
    return QStringLiteral("set -o pipefail; ") + line.join(QStringLiteral(" | "));
}

QString pipelineText(const QList<QStringList> &commands) {
    QStringList text;
    for (const QStringList &words : commands) text.append(words.join(QLatin1Char(' ')));
    return text.join(QStringLiteral(" | "));
}

void giveUp(QProcess &process) {
    if (process.state() == QProcess::NotRunning) return;
    process.kill();
    process.waitForFinished(KillReapMs);
}

void waitUntilFinished(QProcess &process, int sliceMs) {
    while (process.state() != QProcess::NotRunning) process.waitForFinished(sliceMs);
}

bool waitWatched(QProcess &process, int pollMs, const StopCheck &stopRequested, const std::function<void()> &tick) {
    while (process.state() != QProcess::NotRunning) {
        if (stopRequested && stopRequested()) {
            giveUp(process);
            return false;
        }
        if (tick) tick();
        process.waitForFinished(pollMs);
    }
    return true;
}

bool succeeded(const QProcess &process) {
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString failureText(const QString &program, const QStringList &args, const QProcess &process,
                    const QByteArray &standardError, bool started, bool finished) {
    const QString command = commandText(program, args);
    if (!started) return QStringLiteral("%1: did not start: %2").arg(command, process.errorString());
    if (!finished) return QStringLiteral("%1: did not finish in time").arg(command);
    const QString said = QString::fromUtf8(standardError).trimmed();
    const QString how = process.exitStatus() == QProcess::NormalExit
                            ? QStringLiteral("exit code %1").arg(process.exitCode())
                            : QStringLiteral("killed");
    return said.isEmpty() ? QStringLiteral("%1: %2").arg(command, how) : QStringLiteral("%1: %2").arg(command, said);
}

bool run(const QString &program, const QStringList &args, int startMs, int finishMs, int sliceMs,
         QByteArray *standardOutput, QByteArray *standardError, QString *failure) {
    QProcess process;
    process.start(program, args);
    const bool started = process.waitForStarted(startMs);
    bool finished = started;
    if (started) {
        if (finishMs < 0)
            waitUntilFinished(process, sliceMs);
        else
            finished = process.waitForFinished(finishMs) || process.state() == QProcess::NotRunning;
    }
    if (!finished) giveUp(process);
    const bool ok = started && finished && succeeded(process);
    const QByteArray error = process.readAllStandardError();
    if (standardOutput) *standardOutput = process.readAllStandardOutput();
    if (standardError) *standardError = error;
    if (!ok && failure) *failure = failureText(program, args, process, error, started, finished);
    return ok;
}

}  // namespace toolprocess
