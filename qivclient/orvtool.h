// OrvTool: every run of the external object-store tool (alias, listing, removal, fetch, and the upload line that feeds
// a stream into its "pipe") with the tool's argument vectors and waits, the queries built on them, and the parsing of
// its listing output. Nothing else starts the tool. Thread-safe: immutable after construction, and every call starts
// and owns its own child processes. Everything returned is a value owned by the caller.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <functional>

// Waits of each tool run in milliseconds. The defaults are the contract's; tests shorten them. A run whose finish
// is "unbounded" is waited for in slices of `slice` ms until it ends, with no overall limit.
struct OrvToolWaits {
    int exportStart = 10000;
    int exportFinish = 10000;
    int removeStart = 10000;  // "alias remove": finish unbounded
    int setStart = 10000;
    int setFinish = 60000;
    int lsStart = 10000;
    int lsFinish = 30000;
    int rmStart = 10000;
    int rmFinish = 30000;
    int getStart = 30000;     // "get": finish unbounded
    int uploadStart = 30000;  // upload pipeline: finish unbounded
    int slice = 10000;
};

class OrvTool {
public:
    // The alias every remote path starts with.
    static const QString Alias;  // "myorvane"

    // toolPath: the tool's executable, e.g. AppRoot::path(AppRoot::StoreTool).
    explicit OrvTool(const QString &toolPath, const OrvToolWaits &waits = OrvToolWaits());

    QString toolPath() const { return m_toolPath; }
    OrvToolWaits waits() const { return m_waits; }

    // --- Tool runs. Each blocks the calling thread for at most the run's waits (unbounded where noted). A run
    // succeeds when the tool started, finished in time, exited normally and returned 0; a run that misses a wait is
    // killed. Where given, *standardError receives everything the tool wrote to standard error.

    // "alias" "export" "myorvane". On success *object holds standard output parsed as a JSON object (empty when it
    // does not parse).
    bool aliasExport(QJsonObject *object, QByteArray *standardError = nullptr) const;
    // "alias" "remove" "myorvane"; waits until the tool ends, with no limit. The outcome is returned but callers
    // normally ignore it.
    bool aliasRemove() const;
    // "alias" "set" "myorvane" url accessKey secretKey.
    bool aliasSet(const QString &url, const QString &accessKey, const QString &secretKey,
                  QByteArray *standardError = nullptr) const;
    // "ls" "--recursive" "--json" path. On success *standardOutput holds the raw listing (see parseListing).
    bool ls(const QString &path, QByteArray *standardOutput, QByteArray *standardError = nullptr) const;
    // "rm" path. True when the object is gone.
    bool rm(const QString &path, QByteArray *standardError = nullptr) const;
    // "get" path target; waits for the download with no overall limit.
    bool get(const QString &path, const QString &target, QByteArray *standardError = nullptr) const;

    // What a watched fetch tells its caller; both hooks are optional and run on the calling thread.
    struct FetchHooks {
        std::function<void(qint64 bytesSoFar)> progress;  // the target's size, whenever it changed, and at the end
        std::function<bool()> stopRequested;              // true kills the tool and fails the fetch
    };
    // "get" path target, watched every half second. The tool's exit code says nothing reliable about the file, so
    // the caller checks what arrived; *toolSaid gets its standard error. False only when the tool did not start or
    // a stop was requested, with *reason.
    bool fetch(const QString &path, const QString &target, const FetchHooks &hooks, QString *toolSaid,
               QString *reason) const;

    // The size the store lists for the object at path (its folder listed, the entry whose key is the object's
    // name). False with *why when the listing fails or does not hold the object with a numeric size.
    bool listedSize(const QString &path, qint64 *size, QString *why) const;

    // Makes the alias point at url with the given keys: exports it and, when "url", "accessKey" or "secretKey"
    // differ (exact comparison, a missing key counts as ""), removes it and sets it anew. A failing export leads
    // straight to the set. False only when the set fails; then *standardError holds the set's standard error.
    // The caller decides beforehand whether the alias may be touched at all (active flag, empty credentials).
    bool ensureAlias(const QString &url, const QString &accessKey, const QString &secretKey,
                     QByteArray *standardError = nullptr) const;

    // The commands of an upload line before the tool's "pipe", each an argument vector, the first the stream's
    // source (e.g. ZfsTool::sendWords) and each next one a filter of the one before.
    using Stream = QList<QStringList>;
    // Streams the output of stream into the tool's "pipe" under remotePath. The pipeline runs in a bash started by
    // `script`, every word quoted, so names reach the programs unchanged. True only when every command exited with
    // 0. On failure the tool's "rm" removes any partial object at remotePath, and *failure says what went wrong,
    // with the last UploadTailBytes the pipeline printed (its programs' own words). Waits 30 s for the start, then for
    // the end with no overall limit. Programs without a "/" are found through PATH. No process of the pipeline
    // outlives the calling thread: when it (or the whole process) ends, the kernel kills them all. progress, when
    // given, is called on the calling thread about once a second with the bytes of the stream that have left its
    // source so far (read from the kernel's counters, see pipelineio.h), whenever that number grew.
    bool upload(const Stream &stream, const QString &remotePath, QString *failure = nullptr,
                const std::function<void(qint64 bytesSent)> &progress = nullptr) const;
    static constexpr int UploadProgressMs = 1000;
    static constexpr int UploadTailBytes = 4096;

    // The shell command line that upload() hands to `script`.
    QString uploadCommandLine(const Stream &stream, const QString &remotePath) const;

    // --- Listing output. Pure functions, linear in the size of their input.

    // Raw "ls --recursive --json" output → the listing lines that describe stored files: the bytes up to the first
    // NUL, decoded as UTF-8, without any CR or LF, with "}{" turned into "},{", read as one JSON array (text that
    // does not parse gives an empty array). Only objects whose "type" is "file" and "status" is "success" are kept.
    static QJsonArray parseListing(const QByteArray &standardOutput);

    // "lastModified" → "yyyy-MM-dd HH:mm:ss" from its first 19 characters read as "yyyy-MM-ddTHH:mm:ss", fraction
    // and zone dropped unconverted; "" when they do not parse.
    static QString listingTime(const QJsonValue &lastModified);

    // Full listing of the machine root: a line is a backup when its "key" splits at "/" into exactly three parts
    // (empty parts kept) and the third starts with "qiv_". Then *dmpath gets the first two parts joined by "/" and
    // *entry gets "subpath" (the key), "dmpath", "file" (third part), "base" for an incremental backup (the
    // "qiv_<B>" it was sent from, see BackupName), "time", and "size" / "url" when the line has them. False, and
    // nothing written, for any other line.
    static bool alloadEntry(const QJsonObject &line, QString *dmpath, QJsonObject *entry);
    // Adds every backup among lines to result, appending each entry to the array under its dataset path (a missing
    // or non-array value counts as empty). Entries keep the order of lines.
    static void addAlloadEntries(const QJsonArray &lines, QJsonObject *result);

    // Listing of one dataset: a line is a backup when its "key" starts with "qiv_". *entry gets "subpath" and
    // "file" (the key), "dmpath" (dmpath + "/" + key), "base" for an incremental, "time", and "size" / "url" when
    // present.
    static bool loadbyEntry(const QJsonObject &line, const QString &dmpath, QJsonObject *entry);
    // The entries of every backup among lines, in their order.
    static QJsonArray loadbyEntries(const QJsonArray &lines, const QString &dmpath);

private:
    QString m_toolPath;
    OrvToolWaits m_waits;
};
