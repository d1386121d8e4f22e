// Fuzzes the date readers of kp2utils. The input read as text goes to toDateTime(QString): a valid result must
// write back, in the format chosen for a text of that length, to the text it was read from (or to the part of it
// that is read). The same text as a JSON string value must give the same result. The first eight bytes read as a
// double go to toDateTime(double): a valid result lies on the day the serial counts to, at the time of day of its
// fraction, to within a second.
#include <QDateTime>
#include <QJsonValue>
#include <QString>
#include <cmath>
#include <cstring>

#include "fuzzsupport.h"
#include "kp2utils.h"

using fuzz::check;

namespace {

void checkText(const QString &text) {
    const QDateTime t = toDateTime(text);
    check(toDateTime(QJsonValue(text)) == t && toDate(QJsonValue(text)) == t.date());
    if (!t.isValid()) return;
    // Every accepted text is one of these shapes, possibly followed by what is cut off.
    static const char *const formats[] = {"d",
                                          "dd",
                                          "yyyy",
                                          "MM-dd",
                                          "MM/dd",
                                          "HH:mm",
                                          "HHmmss",
                                          "yyyy-MM",
                                          "HH:mm:ss",
                                          "yyyy-MM-dd",
                                          "HH:mm:ss.zzz",
                                          "yyyyMMddHHmmss",
                                          "yyyy-MM-dd HH:mm",
                                          "yyyy-MM-dd'T'HH:mm:ss",
                                          "yyyy-MM-dd HH:mm:ss",
                                          "yyyy-MM-dd'T'HH:mm:ss'Z'",
                                          "yyyy-MM-dd'T'HH:mm:ss.zzz",
                                          "yyyy-MM-dd HH:mm:ss.zzz",
                                          "yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"};
    bool readsBack = false;
    for (const char *format : formats) {
        const QString written = t.toString(QLatin1String(format));
        if (text.startsWith(written) && toDateTime(written) == t) readsBack = true;
    }
    check(readsBack);
}

void checkSerial(double serial) {
    const QDateTime t = toDateTime(serial);
    if (!std::isfinite(serial)) {
        check(!t.isValid());
        return;
    }
    if (!t.isValid()) return;
    // Seconds since day 0 (30 December 1899) by the calendar, apart from any time zone.
    const double got = double(t.date().toJulianDay() - 2415019) * 86400.0 + t.time().msecsSinceStartOfDay() / 1000.0;
    const double want = serial * 86400.0;
    check(std::fabs(got - want) <= 1.0 + std::fabs(want) * 1e-15);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    checkText(QString::fromUtf8(fuzz::bytes(data, size)));
    if (size >= sizeof(double)) {
        double serial;
        std::memcpy(&serial, data, sizeof serial);
        checkSerial(serial);
    }
    return 0;
}
