#include "kp2utils.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

#include <cmath>

namespace {

QDateTime local(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::LocalTime);
}

// One named case: what the call gave and what it should give (an invalid expected value: an invalid result).
struct Row {
    const char *name;
    QDateTime actual, expected;
};

// QDateTime equality compares instants only, so the text (empty when invalid) and the zone are compared instead.
template <size_t N>
void expectRows(const Row (&rows)[N]) {
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.actual.toString(Qt::ISODateWithMs), row.expected.toString(Qt::ISODateWithMs));
        EXPECT_EQ(row.actual.timeSpec(), Qt::LocalTime);
    }
}

QDateTime next(const char *schedule, const QDateTime &from) {
    return nextScheduledDateTime(QJsonDocument::fromJson(schedule).object(), from, 2024);
}

QDateTime text(const char *s) {
    return toDateTime(QString::fromLatin1(s));
}

TEST(KP2UtilsDates, NextScheduledIsTheEarliestAllowedMomentStrictlyLaterWithinTwoYears) {
    const QDateTime may1 = local(2024, 5, 1, 10);
    const Row rows[] = {
        {"every value: next minute", next("{}", may1), local(2024, 5, 1, 10, 1)},
        {"slot passed today", next(R"({"hours":[3],"mintes":[30]})", may1), local(2024, 5, 2, 3, 30)},
        {"same moment not later", next(R"({"weeks":[7],"hours":[0],"mintes":[0]})", local(2024, 5, 5)),
         local(2024, 5, 12)},
        {"day no month has", next(R"({"days":[31],"months":[2]})", may1), QDateTime()},
        {"days sorted", next(R"({"days":[31,30],"hours":[0],"mintes":[0]})", may1), local(2024, 5, 30)},
        {"month 13", next(R"({"months":[13,6],"days":[1],"hours":[0],"mintes":[0]})", may1), local(2024, 6, 1)},
        {"non-array, toInt", next(R"({"hours":"3","mintes":["30"]})", may1), local(2024, 5, 1, 10, 30)},
        {"year of from ignored", next(R"({"hours":[0],"mintes":[0]})", local(2023, 3, 1)), local(2024, 1, 1)},
        {"next year", next(R"({"months":[3],"days":[1],"hours":[0],"mintes":[0]})", may1), local(2025, 3, 1)},
        {"after the window's last moment", next("{}", local(2025, 12, 31, 23, 59, 30)), QDateTime()},
    };
    expectRows(rows);
}

