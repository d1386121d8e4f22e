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
        {"n past the end gives the last field", "a b", " ", 5, "", ""},
        {"n zero takes nothing", "a b", " ", 0, "", "a b"},
        {"two-character separator leaves its rest", "a::b", "::", 1, "a", ":b"},
        {"two-character run strips while whole", "a::::b", "::", 1, "a", ":b"},
        {"two-character leading run leaves its rest", ":::a::b", "::", 1, ":a", ":b"},
        {"empty separator matches nowhere", "a,b", "", 1, "a,b", ""},
        {"separator is case-sensitive", "aXbxc", "x", 1, "aXb", "c"},
    };
    for (const auto &row : rows) {
        QString text = QString::fromUtf8(row.text);
        const QString field = row.n == 1 ? takeFirstString(text, QString::fromUtf8(row.sep))
                                         : takeFirstString(text, row.n, QString::fromUtf8(row.sep));
        EXPECT_EQ(field, QString::fromUtf8(row.field)) << row.name;
        EXPECT_EQ(text, QString::fromUtf8(row.rest)) << row.name;

        QByteArray bytes(row.text);
        const QByteArray bytesField =
            row.n == 1 ? takeFirstString(bytes, QByteArray(row.sep)) : takeFirstString(bytes, row.n, row.sep);
        EXPECT_EQ(bytesField, QByteArray(row.field)) << row.name << " (bytes)";
        EXPECT_EQ(bytes, QByteArray(row.rest)) << row.name << " (bytes)";
    }
}

TEST(KP2UtilsText, FirstAndLastStringSkipEmptyFields) {
    const struct {
        const char *name, *text, *sep, *first, *last;
    } rows[] = {
        {"separators at both ends", "/x/y/", "/", "x", "y"},
        {"single field", "x", "/", "x", "x"},
        {"only separators", "//", "/", "", ""},
        {"empty text", "", "/", "", ""},
        {"longer separator", "a--b--c", "--", "a", "c"},
    };
    for (const auto &row : rows) {
        const QString text = QString::fromUtf8(row.text), sep = QString::fromUtf8(row.sep);
        EXPECT_EQ(firstString(text, sep), QString::fromUtf8(row.first)) << row.name;
        EXPECT_EQ(lastString(text, sep), QString::fromUtf8(row.last)) << row.name;
    }
}

TEST(KP2UtilsText, StringSplitSeparatesAtBlanksTabsAndReturnsButNotLineFeeds) {
    EXPECT_EQ(stringSplit(QStringLiteral("\tone  two")), (QStringList{"one", "two"}));
    EXPECT_EQ(stringSplit(QStringLiteral("a\r\nb c")), (QStringList{"a", "\nb", "c"}));
    EXPECT_EQ(stringSplit(QStringLiteral(" \t\r ")), QStringList());
}

TEST(KP2UtilsText, IntersectKeepsOrderAndRepetitionsOfTheFirstList) {
    const QStringList a{"x", "Y", "z", "x"}, b{"y", "x"};
    EXPECT_EQ(intersect(a, b, Qt::CaseSensitive), (QStringList{"x", "x"}));
    EXPECT_EQ(intersect(a, b, Qt::CaseInsensitive), (QStringList{"x", "Y", "x"}));
}

TEST(KP2UtilsText, JsonMergeReplacesMembersOfTheSameKeyWhole) {
    const QJsonObject a{{"a", 1}, {"b", 2}, {"o", QJsonObject{{"p", 1}}}};
    const QJsonObject b{{"b", 3}, {"o", QJsonObject{{"q", 2}}}};
    EXPECT_EQ(jsonMerge(a, b), (QJsonObject{{"a", 1}, {"b", 3}, {"o", QJsonObject{{"q", 2}}}}));
}

TEST(KP2UtilsText, CompareVersionReturnsTheFirstComponentDifference) {
    const struct {
        const char *name, *a, *b;
        int expected;
    } rows[] = {
        {"missing component counts as zero", "1.2", "1.2.0", 0},
        {"components compare as numbers", "1.10", "1.9", 1},
        {"single components", "2", "10", -8},
        {"first difference wins", "3.1.9", "3.4.0", -3},
        {"non-numeric component counts as zero", "1.x.5", "1.0.2", 3},
        {"empty component counts as zero", "1..2", "1.0.2", 0},
        {"equal four parts", "1.2.3.4", "1.2.3.4", 0},
        {"difference clamped to the int range", "2147483647", "-1", INT_MAX},
    };
    for (const auto &row : rows) {
        const QString a = QString::fromUtf8(row.a), b = QString::fromUtf8(row.b);
        EXPECT_EQ(compareVersion(a, b), row.expected) << row.name;
        EXPECT_EQ(compareFourInt(a, b), row.expected) << row.name;
    }
}

}  // namespace
