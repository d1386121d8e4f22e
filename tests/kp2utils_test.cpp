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

// Repeated member names make the toolkit's parser leak what it drops (the sanitizer build sees it); they are refused.
TEST(KP2Utils, ParseJsonRefusesAnObjectThatRepeatsAName) {
    const struct {
        const char *name;
        QByteArray text;
        QJsonParseError::ParseError error;
    } rows[] = {
        {"names unique in each object", R"({"a":{"a":1,"b":"a"},"b":["a","a"],"c":{"a":2}})", QJsonParseError::NoError},
        {"repeated at the top", R"({"a":[1],"a":2})", QJsonParseError::IllegalValue},
        {"repeated in a nested object", R"([{"x":{"a":1,"b":2,"a":{}}}])", QJsonParseError::IllegalValue},
        {"repeated through an escape", R"({"a":1,"\u0061":2})", QJsonParseError::IllegalValue},
        {"name after a nested array", R"({"a":[{"b":1}],"a":0})", QJsonParseError::IllegalValue},
        {"brackets and quotes inside strings", R"({"a":"{\"a\":[","b":1})", QJsonParseError::NoError},
        {"1024 levels", QByteArray(1024, '[') + QByteArray(1024, ']'), QJsonParseError::NoError},
        {"1025 levels", QByteArray(1025, '[') + QByteArray(1025, ']'), QJsonParseError::DeepNesting},
    };
    for (const auto &row : rows) {
        QJsonParseError error;
        const QJsonDocument document = parseJson(row.text, &error);
        EXPECT_EQ(error.error, row.error) << row.name;
        EXPECT_EQ(document.isNull(), row.error != QJsonParseError::NoError) << row.name;
    }
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
