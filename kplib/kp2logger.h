// KP2Logger: writes timestamped, levelled text lines to a log file that is rotated by size into numbered backups
// (app.log -> app.1.log ... app.10.log; backup 1 is the oldest). A line is written at once by the calling thread or
// queued for a background writer. A process-wide registry tracks the live loggers and the current one, i().
// Thread-safe: write() and the accessors may be called from any thread. Loggers are created, made current and
// destroyed on the main thread; the registry takes a lock all the same. The logger never reports a failure: a line
// that cannot be written is dropped.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

class KP2LoggerPrivate;

class KP2Logger : public QObject {
    Q_OBJECT
public:
    // The values 6 to 10 have no name: a line at such a level shows none.
    enum LogLevel {
        Trace = 0,
        Debug = 1,
        Info = 2,
        Warn = 3,
        Error = 4,
        Fatal = 5,
        MemTrace = 11,
        Script = 12,
        DB = 13
    };
    Q_ENUM(LogLevel)

    // Writes nothing until it is given a file path. Becomes the current logger and joins the registry.
    explicit KP2Logger(QObject *parent = nullptr);
    // Leaves the registry; if it was current, the most recently created logger still alive becomes current
    // (none when no logger remains). Waits for its writer thread; lines still queued are dropped.
    ~KP2Logger() override;

    // The current logger, or nullptr when none lives.
    static KP2Logger *i();
    // Makes this logger current.
    void setCurrentInstance();

    // The log file; nothing is written while it is empty.
    QString filePath() const;
    void setFilePath(const QString &path);
    // Rotation threshold in bytes (10 MiB by default); 0 or less never rotates.
    qint64 maxSize() const;
    void setMaxSize(qint64 bytes);
    // Whether lines are written at all (true by default).
    bool output() const;
    void setOutput(bool on);
    // true (the default): write() appends the line itself. false: write() queues it for the writer thread, which
    // is started on demand and ends when the queue is empty or the file cannot be used.
    bool immediate() const;
    void setImmediate(bool on);

    // Deletes the log file and its backups 1 to 9; the newest backup (10) stays.
    void clean();

    // Formats "yyyy-MM-dd HH:mm:ss <level name>[ context1][ context2][ #line] <message>", trimmed, where the message
    // is format (UTF-8) expanded printf-style (%s takes UTF-8 byte strings). Writes or queues the line as set
    // above and returns it, also when nothing is written.
    QString write(int level, const QString &context1, const QString &context2, int line, const char *format, ...)
        Q_ATTRIBUTE_FORMAT_PRINTF(6, 7);

private:
    Q_DISABLE_COPY(KP2Logger)
    std::unique_ptr<KP2LoggerPrivate> d;
};
