// KP2File: whole-file reads and writes as bytes, text or JSON. Static operations only, all total: failure is the
// return value (false, or an empty result), never an exception. Thread-safe as far as the file system is; the
// plain writes truncate in place, so a concurrent reader may see a partial file (use saveJsonAtomic where that
// matters). Results are returned by value.
#pragma once

#include <QByteArray>
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
    // The file's JSON object into out. Unreadable or invalid JSON: false, out untouched. A valid non-object
    // document (e.g. an array) gives true and an empty object.
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

private:
    // The POSIX part of saveJsonAtomic, in kp2file_unix.cpp. fd is the open replacement of the file at target.
    // Gives fd the mode and owner of the file at target, if there is one.
    static bool keepOwnerAndMode(int fd, const QString &target);
    static bool syncToDisk(int fd);
    // Best effort: a failure is not reported, the rename it would make durable has already happened.
    static void syncDirectory(const QString &dir);
};
