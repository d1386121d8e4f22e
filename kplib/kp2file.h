// KP2File: whole-file reads and writes as bytes, text or JSON. Static operations only, all total: failure is the
// return value (false, or an empty result), never an exception. Thread-safe as far as the file system is; the
// plain writes truncate in place, so a concurrent reader may see a partial file (use saveJsonAtomic where that
// matters). Results are returned by value.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

class KP2File {
public:
    KP2File() = delete;

    // The whole file, or an empty array when it cannot be read.
    static QByteArray readAll(const QString &path);
    // The file's JSON object; unreadable, invalid or non-object content gives an empty object.
    static QJsonObject readJsonObject(const QString &path);

    // The whole file into out. On failure false, and out is left untouched.
    static bool loadBinary(QByteArray &out, const QString &path);
    // The file's JSON object into out. Unreadable or invalid JSON (as parseJson reads it: a repeated member name is
    // invalid): false, out untouched. A valid non-object document (e.g. an array) gives true and an empty object.
    static bool loadJson(QJsonObject &out, const QString &path);

    // Each write creates missing parent directories, truncates the target and writes it in place. The result is
    // true only when the whole content reached the file.
    static bool saveBinary(const QByteArray &data, const QString &path);
    // Only an object or array is written (compact, else indented); any other value writes nothing and gives false.
    static bool saveJson(const QString &path, const QJsonValue &v, bool compact = false);
    // Text through a text stream in the named codec (e.g. "UTF8"), or the locale's encoding when codec is empty.
    static bool saveText(const QString &content, const QString &path, const QString &codec = QString());

    // Like saveJson, but all or nothing: the content goes to a temporary file beside the target, is synced to
    // disk and renamed over the target, which keeps its owner and permissions. On any failure the previous file
    // is left as it was and the result is false. A symbolic link is written through, not replaced. As with the
    // plain writes, an existing file that the caller may not write (read-only, to a caller other than root) is
    // refused.
    static bool saveJsonAtomic(const QString &path, const QJsonValue &v, bool compact = false);
    // Removes the temporary files that saveJsonAtomic calls for path killed midway left beside it. Call it before
    // anything saves to path. Returns how many were removed.
    static int removeSaveLeftovers(const QString &path);

    // ---- Content reads (kp2file.cpp) ----

    // The file read in text mode through a text stream into out, decoded by the codec of that name (e.g. "UTF-8");
    // an empty or unknown name reads with the stream's default codec. False when the file cannot be opened, and
    // out is left untouched.
    static bool loadText(QString &out, const QString &path, const QString &codec);
    // The lower-case hexadecimal MD5 of the file; empty when the file cannot be opened or read. toMd5 reads the file
    // at once; fileMd5 reads it in pieces (for large files), up to the size it had when opened.
    static QString toMd5(const QString &path);
    static QString fileMd5(const QString &path);
    // The file's bytes in Base64 (RFC 4648 alphabet, padded), and when md5 is given, their MD5 as toMd5 gives it;
    // empty when the file cannot be read (md5 then untouched).
    static QString toBase64(const QString &path, QString *md5 = nullptr);

    // ---- Names and places in the file tree (kp2file_tree.cpp) ----

    // The absolute path of path when no directory entry of any kind (a dangling symbolic link included) has that
    // name; otherwise the first free name "base(n).suffix" (or "base(n)" without a suffix) for n = 2, 3, ... in the
    // same directory, where base is everything before the last ".". Nothing is created, so another process may take
    // the name before the caller does.
    static QString autoRename(const QString &path);
    // An absolute path in the temporary directory, prefix + a decimal number (+ "." + suffix when not empty), of
    // which no directory entry exists. The number starts at a random 32-bit value. Nothing is created (see autoRename).
    static QString tempFileName(const QString &prefix, const QString &suffix);
    // Removes, depth first, every entry below the directory path that the caller may read and write (files,
    // directories, FIFOs, sockets), and with removeSelf the directory itself. Symbolic links, dangling ones too, are
    // removed as links, never followed. True when path no longer exists afterwards (or never did), so with
    // removeSelf false the result is false for an existing path. An entry that the caller may not write is left, and
    // so are the directories above it. An empty or blank path is refused: false, and nothing is touched.
    static bool removeDirs(const QString &path, bool removeSelf);
    // Registers a binary resource bundle (made by "rcc -binary") at the resource root (":/"). path is used when a
    // file exists there; otherwise it names a file beside the running executable. False when no file is found or
    // the bundle does not register.
    static bool loadResource(const QString &path);
    // Version resources do not exist for files on this platform: empty text, and the numbers are left alone.
    static QString version(const QString &path, int *major, int *minor, int *patch, int *build);
    // Not supported on this platform: false, and the file is left as it is.
    static bool setTime(const QString &path, const QDateTime &time);

private:
    // The POSIX part of saveJsonAtomic, in kp2file_unix.cpp. fd is the open replacement of the file at target.
    // Gives fd the mode and owner of the file at target, if there is one.
    static bool keepOwnerAndMode(int fd, const QString &target);
    static bool syncToDisk(int fd);
    // Best effort: a failure is not reported, the rename it would make durable has already happened.
    static void syncDirectory(const QString &dir);
};
