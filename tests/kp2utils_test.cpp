#include "kp2utils.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

QJsonValue json(const char *text) {
    // Qt 5 parses only objects and arrays at the top level, so scalars are wrapped and unwrapped.
    return QJsonDocument::fromJson(QByteArray("[") + text + "]").array().at(0);
}

TEST(KP2Utils, ToIntTruncatesNumbersAndFallsBackToHex) {
    const struct {
        const char *json;
        int expected;
    } rows[] = {
        {"\"42\"", 42},
        {"\"ff\"", 255},
        {"\"4x\"", 0},
        {"\"\"", 0},
        {"3.9", 3},
        {"-3.9", -3},
        {"true", 1},
        {"false", 0},
        {"null", 0},
        {"[1]", 0},
        {"{\"a\":1}", 0},
        {"3e9", 0},
        {"-3e9", 0},
        {"2147483647", 2147483647},
        {"-2147483648.5", -2147483647 - 1},
    };
    for (const auto &row : rows) EXPECT_EQ(toInt(json(row.json)), row.expected) << row.json;
    EXPECT_EQ(toInt(QJsonValue(QJsonValue::Undefined)), 0);
}

TEST(KP2Utils, ToBoolOfTextAcceptsPositiveIntegersAndAFewWords) {
    const struct {
        const char *text;
        bool expected;
    } rows[] = {
        {"1", true},    {"2", true},      {"0", false},  {"-1", false},    {"", false},    {"true", true},
        {"TRUE", true}, {" true", false}, {"yes", true}, {"OK", true},     {"ok", true},   {"T", true},
        {"y", true},    {"on", false},    {"no", false}, {"false", false}, {"1.5", false},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(toBool(QString::fromUtf8(row.text)), row.expected) << row.text;
        EXPECT_EQ(isTrue(row.text), row.expected) << row.text;
    }
}

TEST(KP2Utils, IsTrueOfJsonFollowsTheValueType) {
    const struct {
        const char *json;
        bool expected;
    } rows[] = {
        {"true", true},    {"false", false}, {"0.5", true},   {"0", false},   {"-1", false},
        {"\"yes\"", true}, {"\"0\"", false}, {"null", false}, {"[1]", false}, {"{\"a\":true}", false},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(isTrue(json(row.json)), row.expected) << row.json;
        EXPECT_EQ(toBool(json(row.json)), row.expected) << row.json;
    }
}

TEST(KP2Utils, ToStringWritesIntegralNumbersWithoutFraction) {
    const struct {
        const char *json;
        const char *expected;
    } rows[] = {
        {"7", "7"},          {"3.0", "3"},         {"-4", "-4"},
        {"2.5", "2.500000"}, {"7.25", "7.250000"}, {"3e9", "3000000000.000000"},
        {"\"x y\"", "x y"},  {"true", ""},         {"null", ""},
        {"[1]", ""},         {"{}", ""},
    };
    for (const auto &row : rows) EXPECT_EQ(toString(json(row.json)), QString::fromUtf8(row.expected)) << row.json;
}

TEST(KP2Utils, ToStringsKeepsOrderAndSkipsOnlyBlankElements) {
    const QJsonValue v = json("[\" a \", \"\", \"  \", 5]");
    EXPECT_EQ(toStrings(v, true), (QStringList{" a ", "5"}));
    EXPECT_EQ(toStrings(v, false), (QStringList{" a ", "", "  ", "5"}));
    EXPECT_TRUE(toStrings(json("{\"a\":\"b\"}"), false).isEmpty());
    EXPECT_TRUE(toStrings(json("\"a\""), false).isEmpty());
}

TEST(KP2Utils, ToJsonObjectAndArrayGiveEmptyForTheWrongDocument) {
    EXPECT_EQ(toJsonObject("{\"a\":1}").value("a").toInt(), 1);
    EXPECT_TRUE(toJsonObject("[1]").isEmpty());
    EXPECT_TRUE(toJsonObject("{").isEmpty());
    EXPECT_TRUE(toJsonObject(QByteArray()).isEmpty());
    EXPECT_EQ(toJsonArray(QStringLiteral("[1,\"二\"]")).at(1).toString(), QStringLiteral("二"));
    EXPECT_TRUE(toJsonArray(QStringLiteral("{}")).isEmpty());
    EXPECT_TRUE(toJsonArray(QStringLiteral("[")).isEmpty());
}

TEST(KP2Utils, CmdArgumentsPairsEachKeyWithTheFollowingValue) {
    using Map = QHash<QString, QString>;
    const struct {
        QStringList args;
        Map expected;
    } rows[] = {
        {{"prog", "--cfg", "/a.json", "-v", "x", "y"}, Map{{"--cfg", "/a.json"}, {"-v", "x"}}},
        {{"prog", "-a", "-b"}, Map{{"-a", ""}, {"-b", ""}}},
        {{"prog", "--cfg", "1", "--cfg", "2"}, Map{{"--cfg", "2"}}},
        {{"prog"}, Map{}},
        {{}, Map{}},
    };
    for (const auto &row : rows) EXPECT_EQ(cmdArguments(row.args), row.expected) << row.args.join(' ').toStdString();
}

}  // namespace
