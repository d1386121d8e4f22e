// The cabinet a connection hands to every command: its two stores and how each reports a missing key.
#include <gtest/gtest.h>

#include <QJsonObject>
#include <QStringList>

#include "kp2cabinet.h"

TEST(KP2Cabinet, StoresAreSeparateAndReportMisses) {
    KP2Cabinet cabinet;
    cabinet.insert("protocol", 128);
    EXPECT_EQ(cabinet.value("protocol").toInt(), 128);
    EXPECT_TRUE(cabinet.value("missing").isUndefined());
    EXPECT_EQ(cabinet.object(), (QJsonObject{{"protocol", 128}}));
    EXPECT_FALSE(cabinet.contains("protocol"));

    cabinet.set("name", "n");
    cabinet.set("count", 3);
    QJsonValue out(QStringLiteral("untouched"));
    EXPECT_FALSE(cabinet.get("missing", out));
    EXPECT_EQ(out.toString(), "untouched");
    EXPECT_TRUE(cabinet.get("count", out));
    EXPECT_EQ(out.toInt(), 3);
    EXPECT_EQ(cabinet.getString("name"), "n");
    EXPECT_EQ(cabinet.getString("count"), "");
    EXPECT_EQ(cabinet.getString("missing"), "");
    cabinet.remove("name");
    EXPECT_EQ(cabinet.keys(), QStringList{"count"});
    cabinet.clear();
    EXPECT_TRUE(cabinet.keys().isEmpty());
    EXPECT_EQ(cabinet.value("protocol").toInt(), 128);
}
