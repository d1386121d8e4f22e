#include "kp2dbsqlite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QReadLocker>
#include <QRegularExpression>
#include <QWriteLocker>

#include <sqlite3.h>

#include <thread>
#include <vector>

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// The statements every table starts from; a statement file may replace them.
QJsonObject builtInStatements() {
    auto entry = [](const char *text, const QJsonObject &params) {
        return QJsonObject{{"text", QString::fromUtf8(text)}, {"params", params}};
    };
    QJsonObject table;
    table.insert("configure_alload",
                 entry("SELECT CFG_Key AS key, CFG_Value AS value FROM SYS_Configure ORDER BY CFG_Key;",
                       QJsonObject{{"key", "string"}}));
    table.insert("configure_get", entry("SELECT CFG_Value AS value FROM SYS_Configure WHERE CFG_Key = :key LIMIT 1;",
                                        QJsonObject{{"key", "string"}}));
    table.insert("configure_change", entry("UPDATE SYS_Configure SET CFG_Value = :value WHERE cfg_key = :key;",
                                           QJsonObject{{"key", "string"}, {"value", "string"}}));
    table.insert("configure_append", entry("INSERT INTO SYS_Configure( CFG_Key, CFG_Value)VALUES( :key, :value);",
                                           QJsonObject{{"key", "string"}, {"value", "string"}}));
    return table;
}

// The bytes before the first NUL, if any: a statement text, like a C string, ends there.
QByteArray upToNul(const QByteArray &bytes) {
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}

// Creates the missing directories of dir with mode 755; an existing directory keeps its mode. True when dir exists
// afterwards.
bool makeDirectories(const QString &dir) {
    QStringList missing;
    for (QString d = QDir::cleanPath(dir); !QFileInfo::exists(d); d = QFileInfo(d).path()) {
        missing.prepend(d);
        if (QFileInfo(d).path() == d) break;  // the root, missing: mkpath fails below
    }
    if (!missing.isEmpty() && !QDir().mkpath(dir)) return false;
    const QFile::Permissions mode755 = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                       QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    for (const QString &d : missing) QFile::setPermissions(d, mode755);
    return true;
}

bool startsWithNoCase(const QString &line, const QString &prefix) {
    return line.startsWith(prefix, Qt::CaseInsensitive);
}

// Binds parameter i from values, else a default by its declared type, else leaves it unbound (NULL). Text buffers
// are kept in keep until the statement is finalized (SQLITE_STATIC).
void bindParameter(sqlite3_stmt *stmt, int i, const QJsonObject &values, const QJsonObject &types,
                   std::vector<QByteArray> &keep) {
    const char *raw = sqlite3_bind_parameter_name(stmt, i);
    if (!raw || !raw[0] || !raw[1]) return;  // anonymous "?" (or a bare prefix)
    const QString name = QString::fromUtf8(raw + 1);
    if (values.contains(name)) {
        const QJsonValue v = values.value(name);
        if (v.isBool()) {
            sqlite3_bind_int(stmt, i, v.toBool() ? 1 : 0);
        } else if (v.isDouble()) {
            const double d = v.toDouble();
            // The range first: converting a double outside qint64's range (1e300) is undefined.
            if (d >= double(INT32_MIN) && d <= double(INT32_MAX) && d == double(qint64(d)))
                sqlite3_bind_int64(stmt, i, qint64(d));
            else
                sqlite3_bind_double(stmt, i, d);
        } else if (v.isString()) {
            keep.push_back(v.toString().toUtf8());
            sqlite3_bind_text(stmt, i, keep.back().constData(), keep.back().size(), SQLITE_STATIC);
        }
        return;  // null, array and object values stay unbound
    }
    if (!types.contains(name)) return;
    const QString type = types.value(name).toString();
    if (type == QLatin1String("string") || type == QLatin1String("text"))
        sqlite3_bind_text(stmt, i, "", 0, SQLITE_STATIC);
    else if (type == QLatin1String("int") || type == QLatin1String("double"))
        sqlite3_bind_int(stmt, i, 0);
}

