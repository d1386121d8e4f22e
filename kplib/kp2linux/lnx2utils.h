// Linux-specific free functions of the framework: shell quoting (lnx2utils.cpp), running external programs and
// finding processes (lnx2utils_process.cpp), INI conversion and file writing with root help (lnx2utils_ini.cpp).
// Every function is reentrant and thread-safe; those that run programs or write files say what they block on.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Returns text as exactly one single-quoted word of a POSIX shell command line: the text between single quotes,
// with each single quote written as '\''. The shell hands the word to the program unchanged, whatever it contains
// (blanks, quotes, ";", "$(...)", backquotes, globs, newlines), and expands nothing in it. The empty text becomes ''.
// A NUL character cannot travel in a shell word; the caller must not pass one.
QString toShellArgEscaped(const QString &text);

// ---- Command execution and process lookup ----

// Running external programs and finding running processes. A waiting run succeeds when the program started within
// the limit, finished within what remains of that limit (measured from the start request on a monotonic clock),
// exited normally and returned 0. A limit below 0 waits without limit (exeCommand reads the sign its own way). Apart
// from linuxCmdExec, linuxCmdStart and a detached exeCommand, a run starts its program as the leader of a process group
// of its own (so it is out of reach of the terminal's signals and cannot read the terminal); a program still running
// when its limit runs out is killed together with that group and reaped before the call returns, so no timed-out
// program is left behind. Output texts are UTF-8 up to the first NUL byte. A command given as one text is split into
// program and arguments by QProcess::splitCommand (blanks separate, double quotes group) and started directly, without
// a shell; runs inherit the working directory. Each function blocks its caller until its run ends or its limit passes
// and reports nothing beyond its result.

class QProcess;

// Splits a program's output into lines: drops every "\r", turns every tab into a blank, and leaves out empty lines.
QStringList cmdOutputs(const QByteArray &out);

// Runs args[0] with the other args as its arguments, or with asRoot "sudo" with all of args, and waits without a
// limit (for programs known to end; a hanging one blocks the caller). The program's output goes to this process's
// own standard output and error. Returns the exit code, -2 when the program cannot be started, -1 when it crashed.
int linuxCmdExec(const QStringList &args, bool asRoot);
// Starts p with the program and arguments of linuxCmdExec, open for reading and writing, and returns at once; the
// caller owns p and waits for it or ends it.
void linuxCmdStart(QProcess &p, const QStringList &args, bool asRoot);

// Runs command with env applied to this process's environment: a key already present keeps its value and gets
// ":" + the new value appended (a search path is extended at its end; empty parts of the old value are dropped); a
// new key is set. True on success with out = standard output; false otherwise with out = standard error.
bool cmdExec(const QHash<QString, QString> &env, const QString &command, QString &out, int timeoutMs);
bool cmdExec(const QHash<QString, QString> &env, const QString &command, int timeoutMs);
bool cmdExec(const QString &command, QString &out, int timeoutMs);
bool cmdExec(const QString &command, int timeoutMs);

// Runs the commands in order (each trimmed; empty ones skipped) under one limit shared by all of them, and stops at
// the first failure, whose standard error is appended to errors as one JSON string. True when at least one command
// succeeded, even if a later one failed; an empty list, or a first run that fails, gives false.
bool cmdsExec(const QStringList &commands, QJsonArray &errors, int timeoutMs);
bool cmdsExec(const QStringList &commands, int timeoutMs);

// Runs program args[0] with the other args. Returns 9998 when it did not start, did not finish in time or crashed,
// leaving out unchanged; otherwise its exit code, with out = standard output for 0 and standard error otherwise.
int cmdExecute(QString &out, const QStringList &args, int timeoutMs);

// Runs script through "/usr/bin/sudo /bin/bash -c script": the script is a bash command line by contract and runs as
// root, so a caller must quote every word that comes from outside with toShellArgEscaped. Success and out as for
// cmdExec. Only what this process may signal is killed at the limit: sudo itself, and the script when this process
// runs as root and sudo keeps it in its process group.
bool execBash(const QString &script, QString &out, int timeoutMs);
bool execBash(const QString &script, int timeoutMs);

// Runs command by the sign of timeoutMs.
// Below 0: starts it detached (not waited for, not killed) and returns 0 at once.
// Above 0: returns 62 when it does not start or finish within timeoutMs, else its exit code. With out: a non-zero
// exit or a crash puts the standard error bytes into out; otherwise out gets the standard output bytes and 0 is
// returned.
// Equal to 0: waits without limit and returns the exit code, -2 when it cannot be started, -1 when it crashed; out
// gets the standard output for 0 and the standard error otherwise.
int exeCommand(const QString &command, int timeoutMs, QByteArray *out = nullptr);

// Process entries found under /proc, in the order of the directory names: {"pid": the directory name as a number
// (0 for "self" and other non-numbers), "cmdargs": the non-empty NUL-separated parts of "cmdline", "cmdline": the
// same joined by blanks, trimmed}. The entry "self" is this process itself, so a match on it comes with "pid" 0
// beside the entry under this process's own number. Unreadable files read as empty.
// findProcess: the trimmed "comm" equals name (no "/" in name; the kernel keeps only its first 15 characters), or
// the target of the "exe" link equals name exactly (name contains "/").
QJsonArray findProcess(const QString &name);
// findProcessWith: the trimmed "comm" equals name (no "/" in name), or one of the non-empty parts of "cmdline" is
// exactly name.
QJsonArray findProcessWith(const QString &name);

// ---- INI conversion and privileged file writing ----
// (The includes stay with the section that needs them.)

// The sections of INI lines as {section: {key: "value"}}, all values as strings. Skipped: lines that are blank, that
// start with "#" (not after blanks), that have no "=", and key lines before the first section. A section line has
// "[" as its first non-blank character and a "]" later; its name is the text from the line's second character to
// its first "]", trimmed (so an indented header keeps its "["). Keys and values are trimmed around the first "=".
// A later key replaces an earlier one of its section, and a repeated section keeps only its last occurrence.
QJsonObject iniToJson(const QStringList &lines);

// Writes data to path (truncating) in a place the process may not own, with "/usr/bin/sudo -n" for every step that
// needs root: it creates the directory and the file when missing, opens the file up (mode 777) for the write,
// then leaves it with mode 666 and owned by its former owner and group, or by www-data:www-data when it is new.
// Returns true when the file could be opened for writing; a failing sudo step or short write is not reported
// separately. Blocks until each sudo run ends, at most 30 seconds per run (a run still going then is killed).
// The path reaches the commands as one argument and is never seen by a shell. Two concurrent writes of one path
// race like any two writers of a file.
bool writeFile(const QString &path, const QByteArray &data);
// Writes the UTF-8 bytes of s.
bool writeFile(const QString &path, const QString &s);
// Writes the lines joined with "\n", with no line break after the last, as UTF-8.
bool writeFile(const QString &path, const QStringList &lines);
// Writes o as indented JSON text.
bool writeFile(const QString &path, const QJsonObject &o);
