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

// ---- End of the topic sections ----