TEST(KP2UtilsDates, ToDateTimeChoosesTheFormatByLength) {
    const Row rows[] = {
        {"1: day", text("5"), local(1900, 1, 5)},
        {"2: day", text("31"), local(1900, 1, 31)},
        {"4: year", text("2024"), local(2024, 1, 1)},
        {"5: month-day", text("05-01"), local(1900, 5, 1)},
        {"5: month/day", text("05/01"), local(1900, 5, 1)},
        {"5: hour:minute", text("08:09"), local(1900, 1, 1, 8, 9)},
        {"5: other separator", text("05.01"), QDateTime()},
        {"6: compact time", text("080910"), local(1900, 1, 1, 8, 9, 10)},
        {"7: year-month", text("2024-05"), local(2024, 5, 1)},
        {"8: time", text("08:09:10"), local(1900, 1, 1, 8, 9, 10)},
        {"9: no format", text("2024-05-1"), QDateTime()},
        {"10: date", text("2024-05-01"), local(2024, 5, 1)},
        {"12: time with ms", text("08:09:10.123"), local(1900, 1, 1, 8, 9, 10, 123)},
        {"14: compact", text("20240501080910"), local(2024, 5, 1, 8, 9, 10)},
        {"16: no seconds", text("2024-05-01 08:09"), local(2024, 5, 1, 8, 9)},
        {"19: T", text("2024-05-01T08:09:10"), local(2024, 5, 1, 8, 9, 10)},
        {"19: blank", text("2024-05-01 08:09:10"), local(2024, 5, 1, 8, 9, 10)},
        {"20: Z stays local", text("2024-05-01T08:09:10Z"), local(2024, 5, 1, 8, 9, 10)},
        {"20: without T and Z", text("2024-05-01 08:09:10+"), QDateTime()},
        {"21: cut to 19", text("2024-05-01 08:09:10.1"), local(2024, 5, 1, 8, 9, 10)},
        {"22: T, cut to 19", text("2024-05-01T08:09:10.12"), local(2024, 5, 1, 8, 9, 10)},
        {"22: blank, cut to 19", text("2024-05-01 08:09:10.12"), local(2024, 5, 1, 8, 9, 10)},
        {"23: T with ms", text("2024-05-01T08:09:10.123"), local(2024, 5, 1, 8, 9, 10, 123)},
        {"23: blank with ms", text("2024-05-01 08:09:10.123"), local(2024, 5, 1, 8, 9, 10, 123)},
        {"24: ms and Z", text("2024-05-01T08:09:10.123Z"), local(2024, 5, 1, 8, 9, 10, 123)},
        {"26: microseconds cut to ms", text("2024-05-01 08:09:10.123456"), local(2024, 5, 1, 8, 9, 10, 123)},
        {"30: cut to 19", text("2024-05-01 08:09:10 local time"), local(2024, 5, 1, 8, 9, 10)},
        {"sign inside a field", text("08:+9:10.123"), QDateTime()},
        {"blank inside a field", text("2024-05- 1"), QDateTime()},
        {"empty", text(""), QDateTime()},
        {"JSON string", toDateTime(QJsonValue(QStringLiteral("2024-05-01"))), local(2024, 5, 1)},
        {"JSON number is its text, not a serial", toDateTime(QJsonValue(2.5)), QDateTime()},
    };
    expectRows(rows);
    EXPECT_EQ(toDate(QJsonValue(QStringLiteral("2024-05-01T08:09:10"))), QDate(2024, 5, 1));
}

TEST(KP2UtilsDates, SerialDatesCountDaysFromTheEndOf1899) {
    const Row rows[] = {
        {"day 0", toDateTime(0.0), local(1899, 12, 30)},
        {"noon of day 1", toDateTime(1.5), local(1899, 12, 31, 12)},
        {"fraction truncated to seconds", toDateTime(0.99999999), local(1899, 12, 30, 23, 59, 59)},
        {"before day 0 reads forward", toDateTime(-0.25), local(1899, 12, 29, 18)},
        {"fraction that rounds to a whole day stays in its day", toDateTime(-1e-20), local(1899, 12, 29, 23, 59, 59)},
        {"not a number", toDateTime(std::nan("")), QDateTime()},
    };
    expectRows(rows);
}

TEST(KP2UtilsDates, SecsToTimesDoesNotWrapAtADay) {
    EXPECT_EQ(secsToTimes(3725), QStringLiteral("01:02:05"));
    EXPECT_EQ(secsToTimes(90061), QStringLiteral("25:01:01"));
}

TEST(KP2UtilsDates, GccDateTimeReadsACompilerStamp) {
    const auto gcc = [](const char *date, const char *time) {
        return gccDateTime(QString::fromLatin1(date), QString::fromLatin1(time));
    };
    const Row rows[] = {
        {"leap day", gcc("Feb 29 2024", "23:59:58"), local(2024, 2, 29, 23, 59, 58)},
        {"month in odd case", gcc("fEB 01 2024", "00:00:00"), local(2024, 2, 1)},
        {"blank-padded day", gcc("Dec  7 2026", "12:05:00"), local(2026, 12, 7, 12, 5)},
        {"unknown month is January", gcc("Xyz 05 2024", "01:02:03"), local(2024, 1, 5, 1, 2, 3)},
    };
    expectRows(rows);
}

}  // namespace
