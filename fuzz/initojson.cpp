// Fuzzes the INI reader lnx2utils iniToJson over the input's lines. Checked: sections are trimmed and hold only
// string values; every key and value is trimmed, the key holds no "=", and some line of the input gives exactly
// that pair; converting the lines again gives the same object.
#include <QJsonObject>
#include <QSet>
#include <QStringList>

#include "fuzzsupport.h"
#include "kp2linux/lnx2utils.h"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QStringList lines = QString::fromUtf8(fuzz::bytes(data, size)).split(QLatin1Char('\n'));
    const QJsonObject ini = iniToJson(lines);

    QSet<QString> pairs;  // "key=value" of every line that has a "="
    for (const QString &line : lines) {
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals >= 0) pairs.insert(line.left(equals).trimmed() + QLatin1Char('=') + line.mid(equals + 1).trimmed());
    }
    for (auto section = ini.begin(); section != ini.end(); ++section) {
        check(section.key() == section.key().trimmed() && !section.key().contains(QLatin1Char(']')));
        check(section.value().isObject());
        const QJsonObject keys = section.value().toObject();
        for (auto it = keys.begin(); it != keys.end(); ++it) {
            check(it.value().isString() && !it.key().contains(QLatin1Char('=')));
            check(it.key() == it.key().trimmed() && it.value().toString() == it.value().toString().trimmed());
            check(pairs.contains(it.key() + QLatin1Char('=') + it.value().toString()));
        }
    }
    check(iniToJson(lines) == ini);
    return 0;
}
