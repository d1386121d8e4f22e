// The runs of the service's outside programs (zfs, the object-store tool and the shell lines built for them): start
// with an argument list, wait within limits, kill and reap what must not go on, and say what went wrong in the
// program's own words. Only ZfsTool and OrvTool use it. Thread-safe: every call owns the process it is given or
// starts.
#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>

namespace toolprocess {

// Polled by a watched wait; true ends the run (the program is killed).
using StopCheck = std::function<bool()>;

// Kills a program that must not go on and reaps it. Bounded: a killed child is gone within moments.
void giveUp(QProcess &process);

// Waits for a started process to end, slice by slice, for as long as it runs. For the runs whose length is the
// data's (uploads, downloads, receives): only their end tells success from failure.
void waitUntilFinished(QProcess &process, int sliceMs);

// Waits for a started process to end with no overall limit, looking at stopRequested (when given) and calling tick
// (when given) every pollMs. False when a stop was requested: the program has then been killed.
bool waitWatched(QProcess &process, int pollMs, const StopCheck &stopRequested,
                 const std::function<void()> &tick = nullptr);

// True when the process ran to its end and returned 0.
bool succeeded(const QProcess &process);

// Runs program with args, no shell, standard channels as pipes (standard input is never written). finishMs < 0 waits
// without an overall limit, in slices of sliceMs. True when it started within startMs, finished in time and returned
// 0; a run that misses a wait is killed. Where given, *standardOutput and *standardError receive what it wrote, and
// *failure the reason for a failed run (see failureText).
bool run(const QString &program, const QStringList &args, int startMs, int finishMs, int sliceMs,
         QByteArray *standardOutput, QByteArray *standardError, QString *failure = nullptr);

// The bash line that runs commands (argument vectors) as one pipeline, each into the next: "set -o pipefail", every
// word quoted (toShellArgEscaped) so that it reaches its program unchanged whatever it holds, and every command
// started through `setpriv --pdeathsig KILL`, so that it dies with the shell that runs the line.
QString pipelineLine(const QList<QStringList> &commands);
// The commands as a reader sees them in a message: "zstd -d | zfs receive tank/r".
QString pipelineText(const QList<QStringList> &commands);

// "zfs destroy tank/a@qiv_1: exit code 1: <standard error, trimmed>", "...: did not start: <why>", "...: killed",
// "...: did not finish within 30 s": the command, how it ended and what it said.
QString failureText(const QString &program, const QStringList &args, const QProcess &process,
                    const QByteArray &standardError, bool started, bool finished);

}  // namespace toolprocess
