// kp2utils: the framework's portable free functions: lenient value conversions, command-line parsing and the console
// trace lines (kp2utils.cpp), dates and schedules (kp2utils_dates.cpp), identifiers, checksums and form checks
// (kp2utils_ids.cpp), text, list and version helpers (kp2utils_text.cpp), HTTP over libcurl (kp2utils_curl.cpp).
// Every function is total and thread-safe: bad input yields an empty, zero or invalid value, never a crash.
// The print functions take no lock themselves; a whole trace line is written under PRINT_MUTEX (TRACE does that).
#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <mutex>
#include <type_traits>

// ---- value conversions ----

// An integral number in the int range in decimal ("3"), any other number with six decimals ("2.500000"),
// a string unchanged, anything else "".
QString toString(const QJsonValue &v);
// Numbers truncate toward zero (0 when outside the int range), booleans give 1/0, strings parse as decimal and
// then as hexadecimal ("ff" is 255), anything else 0.
int toInt(const QJsonValue &v);
// True for a decimal integer >= 1 or, ignoring case, "true", "yes", "ok", "y", "t". No trimming.
bool toBool(const QString &s);
bool toBool(const char *s);
bool isTrue(const QString &s);
bool isTrue(const char *s);
// A boolean as is, a number when > 0, a string by toBool(QString); anything else false.
bool isTrue(const QJsonValue &v);
bool toBool(const QJsonValue &v);
// The elements of an array through toString; skipEmpty drops those that are blank after trimming (kept ones stay
// untrimmed). A non-array gives an empty list.
QStringList toStrings(const QJsonValue &v, bool skipEmpty = false);
// QJsonDocument::fromJson for every text from outside. A text in which one object repeats a member name is refused
// (an empty document, error IllegalValue at the repeated name), as is nesting deeper than 1024 levels (DeepNesting,
// the toolkit's own limit): the toolkit's parser keeps the last of repeated members and leaks the memory of the
// others.
QJsonDocument parseJson(const QByteArray &utf8, QJsonParseError *error = nullptr);
// The document's object or array (parseJson); invalid JSON or the other kind of document gives an empty one.
QJsonObject toJsonObject(const QByteArray &utf8);
QJsonArray toJsonArray(const QString &s);

// Maps each "-key" (dashes kept) to the argument after it, or to "" when the next argument is a key too or there
// is none. Arguments that follow no key (the program path among them) are ignored; a repeated key keeps its last
// value.
QHash<QString, QString> cmdArguments(const QStringList &args);

// ---- console tracing ----

// The one mutex that keeps whole trace lines together across threads:
//   std::lock_guard<std::mutex> lock(PRINT_MUTEX); PRINTPOS(...); PRINTNAME(...); PRINTLN(...);
std::mutex &PRINTMUTEX();
#define PRINT_MUTEX (PRINTMUTEX())

// ">>-->HH:mm:ss.zzz <file name>#<line> => <function>: " (directories stripped at '/' and '\\').
void PRINTPOS(const char *file, int line, const char *function);
// "<label> = ", or "~~ ~~ ~~" for an empty label.
void PRINTNAME(const QVariant &label);
// The value's rendering: booleans, JSON (objects and arrays as indented documents, other JSON values by their
// string content), QStringList(a; b), QRect/QSize/QPoint, byte arrays up to the first NUL, else QVariant::toString.
void PRINT(const QVariant &value);
void PRINT(const char *utf8);
// PRINT, newline, flush of standard output.
void PRINTLN(const QVariant &value);
void PRINTLN(const QList<QJsonObject> &l);  // as one JSON array
void PRINTLN(const QStringList &l);         // joined with "; "
void PRINTLN(const QList<int> &l);          // "int(1,2,3)"

// The short place text of a journal step: "bool A::f(int) const", 12 gives "A::f#12". Line <= 0 adds no "#".
QString PRETTY(const char *signature, int line);
// One coloured "[SUCCEED] message" status line; state 0..4 = succeed, ignore, warning, not configured, failed.
void KP2StatePrintln(int state, const QString &message);
// A length-prefixed type name ("11KP2Journals") without its prefix ("KP2Journals").
QString MyClassName(const char *typeName);

// Wraps any traceable value into a QVariant: what QVariant takes directly (strings, numbers, bool, JSON, byte
// arrays, string lists, const char * as UTF-8), then what converts to a QJsonValue (e.g. QJsonValueRef), then any
// registered meta type.
template <typename T>
QVariant KP2TraceValue(const T &v) {
    if constexpr (std::is_convertible_v<const T &, QVariant>)
        return QVariant(v);
    else if constexpr (std::is_convertible_v<const T &, QJsonValue>)
        return QVariant(QJsonValue(v));
    else
        return QVariant::fromValue(v);
}