QJsonObject readRow(sqlite3_stmt *stmt) {
    QJsonObject row;
    const int n = sqlite3_column_count(stmt);
    for (int c = 0; c < n; ++c) {
        const QString name = QString::fromUtf8(sqlite3_column_name(stmt, c)).toLower();
        switch (sqlite3_column_type(stmt, c)) {
            case SQLITE_INTEGER:
                row.insert(name, sqlite3_column_int(stmt, c));
                break;
            case SQLITE_FLOAT:
                row.insert(name, sqlite3_column_double(stmt, c));
                break;
            case SQLITE_TEXT:
                row.insert(name, QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, c)),
                                                   sqlite3_column_bytes(stmt, c)));
                break;
            default:
                break;  // null and blob columns are left out
        }
    }
    return row;
}

}  // namespace

KP2DBSqlite::KP2DBSqlite() = default;

KP2DBSqlite::~KP2DBSqlite() {
    // A detached call holds a pointer to this object: wait until every one has finished with it.
    {
        std::unique_lock<std::mutex> lock(m_detachLock);
        m_detachDone.wait(lock, [this] { return m_detached == 0; });  // no limit: each call ends with its statement
    }
    close();
}

bool KP2DBSqlite::open(const QString &dbPath, const QString &enginePath, const QString &creatorPath, bool *created) {
    Lock lock(m_conn);
    return openLocked(dbPath, &enginePath, &creatorPath, created);
}

bool KP2DBSqlite::open(const QString &dbPath, bool *created) {
    Lock lock(m_conn);
    return openLocked(dbPath, nullptr, nullptr, created);
}

