#include "kp2utils.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(KP2UtilsText, TakeFirstStringTakesOneFieldAndTheSeparatorsAroundIt) {
    const struct {
        const char *name, *text, *sep;
        int n;
        const char *field, *rest;
    } rows[] = {
        {"leading and doubled separators", ",,a,,b", ",", 1, "a", "b"},
        {"no separator takes all", "abc", ",", 1, "abc", ""},
        {"second field", "a b c", " ", 2, "b", "c"},
        {"n zero takes nothing", "a b", " ", 0, "", "a b"},
        {"two-character separator leaves its rest", "a::::b", "::", 1, "a", ":b"},
        {"empty separator matches nowhere", "a,b", "", 1, "a,b", ""},
    };
    for (const auto &row : rows) {
        QString text = QString::fromUtf8(row.text);
        EXPECT_EQ(takeFirstString(text, row.n, QString::fromUtf8(row.sep)), QString::fromUtf8(row.field)) << row.name;
        EXPECT_EQ(text, QString::fromUtf8(row.rest)) << row.name;
        QByteArray bytes(row.text);
        EXPECT_EQ(takeFirstString(bytes, row.n, row.sep), QByteArray(row.field)) << row.name << " (bytes)";
        EXPECT_EQ(bytes, QByteArray(row.rest)) << row.name << " (bytes)";
    }
}

// Linear: two million separators take milliseconds. Taking them one remove() at a time took minutes, beyond the
// time limit CTest gives this executable.
TEST(KP2UtilsText, TakeFirstStringSkipsALongRunOfSeparatorsInLinearTime) {
    QString text = QString(2000000, QLatin1Char(',')) + QStringLiteral("a,b");
    EXPECT_EQ(takeFirstString(text, QStringLiteral(",")), QStringLiteral("a"));
    EXPECT_EQ(text, QStringLiteral("b"));
    QByteArray bytes = QByteArray(2000000, ',') + "a" + QByteArray(2000000, ',') + "b";
    EXPECT_EQ(takeFirstString(bytes, 2, ","), QByteArray("b"));
}

TEST(KP2UtilsText, FieldsWordsListsAndObjects) {
    EXPECT_EQ(firstString(QStringLiteral("/x/y/"), QStringLiteral("/")), QStringLiteral("x"));
    EXPECT_EQ(lastString(QStringLiteral("/x/y/"), QStringLiteral("/")), QStringLiteral("y"));
    EXPECT_EQ(stringSplit(QStringLiteral("\tone  two\r\nthree")), (QStringList{"one", "two", "\nthree"}));
    EXPECT_EQ(intersect({"x", "Y", "z", "x"}, {"y", "x"}, Qt::CaseInsensitive), (QStringList{"x", "Y", "x"}));
    EXPECT_EQ(jsonMerge({{"a", 1}, {"b", 2}}, {{"b", 3}}), (QJsonObject{{"a", 1}, {"b", 3}}));
}

TEST(KP2UtilsText, CompareVersionReturnsTheFirstComponentDifference) {
    const struct {
        const char *name, *a, *b;
        int expected;
    } rows[] = {
        {"missing component counts as zero", "1.2", "1.2.0", 0},
        {"components compare as numbers", "1.10", "1.9", 1},
        {"single components", "2", "10", -8},
        {"non-numeric component counts as zero", "1.x.5", "1.0.2", 3},
        {"difference clamped to the int range", "2147483647", "-1", INT_MAX},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(compareVersion(row.a, row.b), row.expected) << row.name;
        EXPECT_EQ(compareFourInt(row.a, row.b), row.expected) << row.name;
    }
}

}  // namespace
