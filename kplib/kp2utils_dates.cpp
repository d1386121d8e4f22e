// Date parsing and calendar schedules of kp2utils. The parsing rules are a table of formats chosen by length; the
// toolkit parses each format.
#include "kp2utils.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <algorithm>
#include <cmath>

namespace {

// Fills an empty list with every value from first to last.
QList<int> orEvery(QList<int> list, int first, int last) {
    if (list.isEmpty())
        for (int v = first; v <= last; ++v) list.append(v);
    return list;
}

// The format for a text of this length, and how many leading characters it reads (0: the whole text). An empty
// format means no rule fits.
struct Pattern {
    const char *format;
    int cut;
};

Pattern patternFor(const QString &s) {
    const int n = s.size();
    const bool isoT = n > 10 && s.at(10) == QLatin1Char('T');
    switch (n) {
        case 1:
            return {"d", 0};
        case 2:
            return {"dd", 0};
        case 4:
            return {"yyyy", 0};
        case 5:
            if (s.at(2) == QLatin1Char('-')) return {"MM-dd", 0};
            if (s.at(2) == QLatin1Char('/')) return {"MM/dd", 0};
            if (s.at(2) == QLatin1Char(':')) return {"HH:mm", 0};
            return {"", 0};
        case 6:
            return {"HHmmss", 0};
        case 7:
            return {"yyyy-MM", 0};
        case 8:
            return {"HH:mm:ss", 0};
        case 10:
            return {"yyyy-MM-dd", 0};
        case 12:
            return {"HH:mm:ss.zzz", 0};
        case 14:
            return {"yyyyMMddHHmmss", 0};
        case 16:
            return {"yyyy-MM-dd HH:mm", 0};
        case 19:
            return {isoT ? "yyyy-MM-dd'T'HH:mm:ss" : "yyyy-MM-dd HH:mm:ss", 0};
        case 20:
            // Only the ISO form with its zone letter; any other 20-character text is not a date.
            if (isoT && s.at(19) == QLatin1Char('Z')) return {"yyyy-MM-dd'T'HH:mm:ss'Z'", 0};
            return {"", 0};
        case 22:
            return {isoT ? "yyyy-MM-dd'T'HH:mm:ss" : "yyyy-MM-dd HH:mm:ss", 19};
        case 23:
            return {isoT ? "yyyy-MM-dd'T'HH:mm:ss.zzz" : "yyyy-MM-dd HH:mm:ss.zzz", 0};
        case 24:
            return {"yyyy-MM-dd'T'HH:mm:ss.zzz'Z'", 0};
        case 26:
            // Microseconds: the toolkit keeps milliseconds, so the last three digits are dropped.
            return {"yyyy-MM-dd HH:mm:ss.zzz", 23};
        default:
            if (n > 18) return {"yyyy-MM-dd HH:mm:ss", 19};
            return {"", 0};
    }
}

// True when text is written in format: a digit wherever the format has a field letter, the format's own character
// everywhere else (quotes removed). The toolkit's parser is lenient: it takes a sign or a blank inside a field
// ("13:+5:00.123" read as 13:05), which is no date in these formats.
bool isWrittenIn(const QString &text, const char *format) {
    int i = 0;
    bool quoted = false;
    for (const char *f = format; *f; ++f) {
        if (*f == '\'') {
            quoted = !quoted;
            continue;
        }
        if (i >= text.size()) return false;
        const QChar c = text.at(i++);
        const bool field = !quoted && ((*f >= 'a' && *f <= 'z') || (*f >= 'A' && *f <= 'Z'));
        if (field ? (c < QLatin1Char('0') || c > QLatin1Char('9')) : c != QLatin1Char(*f)) return false;
    }
    return i == text.size();
}

}  // namespace

QList<int> toSortList(const QJsonArray &a) {
    QList<int> list;
    list.reserve(a.size());
    for (const QJsonValue &v : a) list.append(toInt(v));
    std::sort(list.begin(), list.end());
    return list;
}

QDateTime nextScheduledDateTime(const QJsonObject &schedule, const QDateTime &from) {
    return nextScheduledDateTime(schedule, from, QDate::currentDate().year());
}

