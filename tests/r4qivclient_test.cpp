#include "kp2dbsqlite.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

// The embedded statement files live in the static service library; the resource must be registered by name.
static void initResources() {
    Q_INIT_RESOURCE(r4qivclient);
}

namespace {

// Every embedded statement must prepare and run against a database made by the embedded creator script.
TEST(R4QivclientTest, EmbeddedCreatorAndEveryStatementRunOnAFreshDatabase) {
    initResources();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    KP2DBSqlite db;
    bool created = false;
    ASSERT_TRUE(db.open(dir.filePath("hosts.db"), ":/r4qivclient/engine.sql", ":/r4qivclient/creator.sql", &created))
        << qPrintable(db.lastError());
    EXPECT_TRUE(created);

    QJsonArray rows;
    ASSERT_TRUE(db.call(rows, "configure_alload", {}));
    QJsonObject config;
    for (const QJsonValue &row : rows) config.insert(row["key"].toString(), row["value"]);
    EXPECT_EQ(config.size(), 5);
    EXPECT_EQ(config["System.Id"], "R4HOSTNODE");
    EXPECT_EQ(config["Database.Id"], "R4HOSTNODE");
    EXPECT_EQ(config["System.Version"], "1");
    EXPECT_EQ(config["Database.Version"], "1");
    EXPECT_FALSE(config["Database.First.Date"].toString().isEmpty());

    const QJsonObject engine = db.sqlEngine();
    const QStringList ids = {"dcshost_alload",       "dcshost_submit",         "dcshost_append", "dcshost_setaccount",
                             "dcsnode_alload",       "dcsnode_acquit",         "dcsnode_append", "dcsnode_announce",
                             "dcsnode_change_state", "dcsnode_ready",          "dcsnode_clear",  "dcsnode_attach",
                             "dcsnode_detach",       "dcsgate_alload",         "dcsgate_acquit", "dcsgate_submit",
                             "dcsgate_append",       "dcsgate_change_onlined", "dcsgate_remove", "dcsgate_clear"};
    EXPECT_EQ(engine.size(), ids.size() + 4);  // with the four built-in configure_ statements
    // Appends first, so that the updates and selects that follow find a row; every declared parameter gets a value.
    const QJsonObject values{
        {"id", "h1"},    {"caption", "c"}, {"address", "10.0.0.1"}, {"udpport", 1}, {"tcpport", 2}, {"services", "s"},
        {"remark", "r"}, {"account", "a"}, {"password", "p"},       {"state", 1},   {"ready", 1},   {"hostid", "h1"},
        {"port", 3},     {"onlined", 1}};
    for (const QString &id : QStringList{"dcshost_append", "dcsnode_append", "dcsgate_append"})
        EXPECT_TRUE(db.call(id, values)) << qPrintable(id);
    for (const QString &id : ids) {
        const QJsonObject params = engine[id]["params"].toObject();
        for (const QString &name : params.keys()) {
            EXPECT_TRUE(values.contains(name)) << qPrintable(id + " " + name);
            const QString type = params[name].toString();
            EXPECT_TRUE(type == "string" || type == "integer") << qPrintable(id + " " + type);
        }
        int changes = 0, lastId = 0;
        QJsonArray result;
        QJsonObject v = values;
        if (id.endsWith("_append")) {  // a second row: ids and addresses are unique
            v["id"] = "h2";
            v["address"] = "10.0.0.2";
        }
        EXPECT_TRUE(db.call(changes, lastId, result, id, v)) << qPrintable(id + ": " + db.lastError());
        if (id.endsWith("_acquit")) {
            EXPECT_EQ(result.size(), 1) << qPrintable(id);
        }
    }
    // A submit without ports keeps the stored ones, as the node and gate submits do.
    EXPECT_TRUE(db.call("dcshost_submit", {{"id", "h1"}, {"caption", "d"}})) << qPrintable(db.lastError());
    QJsonArray hosts;
    ASSERT_TRUE(db.call(hosts, "dcshost_alload", {}));
    EXPECT_EQ(hosts.at(0)["udpport"], 1);
    EXPECT_EQ(hosts.at(0)["tcpport"], 2);
}

}  // namespace