// enginePath and creatorPath are null for the two-argument open: the loaded creator text, no statement file.
bool KP2DBSqlite::openLocked(const QString &dbPath, const QString *enginePath, const QString *creatorPath,
                             bool *created) {
    closeLocked();
    if (dbPath.isEmpty()) return false;
    // SQLite's ":memory:" names no file: it is always new, with no directory to make (its "directory" would be
    // ":", made in the working directory) and no file to remove.
    const bool inMemory = dbPath == QLatin1String(":memory:");
    const bool existed = !inMemory && QFileInfo::exists(dbPath);
    // Result ignored: a directory that cannot be made shows up as the open failing below.
    if (!existed && !inMemory) makeDirectories(QFileInfo(dbPath).absolutePath());
    if (sqlite3_open(QFile::encodeName(dbPath).constData(), &m_db) != SQLITE_OK) {
        if (m_db) m_lastError = QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    if (existed) {
        m_path = dbPath;
        if (enginePath) loadSqlEngine(*enginePath);
        return true;
    }
    if (creatorPath && creatorPath->isEmpty()) {
        m_lastError = QStringLiteral("Not found creator ddl");
    } else {
        if (creatorPath) loadSqlCreator(*creatorPath);
        int changes = 0, lastId = 0;
        if (exec(changes, lastId, m_creator)) {
            if (created) *created = true;
            m_path = dbPath;
            if (enginePath) loadSqlEngine(*enginePath);
            return true;
        }
    }
    closeLocked();
    if (!inMemory) QFile::remove(dbPath);
    return false;
}

bool KP2DBSqlite::openOnly(const QString &dbPath) {
    Lock lock(m_conn);
    closeLocked();
    if (dbPath.isEmpty() || !QFileInfo(dbPath).isFile() ||
        sqlite3_open_v2(QFile::encodeName(dbPath).constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        if (m_db) m_lastError = QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    m_path = dbPath;
    return true;
}

void KP2DBSqlite::close() {
    Lock lock(m_conn);
    closeLocked();
}

void KP2DBSqlite::closeLocked() {
    if (m_db) sqlite3_close(m_db);
    m_db = nullptr;
    m_path.clear();
}

bool KP2DBSqlite::isOpen() const {
    Lock lock(m_conn);
    return m_db != nullptr;
}

QString KP2DBSqlite::path() const {
    Lock lock(m_conn);
    return m_path;
}

QString KP2DBSqlite::lastError() const {
    Lock lock(m_conn);
    return m_lastError;
}

QString KP2DBSqlite::lastSqlId() const {
    Lock lock(m_conn);
    return m_lastSqlId;
}

void KP2DBSqlite::loadSqlCreator(const QString &path) {
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly)) return;
    const QString text = QString::fromUtf8(upToNul(file.readAll())).trimmed();
    Lock lock(m_conn);
    m_creator = text;
}

QString KP2DBSqlite::sqlCreator() const {
    Lock lock(m_conn);
    return m_creator;
}

QStringList KP2DBSqlite::delSqlComments(const QString &text) {
    QStringList lines;
    for (QString line : text.split('\n', Qt::SkipEmptyParts)) {
        const int comment = line.indexOf(QLatin1String("--"));  // also inside a quoted literal: the format says so
        if (comment >= 0) line.truncate(comment);
        lines.append(line.trimmed());
    }
    return lines;
}

bool KP2DBSqlite::loadSqlEngine(const QString &path, bool) {
    if (path.isEmpty()) {
        Lock lock(m_conn);
        m_lastError = QStringLiteral("Not found engine ddl.");
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QString text = QString::fromUtf8(upToNul(file.readAll())).trimmed();

    QJsonObject table = builtInStatements();
    QString id, sql;
    QJsonObject params;
    bool paramsMode = false;
    auto closeBlock = [&] {
        if (id.isEmpty() || sql.isEmpty()) return;
        sql.replace('@', ':');
        table.insert(id, QJsonObject{{"id", id}, {"text", sql}, {"params", params}});
    };
    for (const QString &line : delSqlComments(text)) {
        if (line.isEmpty()) continue;
        if (startsWithNoCase(line, QStringLiteral("SQL:"))) {
            closeBlock();
            id = line.mid(4).trimmed().toLower();
            sql.clear();
            params = QJsonObject();
            paramsMode = false;
        } else if (startsWithNoCase(line, QStringLiteral("Params:"))) {
            paramsMode = true;
        } else if (id.isEmpty()) {
            continue;
        } else if (!paramsMode) {
            sql += line + '\n';
        } else {
            const QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
            QString name = words.value(0);
            if (name.startsWith('@') || name.startsWith(':')) name.remove(0, 1);
            params.insert(name, words.size() > 1 ? words.at(1).toLower() : QStringLiteral("string"));
        }
    }
    closeBlock();

    QWriteLocker lock(&m_statementsLock);
    m_engine = text;
    m_statements = table;
    return true;
}

QString KP2DBSqlite::sqlEngineText() const {
    QReadLocker lock(&m_statementsLock);
    return m_engine;
}

QJsonObject KP2DBSqlite::sqlEngine() const {
    QReadLocker lock(&m_statementsLock);
    return m_statements;
}

bool KP2DBSqlite::exec(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sql,
                       const QJsonObject &values, const QJsonObject &types) {
    Lock lock(m_conn);
    changes = 0;
    lastId = 0;
    bool result = false;
    if (!m_db) {
        m_lastError = QStringLiteral("database is not open");
        return false;
    }
    std::vector<QByteArray> keep;  // bound text, alive until exec ends
    // SQLite reads the text only up to a NUL and would then return the same tail again and again.
    QByteArray remaining = upToNul(sql.toUtf8()).trimmed();
    while (!remaining.isEmpty()) {
        sqlite3_stmt *stmt = nullptr;
        const char *tail = nullptr;
        const int rc = sqlite3_prepare_v2(m_db, remaining.constData(), remaining.size(), &stmt, &tail);
        const QByteArray rest =
            tail ? QByteArray(tail, int(remaining.constData() + remaining.size() - tail)).trimmed() : QByteArray();
        if (rc != SQLITE_OK) {
            m_lastError = QString::fromUtf8(sqlite3_errmsg(m_db));
            sqlite3_finalize(stmt);
            break;  // the result stays what the earlier statements made it
        }
        if (!stmt && rest.size() >= remaining.size()) {
            // Never expected with the text cut at its NUL; a loop that made no progress would spin with the lock held.
            m_lastError =
                QStringLiteral("exec: SQLite made no progress on the text: ") + QString::fromUtf8(rest.left(40));
            return false;
        }
        remaining = rest;
        if (!stmt) continue;  // only white space or a comment

        const int count = sqlite3_bind_parameter_count(stmt);
        for (int i = 1; i <= count; ++i) bindParameter(stmt, i, values, types, keep);

        for (;;) {
            const int step = sqlite3_step(stmt);
            if (step == SQLITE_ROW) {
                rows.append(readRow(stmt));
                result = true;
                continue;
            }
            if (step == SQLITE_DONE) {
                result = true;
            } else {
                m_lastError = QString::fromUtf8(sqlite3_errmsg(m_db));
            }
            if (result) {
                changes = sqlite3_changes(m_db);
                lastId = int(sqlite3_last_insert_rowid(m_db));
            }
            break;
        }
        sqlite3_finalize(stmt);
    }
    return result;
}

bool KP2DBSqlite::exec(int &changes, int &lastId, const QString &sql, const QJsonObject &values,
                       const QJsonObject &types) {
    QList<QJsonObject> rows;
    return exec(changes, lastId, rows, sql, values, types);
}

bool KP2DBSqlite::call(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &id,
                       const QJsonObject &values) {
    Lock lock(m_conn);
    m_lastSqlId = id;
    QJsonObject entry;
    {
        QReadLocker statements(&m_statementsLock);
        entry = m_statements.value(id).toObject();
    }
    if (entry.isEmpty()) {
        m_lastError = QStringLiteral("sqlid not found: ") + id;
        return false;
    }
    return exec(changes, lastId, rows, entry.value("text").toString(), values, entry.value("params").toObject());
}

bool KP2DBSqlite::call(int &changes, int &lastId, const QString &id, const QJsonObject &values) {
    QList<QJsonObject> rows;
    return call(changes, lastId, rows, id, values);
}

bool KP2DBSqlite::call(const QString &id, const QJsonObject &values) {
    int changes = 0, lastId = 0;
    return call(changes, lastId, id, values);
}

bool KP2DBSqlite::call(QList<QJsonObject> &rows, const QString &id, const QJsonObject &values) {
    int changes = 0, lastId = 0;
    return call(changes, lastId, rows, id, values);
}

bool KP2DBSqlite::call(QJsonArray &rows, const QString &id, const QJsonObject &values) {
    int changes = 0, lastId = 0;
    return call(changes, lastId, rows, id, values);
}

bool KP2DBSqlite::call(int &changes, int &lastId, QJsonArray &rows, const QString &id, const QJsonObject &values) {
    QList<QJsonObject> list;
    const bool ok = call(changes, lastId, list, id, values);
    for (const QJsonObject &row : list) rows.append(row);
    return ok;
}

void KP2DBSqlite::callDetach(const QString &id, const QJsonObject &values) {
    if (!isOpen()) return;
    {
        std::lock_guard<std::mutex> lock(m_detachLock);
        ++m_detached;
    }
    // The thread shares the connection; every public call holds m_conn, so it takes its turn with the others.
    std::thread([this, id, values] {
        call(id, values);
        std::lock_guard<std::mutex> lock(m_detachLock);
        if (--m_detached == 0) m_detachDone.notify_all();
    }).detach();
}

bool KP2DBSqlite::simpleExec(const char *sql) {
    Lock lock(m_conn);
    return m_db && sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool KP2DBSqlite::transactionBegin() {
    return simpleExec("begin transaction");
}

bool KP2DBSqlite::transactionCommit() {
    return simpleExec("commit transaction");
}

bool KP2DBSqlite::transactionRollback() {
    return simpleExec("rollback transaction");
}
