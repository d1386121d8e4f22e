// Linux-specific free helpers of the framework.
// Every function here is reentrant and thread-safe: it works only on its arguments and returns a new value.
#pragma once

#include <QString>

// Returns text as exactly one single-quoted word of a POSIX shell command line: the text between single quotes,
// with each single quote written as '\''. The shell hands the word to the program unchanged, whatever it contains
// (blanks, quotes, ";", "$(...)", backquotes, globs, newlines), and expands nothing in it. The empty text becomes ''.
// A NUL character cannot travel in a shell word; the caller must not pass one.
QString toShellArgEscaped(const QString &text);

// ---- Dates and schedules ----

// ---- Command execution and process lookup ----

// ---- Identifiers, checksums and validation ----

// ---- Text, lists and versions ----

// ---- INI conversion and privileged file writing ----
// (The includes stay with the section that needs them.)

#include <QByteArray>
#include <QJsonObject>
#include <QStringList>

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

// ---- End of the topic sections ----
