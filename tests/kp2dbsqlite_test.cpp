#include "kp2dbsqlite.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <thread>
#include <vector>

namespace {

// A database on a fresh temporary directory, created by a small creator script.
class SqliteTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(testsupport::writeFile(file("creator.sql"), "CREATE TABLE t(a INTEGER UNIQUE, b TEXT);"));
        ASSERT_TRUE(db.open(file("db/test.db"), QString(), file("creator.sql"), &created));
    }
    QString file(const QString &name) const { return dir.filePath(name); }
    // Loads a statement file with the given text.
    bool loadEngine(const QByteArray &text) {
        return testsupport::writeFile(file("engine.sql"), text) && db.loadSqlEngine(file("engine.sql"));
    }
    QJsonObject row(const QString &sql, const QJsonObject &values = {}, const QJsonObject &types = {}) {
        int changes = 0, lastId = 0;
        QList<QJsonObject> rows;
        if (!db.exec(changes, lastId, rows, sql, values, types) || rows.size() != 1) return {};
        return rows.first();
    }

    QTemporaryDir dir;
    KP2DBSqlite db;
    bool created = false;
};

TEST_F(SqliteTest, StatementFileBlocksBecomeEntries) {
    struct Case {
        const char *name;
        QByteArray file;
        const char *id;
        QJsonObject entry;  // empty: no entry under id
    };
    const QJsonObject intA{{"a", "integer"}};
    const Case cases[] = {
        {"header, text with @, declared parameter",
         "SQL: Foo\nSELECT @a;\nparams:\n@a integer\n",
         "foo",
         {{"id", "foo"}, {"text", "SELECT :a;\n"}, {"params", intA}}},
        {"block without text is dropped", "SQL: empty\nSQL: next\nSELECT 1;\n", "empty", {}},
        {"comment cut from a text line",
         "SQL: c\nx -- note\n",
         "c",
         {{"id", "c"}, {"text", "x\n"}, {"params", QJsonObject()}}},
        {"type defaults to string, ':' removed, rest ignored",
         "SQL: p\nSELECT :n;\nPARAMS: ignored\n:n\n\nm INT extra\n",
         "p",
         {{"id", "p"}, {"text", "SELECT :n;\n"}, {"params", QJsonObject{{"n", "string"}, {"m", "int"}}}}},
        {"lines before the first header are ignored",
         "SELECT 0;\nSQL: q\nSELECT 1;\n",
         "q",
         {{"id", "q"}, {"text", "SELECT 1;\n"}, {"params", QJsonObject()}}},
        {"a later block replaces an earlier one",
         "SQL: r\nSELECT 1;\nsql: R\nSELECT 2;\n",
         "r",
         {{"id", "r"}, {"text", "SELECT 2;\n"}, {"params", QJsonObject()}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(loadEngine(c.file));
        EXPECT_EQ(db.sqlEngine().value(c.id).toObject(), c.entry);
        EXPECT_TRUE(db.sqlEngine().contains("configure_get"));  // the built-in statements are always there
    }
    EXPECT_EQ(KP2DBSqlite::delSqlComments("a -- b\n\n  --x\n c \n"), QStringList({"a", "", "c"}));
}

TEST_F(SqliteTest, LoadingFailuresKeepTheTable) {
    ASSERT_TRUE(loadEngine("SQL: foo\nSELECT 1 AS one;\n"));
    EXPECT_FALSE(db.loadSqlEngine(QString()));
    EXPECT_EQ(db.lastError(), "Not found engine ddl.");
    EXPECT_FALSE(db.loadSqlEngine(file("missing.sql")));
    EXPECT_TRUE(db.sqlEngine().contains("foo"));

    QList<QJsonObject> rows;
    EXPECT_TRUE(db.call(rows, "foo", {}));
    EXPECT_EQ(rows, QList<QJsonObject>({QJsonObject{{"one", 1}}}));
    EXPECT_FALSE(db.call("Foo", {}));  // ids from a file are lower case; the lookup is case-sensitive
    EXPECT_EQ(db.lastError(), "sqlid not found: Foo");
    EXPECT_EQ(db.lastSqlId(), "Foo");
}

TEST_F(SqliteTest, ParametersBindByNameValueTypeAndDeclaredType) {
    struct Case {
        const char *name;
        const char *sql;
        QJsonObject values, types;
        QJsonObject expected;
    };
    const Case cases[] = {
        {"missing, declared integer: NULL", "SELECT typeof(:a) AS t", {}, {{"a", "integer"}}, {{"t", "null"}}},
        {"missing, declared int: 0",
         "SELECT typeof(:a) AS t, :a AS v",
         {},
         {{"a", "int"}},
         {{"t", "integer"}, {"v", 0}}},
        {"missing, declared string: empty text", "SELECT :a AS v", {}, {{"a", "string"}}, {{"v", ""}}},
        {"type names are case-sensitive", "SELECT typeof(:a) AS t", {}, {{"a", "Int"}}, {{"t", "null"}}},
        {"3.0 binds as an integer", "SELECT typeof(:a) AS t, :a AS v", {{"a", 3.0}}, {}, {{"t", "integer"}, {"v", 3}}},
        {"3.5 binds as a double", "SELECT typeof(:a) AS t, :a AS v", {{"a", 3.5}}, {}, {{"t", "real"}, {"v", 3.5}}},
        {"outside 32 bits binds as a double", "SELECT typeof(:a) AS t", {{"a", 5e9}}, {}, {{"t", "real"}}},
        {"outside 64 bits binds as a double", "SELECT :a AS v", {{"a", -1e300}}, {}, {{"v", -1e300}}},
        {"boolean binds as 0 or 1", "SELECT :a AS v", {{"a", true}}, {}, {{"v", 1}}},
        {"null value stays unbound", "SELECT typeof(:a) AS t", {{"a", QJsonValue()}}, {{"a", "int"}}, {{"t", "null"}}},
        {"@ and $ names look up the bare key", "SELECT @a || $b AS v", {{"a", "x"}, {"b", "y"}}, {}, {{"v", "xy"}}},
        {"columns lower-cased, null and blob left out",
         "SELECT 1 AS Up, NULL AS n, x'00' AS b, 'é' AS Txt",
         {},
         {},
         {{"up", 1}, {"txt", "é"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(row(c.sql, c.values, c.types), c.expected);
    }
}

TEST_F(SqliteTest, ScriptsGoOnAfterAStepFailureAndStopAtAPrepareFailure) {
    int changes = -1, lastId = -1;
    ASSERT_TRUE(db.exec(changes, lastId, "INSERT INTO t VALUES(1, 'one');"));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(lastId, 1);

    // The duplicate fails at the step stage; the second statement still runs and decides the result.
    EXPECT_TRUE(db.exec(changes, lastId, "INSERT INTO t VALUES(1, 'dup'); INSERT INTO t VALUES(2, 'two');"));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(lastId, 2);
    EXPECT_NE(db.lastError().indexOf("UNIQUE"), -1);
    EXPECT_FALSE(db.exec(changes, lastId, "INSERT INTO t VALUES(1, 'dup');"));

    // A statement that cannot be prepared stops the run; the ones before it count.
    EXPECT_FALSE(db.exec(changes, lastId, "SELEC 1; INSERT INTO t VALUES(3, 'three');"));
    EXPECT_TRUE(db.exec(changes, lastId, "INSERT INTO t VALUES(4, 'four'); SELEC 1; INSERT INTO t VALUES(5, '');"));
    EXPECT_EQ(row("SELECT count(*) AS n FROM t"), QJsonObject({{"n", 3}}));
}

TEST_F(SqliteTest, OpenCreatesOnceAndDeletesAFailedCreation) {
    EXPECT_TRUE(created);
    EXPECT_EQ(db.path(), file("db/test.db"));
    bool again = false;
    ASSERT_TRUE(db.open(file("db/test.db"), QString(), file("creator.sql"), &again));
    EXPECT_FALSE(again);  // an existing file is opened, not created

    ASSERT_TRUE(testsupport::writeFile(file("bad.sql"), "CREATE TABLE x(; CREATE TABLE y(a);"));
    EXPECT_FALSE(db.open(file("bad.db"), QString(), file("bad.sql")));
    EXPECT_FALSE(QFileInfo::exists(file("bad.db")));
    EXPECT_TRUE(db.path().isEmpty());
    EXPECT_FALSE(db.open(file("none.db"), QString(), QString()));
    EXPECT_EQ(db.lastError(), "Not found creator ddl");
    EXPECT_FALSE(QFileInfo::exists(file("none.db")));

    // The two-argument form runs the creator text loaded before.
    db.loadSqlCreator(file("creator.sql"));
    bool made = false;
    EXPECT_TRUE(db.open(file("second.db"), &made));
    EXPECT_TRUE(made);

    EXPECT_FALSE(db.openOnly(file("missing.db")));
    EXPECT_FALSE(QFileInfo::exists(file("missing.db")));
    EXPECT_TRUE(db.openOnly(file("db/test.db")));
    EXPECT_EQ(db.path(), file("db/test.db"));
    EXPECT_FALSE(db.open(QString(), QString(), file("creator.sql")));
    EXPECT_TRUE(db.path().isEmpty());
    EXPECT_TRUE(db.openOnly(file("db/test.db")));
    db.close();
    EXPECT_TRUE(db.path().isEmpty());
}

// Under a umask of 077 the directories made for a new database still get 755; one that existed keeps its mode.
TEST_F(SqliteTest, OpenGivesMode755OnlyToTheDirectoriesItMakes) {
    ASSERT_TRUE(QDir(dir.path()).mkdir("shared"));
    ASSERT_EQ(chmod(QFile::encodeName(file("shared")).constData(), 01777), 0);
    const mode_t umaskBefore = umask(077);
    EXPECT_TRUE(db.open(file("shared/new.db"), QString(), file("creator.sql")));
    EXPECT_TRUE(db.open(file("shared/x/y/new.db"), QString(), file("creator.sql")));
    umask(umaskBefore);
    for (const auto &[name, mode] : {std::pair{"shared", 01777u}, {"shared/x", 0755u}, {"shared/x/y", 0755u}}) {
        struct stat st {};
        EXPECT_EQ(stat(QFile::encodeName(file(name)).constData(), &st) == 0 ? st.st_mode & 07777 : 0u, mode) << name;
    }
}

// SQLite stops reading at a NUL; so does the text of a statement, a statement file and a creator file.
TEST_F(SqliteTest, TextEndsAtItsFirstNul) {
    int changes = 0, lastId = 0;
    EXPECT_TRUE(db.exec(changes, lastId, QString("INSERT INTO t VALUES(1, 'one');") + QChar(0) + " DELETE FROM t;"));
    EXPECT_EQ(row("SELECT count(*) AS n FROM t"), QJsonObject({{"n", 1}}));
    ASSERT_TRUE(loadEngine(QByteArray("SQL: a\nSELECT 1 AS v;\n") + '\0' + "SQL: b\nSELECT 2 AS v;\n"));
    EXPECT_FALSE(db.sqlEngine().contains("b"));
    QList<QJsonObject> rows;
    EXPECT_TRUE(db.call(rows, "a", {}));
    ASSERT_TRUE(testsupport::writeFile(file("nul.sql"), QByteArray("CREATE TABLE u(a);") + '\0' + " CREATE TABLE"));
    db.loadSqlCreator(file("nul.sql"));
    EXPECT_EQ(db.sqlCreator(), "CREATE TABLE u(a);");
}

TEST_F(SqliteTest, InMemoryDatabaseIsAlwaysNewAndTouchesNoFileOrDirectory) {
    // Run from an empty directory: nothing may appear in it.
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir(dir.path()).mkdir("cwd") && QDir::setCurrent(file("cwd")));

    bool made = false;
    db.loadSqlCreator(file("creator.sql"));
    EXPECT_TRUE(db.open(":memory:", &made));
    EXPECT_TRUE(made);
    EXPECT_EQ(row("SELECT count(*) AS n FROM t"), QJsonObject({{"n", 0}}));
    ASSERT_TRUE(testsupport::writeFile(file("bad.sql"), "CREATE TABLE x(;"));
    db.loadSqlCreator(file("bad.sql"));
    EXPECT_FALSE(db.open(":memory:"));

    EXPECT_EQ(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QDir::setCurrent(before);
}

TEST_F(SqliteTest, TransactionsNeedAnOpenConnection) {
    ASSERT_TRUE(db.transactionBegin());
    int changes = 0, lastId = 0;
    ASSERT_TRUE(db.exec(changes, lastId, "INSERT INTO t VALUES(1, 'one');"));
    ASSERT_TRUE(db.transactionRollback());
    EXPECT_EQ(row("SELECT count(*) AS n FROM t"), QJsonObject({{"n", 0}}));
    EXPECT_FALSE(db.transactionCommit());  // no transaction is active
    db.close();
    EXPECT_FALSE(db.transactionBegin());
}

// Detached calls share the connection with calls of this thread; every insert must land exactly once.
TEST_F(SqliteTest, DetachedCallsBesideCallsShareTheConnection) {
    ASSERT_TRUE(
        loadEngine("SQL: put\nINSERT INTO t(a, b) VALUES(@a, @b);\nparams:\na integer\nb string\n"
                   "SQL: count\nSELECT count(*) AS n FROM t;\n"));
    const int n = 50;
    for (int i = 0; i < n; ++i) {
        db.callDetach("put", {{"a", i}, {"b", "detached"}});
        EXPECT_TRUE(db.call("put", {{"a", n + i}, {"b", "direct"}}));
    }
    QJsonArray rows;
    EXPECT_TRUE(testsupport::waitUntil([&] {
        rows = QJsonArray();
        return db.call(rows, "count", {}) && rows.at(0).toObject().value("n").toInt() == 2 * n;
    }));
}

}  // namespace