// One whole trace line: position, the expression's source text as label, and its value.
#define TRACE(expr)                                            \
    do {                                                       \
        std::lock_guard<std::mutex> kp2TraceLock(PRINT_MUTEX); \
        PRINTPOS(__FILE__, __LINE__, __FUNCTION__);            \
        PRINTNAME(QString::fromUtf8(#expr));                   \
        PRINTLN(KP2TraceValue(expr));                          \
    } while (0)

// ---- Dates and schedules ----

// Lenient date-time input and calendar schedules. All functions are thread-safe and keep no state; results are local
// time and an input that fits no rule gives an invalid QDateTime/QDate.
//
// A schedule is a JSON object of whole-number arrays: "weeks" (1 = Monday .. 7 = Sunday), "months" (1..12),
// "days" (of the month), "hours" (0..23) and "mintes" (0..59, spelt so). A missing, non-array or empty list allows
// every value. The earliest allowed moment (seconds 0) strictly later than from, looked for in the current calendar
// year and the one after it only (the year of from plays no part); invalid when there is none in that window.
// Values out of range (month 13, day 31 of April, hour 24) allow nothing.
QDateTime nextScheduledDateTime(const QJsonObject &schedule, const QDateTime &from);
// The same with the current year given by the caller instead of read from the system clock.
QDateTime nextScheduledDateTime(const QJsonObject &schedule, const QDateTime &from, int currentYear);
// Every element through toInt, sorted ascending; duplicates stay.
QList<int> toSortList(const QJsonArray &a);
// Parses with a format chosen by the length of s: "d", "dd", "yyyy", "MM-dd"/"MM/dd"/"HH:mm" (by character 2),
// "HHmmss", "yyyy-MM", "HH:mm:ss", "yyyy-MM-dd", "HH:mm:ss.zzz", "yyyyMMddHHmmss", "yyyy-MM-dd HH:mm", then
// "yyyy-MM-dd HH:mm:ss" with 'T' or ' ' between date and time, optionally with ".zzz" and a literal 'Z'
// (lengths 19, 20, 23, 24); length 26 reads the first 23 characters, any other length above 18 the first 19.
// Other lengths, a length-5 text with another separator, a length-20 text without 'T' and 'Z' and a field with anything
// but digits (a sign, a blank) are invalid.
// Missing date fields give 1 January 1900, a missing time gives midnight. A trailing 'Z' does not make it UTC.
QDateTime toDateTime(const QString &s);
// toDateTime(toString(v)).
QDateTime toDateTime(const QJsonValue &v);
// The date part of toDateTime(v).
QDate toDate(const QJsonValue &v);
// A spreadsheet serial date: days since 30 December 1899 (the floor of serial), the fraction the time of day in
// whole seconds. 1.5 is 31 December 1899 12:00:00. Not a finite number: invalid.
QDateTime toDateTime(double serial);
// "hh:mm:ss" of a duration in seconds, hours not limited to 24 ("%02d" each, integer division).
QString secsToTimes(int secs);
// A compiler build stamp: gccDateTime(__DATE__, __TIME__), date "Mmm dd yyyy" (month name in any case; an unknown
// name gives January), time "hh:mm:ss".
QDateTime gccDateTime(const QString &date, const QString &time);

// ---- Identifiers, checksums and validation ----
// All of these are reentrant and thread-safe; the random ones draw from QRandomGenerator::global().

// A short identifier: the UTF-8 bytes of s (of a fresh random UUID's text when s is empty), without "{", "-" and
// "}", folded as v = v * 10 + byte (wrapping at 2^64) and written in base 36 (lower-case letters) or base 62
// (digits, lower case, upper case). The same s always gives the same text; a fold of 0 gives "". Not unique.
QString KP2Uuid(const QString &s = QString());
QString KP2Uuid62(const QString &s = QString());
// A digit-wise base-62 rewriting of trimmed s (characters outside [0-9a-zA-Z] are skipped). Stable for a given s
// but not a true base conversion: different inputs may give the same text.
QString KP2ToBase62(const QString &s);
// n characters drawn uniformly from [0-9A-Za-z]; "" for n <= 0.
QString randCode(int n);

// MD5 as 32 lower-case hexadecimal digits: of the UTF-8 bytes of s, or of b.
QString md5hex(const QString &s);
QString md5hex(const QByteArray &b);
// HMAC-SHA1 (RFC 2104) of message under key, as 40 lower-case hexadecimal digits.
QString hmacSha1(const QByteArray &message, const QByteArray &key);
// The CRC-32 of gzip and Ethernet (reflected 0xEDB88320); 0 for empty input.
quint32 crc32(const QByteArray &b);
// b as one gzip member that gzip -d reads: header 1F 8B 08 00 00000000 00 0B (no name, time 0, OS byte 11),
// deflate data at zlib's default level, CRC-32 and length of b little-endian. Empty when zlib fails or the
// member would not fit a QByteArray.
QByteArray gnuzip(const QByteArray &b);

// An 18-character resident identity number (ISO 7064 MOD 11-2 check character, a lower-case x counts as X),
// after trimming. With checkBirthDate, characters 7 to 14 must also be a valid date yyyyMMdd.
bool idcardValidate(const QByteArray &id, bool checkBirthDate);
// The start of an iSCSI qualified name: only [a-z0-9.:-], "iqn." then a year above 1900, "-", a month 01 to 12
// and "."; what follows the date is not checked further.
bool iqnValid(const QString &s);
// One to four "."-separated parts, each decimal digits of value 1 to 255 (leading zeros allowed) or exactly "0".
// Short forms such as "10.0.0" are accepted; "", "1..2", "00" and signs or blanks are not.
bool ipv4Valid(const QString &s);

// ---- Text, lists and versions ----

// Takes the first field off the front of s and leaves the rest in s. Separators at the front of s are dropped one
// character at a time while s starts with sep; the field is the text before the first sep (case-sensitive), or all
// of s when there is none (s becomes empty); then the field and one more character are removed, and again one
// character at a time while s starts with sep. With a one-character separator this takes a field and all the
// separators after it ("," on ",,a,,b" gives "a" and leaves "b"); with a longer one a part of a separator can stay
// at the front ("::" on "a::b" gives "a" and leaves ":b"). An empty sep matches nowhere: the field is all of s.
QString takeFirstString(QString &s, const QString &sep);
// Takes n fields and returns the last of them; n <= 0 gives "" and leaves s unchanged.
QString takeFirstString(QString &s, int n, const QString &sep);
// The same on bytes.
QByteArray takeFirstString(QByteArray &b, const QByteArray &sep);
QByteArray takeFirstString(QByteArray &b, int n, const QByteArray &sep);
// The first / last non-empty field of s split at sep, or "" when there is none.
QString firstString(const QString &s, const QString &sep);
QString lastString(const QString &s, const QString &sep);
// The non-empty words of s separated by blanks, tabs and carriage returns; a line feed belongs to a word.
QStringList stringSplit(const QString &s);
// The elements of a (in order, repetitions kept) that b contains under cs.
QStringList intersect(const QStringList &a, const QStringList &b, Qt::CaseSensitivity cs);
// A copy of a with every member of b set in it, replacing a member of the same key (members are not merged deeper).
QJsonObject jsonMerge(const QJsonObject &a, const QJsonObject &b);
// Compares dotted versions component by component as decimal integers (a missing, empty or non-numeric component
// counts as 0): 0 when all are equal, else a's minus b's value at the first difference, clamped to the int range.
// "1.2" equals "1.2.0"; "1.10" is 1 above "1.9"; "2" is 8 below "10".
int compareVersion(const QString &a, const QString &b);
// The same as compareVersion.
int compareFourInt(const QString &a, const QString &b);

// ---- HTTP over libcurl ----
// Requests through libcurl's easy interface, without redirects. Thread-safe. Header cut: when the received bytes
// contain CR LF CR LF at a position above 0, everything up to and including its first occurrence is dropped.

// GET url, the whole transfer limited to timeoutSeconds. True when the transfer succeeded: out then holds the bytes
// after the header cut; otherwise out stays as it was.
bool curlHttpGet(QByteArray &out, const QString &url, int timeoutSeconds);
// The same; true only when the bytes are a JSON object, which goes to out.
bool curlHttpGet(QJsonObject &out, const QString &url, int timeoutSeconds);
// POSTs body as compact JSON with "Content-Type:application/json". True only when the transfer succeeded and the
// answer (after the header cut) is a JSON object, which goes to out; raw, when given, receives the answer bytes
// whenever the transfer succeeded. No total time limit: a transfer fails once no byte has moved for a minute.
bool curlHttpPost(QJsonObject &out, const QString &url, const QJsonObject &body, QByteArray *raw = nullptr);
// The blocking GET or POST on a new detached thread of its own, which keeps copies of url and body; returns at once
// and the answer is dropped.
void curlHttpGet(const QString &url, int timeoutSeconds);
void curlHttpPost(const QString &url, const QJsonObject &body);