QDateTime nextScheduledDateTime(const QJsonObject &schedule, const QDateTime &from, int currentYear) {
    // toArray() of a missing or non-array value is empty, which allows every value like an empty list.
    const QList<int> weeks = orEvery(toSortList(schedule.value(QLatin1String("weeks")).toArray()), 1, 7);
    const QList<int> months = orEvery(toSortList(schedule.value(QLatin1String("months")).toArray()), 1, 12);
    const QList<int> days = toSortList(schedule.value(QLatin1String("days")).toArray());
    const QList<int> hours = orEvery(toSortList(schedule.value(QLatin1String("hours")).toArray()), 0, 23);
    const QList<int> minutes = orEvery(toSortList(schedule.value(QLatin1String("mintes")).toArray()), 0, 59);
    const QDate fromDate = from.date();

    // Candidates are walked in time order: sorted months, days, hours and minutes within two calendar years. The
    // first one later than from is the answer; once a date is not earlier than fromDate, all its times but those
    // on fromDate itself are later than from, so the walk is short.
    for (const int year : {currentYear, currentYear + 1}) {
        for (const int month : months) {
            if (month < 1 || month > 12) continue;  // names no month
            const int monthDays = QDate(year, month, 1).daysInMonth();
            QList<int> candidates = days;
            if (candidates.isEmpty()) candidates = orEvery({}, 1, monthDays);
            for (const int day : candidates) {
                if (day < 1 || day > monthDays) continue;
                const QDate date(year, month, day);
                if (date < fromDate || !weeks.contains(date.dayOfWeek())) continue;
                for (const int hour : hours) {
                    for (const int minute : minutes) {
                        // An hour or minute out of range names no time of day and gives no candidate.
                        const QTime time(hour, minute);
                        if (!time.isValid()) continue;
                        const QDateTime candidate(date, time, Qt::LocalTime);
                        if (from < candidate) return candidate;
                    }
                }
            }
        }
    }
    // Nothing later than from in the window: a moment not after from would not be a "next" one.
    return QDateTime();
}

QDateTime toDateTime(const QString &s) {
    const Pattern p = patternFor(s);
    if (!*p.format) return QDateTime();
    const QString text = p.cut > 0 ? s.left(p.cut) : s;
    if (!isWrittenIn(text, p.format)) return QDateTime();
    // fromString gives local time and fills a missing date with 1 January 1900 and a missing time with midnight.
    return QDateTime::fromString(text, QLatin1String(p.format));
}

QDateTime toDateTime(const QJsonValue &v) {
    return toDateTime(toString(v));
}

QDate toDate(const QJsonValue &v) {
    return toDateTime(v).date();
}

QDateTime toDateTime(double serial) {
    if (!std::isfinite(serial)) return QDateTime();
    // Day 0 is 30 December 1899 (Julian day 2415019). The floor keeps the time of day in [0, 1) for negative
    // serials too, so a serial before day 0 still reads forward from its midnight.
    const double whole = std::floor(serial);
    if (std::fabs(whole) > 1e9) return QDateTime();  // far outside any calendar QDate keeps
    const QDate date = QDate::fromJulianDay(2415019 + static_cast<qint64>(whole));
    // A fraction just below 1 (as of -1e-20) can round to a whole day of seconds, which would wrap to midnight of
    // the same date; it is the last second of that day.
    const int secs = qMin(86399, static_cast<int>((serial - whole) * 86400));
    return QDateTime(date, QTime(0, 0).addSecs(secs), Qt::LocalTime);
}

QString secsToTimes(int secs) {
    const int hours = secs / 3600;
    const int minutes = secs / 60 - hours * 60;
    return QString::asprintf("%02d:%02d:%02d", hours, minutes, secs % 60);
}

QDateTime gccDateTime(const QString &date, const QString &time) {
    static const char *const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QString name = date.left(3);
    int month = 1;
    for (int i = 0; i < 12; ++i) {
        if (name.compare(QLatin1String(names[i]), Qt::CaseInsensitive) == 0) {
            month = i + 1;
            break;
        }
    }
    // The compiler pads a one-digit day with a blank ("Feb  1 2024"), hence the trimming.
    const int year = date.right(4).trimmed().toInt();
    const int day = date.mid(4, 2).trimmed().toInt();
    const int hour = time.left(2).trimmed().toInt();
    const int minute = time.mid(3, 2).trimmed().toInt();
    const int second = time.right(2).trimmed().toInt();
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::LocalTime);
}
