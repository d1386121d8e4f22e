// KP2DBSqlite: one SQLite database file, created from a creator script on first open, with a table of named SQL
// statements loaded from a statement file; statements run by id with named parameters bound from a JSON object.
// Thread-safe: every public method may be called from any thread. Use of the connection (and of lastError and
// lastSqlId) is serialised, one public call at a time; the statement table sits behind a read-write lock. Results
// are returned by value or through the caller's out-parameters. The destructor waits for running callDetach threads.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QReadWriteLock>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <condition_variable>
#include <mutex>

struct sqlite3;

class KP2DBSqlite {
public:
    KP2DBSqlite();
    // close(), after every callDetach thread has finished.
    ~KP2DBSqlite();

    // Opens dbPath, creating it when missing, and its missing directories in-process with mode 755 (an existing
    // directory keeps its mode; no program is started). A new database runs the creator script read from
    // creatorPath; if that fails (or creatorPath is empty) the new file is deleted and the result is false. On
    // success the statement file at enginePath is loaded (its failure is ignored) and *created, when given, is set to
    // true for a new database (it is never set to false). Any open connection is closed first. ":memory:" opens a
    // new in-memory database and touches no file or directory.
    bool open(const QString &dbPath, const QString &enginePath, const QString &creatorPath, bool *created = nullptr);
    // The same with the creator text already loaded by loadSqlCreator; no statement file is loaded.
    bool open(const QString &dbPath, bool *created = nullptr);
    // Opens an existing file only; never creates one. path() is dbPath on success, empty on failure.
    bool openOnly(const QString &dbPath);
    void close();
    bool isOpen() const;
    // The path of the open database; empty after close() and after a failed open.
    QString path() const;
    // The last error message; never cleared by a success.
    QString lastError() const;
    // The id passed to the last call().
    QString lastSqlId() const;

    // Reads the creator script (up to a NUL, trimmed) if the file can be read; otherwise changes nothing.
    void loadSqlCreator(const QString &path);
    QString sqlCreator() const;
    // Replaces the statement table by the built-in statements plus those of the statement file at path. An empty
    // path (lastError "Not found engine ddl.") or an unreadable file returns false and leaves the table unchanged.
    // The file's text ends at a NUL. The bool has no effect.
    bool loadSqlEngine(const QString &path, bool = false);
    QString sqlEngineText() const;
    // The statement file reduced to lines: empty lines dropped, "--" comments cut, each line trimmed (a line may
    // become empty).
    static QStringList delSqlComments(const QString &text);
    // A copy of the statement table: id -> {"id", "text", "params": {name: type}}.
    QJsonObject sqlEngine() const;

    // Runs every statement of sql in turn. Parameters bind by name (without the leading ':', '@' or '$') from
    // values, else a default by the type declared in types ("string"/"text": empty text, "int"/"double": 0), else
    // NULL. A statement failing at the step stage does not stop the ones after it (lastError records it); one that
    // fails to prepare stops the run. True when at least one statement gave a row or completed. changes and lastId
    // describe the last statement that completed. sql ends at its first NUL.
    bool exec(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sql,
              const QJsonObject &values = QJsonObject(), const QJsonObject &types = QJsonObject());
    bool exec(int &changes, int &lastId, const QString &sql, const QJsonObject &values = QJsonObject(),
              const QJsonObject &types = QJsonObject());

    // Runs the statement stored under id (case-sensitive) with its declared parameter types; false with lastError
    // "sqlid not found: <id>" when there is none. Rows have lower-case column names; null and blob columns are left
    // out.
    bool call(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &id, const QJsonObject &values);
    bool call(int &changes, int &lastId, const QString &id, const QJsonObject &values);
    bool call(const QString &id, const QJsonObject &values);
    bool call(QList<QJsonObject> &rows, const QString &id, const QJsonObject &values);
    bool call(QJsonArray &rows, const QString &id, const QJsonObject &values);
    bool call(int &changes, int &lastId, QJsonArray &rows, const QString &id, const QJsonObject &values);
    // If a connection is open, runs call(id, values) on a thread of its own and returns at once; its result is lost.
    void callDetach(const QString &id, const QJsonObject &values);

    // True only if a connection is open and SQLite accepts the statement.
    bool transactionBegin();
    bool transactionCommit();
    bool transactionRollback();

private:
    Q_DISABLE_COPY(KP2DBSqlite)

    bool openLocked(const QString &dbPath, const QString *enginePath, const QString *creatorPath, bool *created);
    void closeLocked();
    bool simpleExec(const char *sql);

    // Held for the whole of every public call that touches the connection, lastError, lastSqlId, path or the creator
    // text. Recursive because call() runs exec() and open() runs exec() and loadSqlEngine().
    mutable std::recursive_mutex m_conn;
    sqlite3 *m_db = nullptr;
    QString m_path;
    QString m_lastError;
    QString m_lastSqlId;
    QString m_creator;

    mutable QReadWriteLock m_statementsLock;
    QJsonObject m_statements;
    QString m_engine;  // guarded by m_statementsLock

    // callDetach threads still running; the destructor waits for zero.
    std::mutex m_detachLock;
    std::condition_variable m_detachDone;
    int m_detached = 0;
};
