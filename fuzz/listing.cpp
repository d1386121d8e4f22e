// Fuzzes the parser of the store tool's listing output (OrvTool::parseListing) and the two readers of its lines.
// Checked: every line kept is a successful file; a backup entry of the full listing splits its key into dataset
// path and file as documented; the time is "" or a stamp that reads back as written; the dataset listing keeps the
// key; and parsing is unchanged by what follows a NUL.
#include "orvtool.h"

#include <QDate>
#include <QJsonObject>
#include <QTime>

#include "fuzzsupport.h"

using fuzz::check;

namespace {
void checkTime(const QString &time) {
    if (time.isEmpty()) return;
    check(time.size() == 19 && time.at(10) == QLatin1Char(' '));
    check(QDate::fromString(time.left(10), Qt::ISODate).isValid() &&
          QTime::fromString(time.mid(11), Qt::ISODate).isValid());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray output = fuzz::bytes(data, size);
    const QJsonArray lines = OrvTool::parseListing(output);
    for (const QJsonValue &v : lines) {
        check(v.isObject());
        const QJsonObject line = v.toObject();
        check(line.value(QStringLiteral("type")) == QLatin1String("file") &&
              line.value(QStringLiteral("status")) == QLatin1String("success"));

        const QString key = line.value(QStringLiteral("key")).toString();
        QString dmpath;
        QJsonObject entry;
        if (OrvTool::alloadEntry(line, &dmpath, &entry)) {
            const QString file = entry.value(QStringLiteral("file")).toString();
            check(key.count(QLatin1Char('/')) == 2 && file.startsWith(QLatin1String("qiv_")));
            check(dmpath + QLatin1Char('/') + file == key && entry.value(QStringLiteral("dmpath")) == dmpath);
            check(entry.value(QStringLiteral("subpath")) == key);
            check(entry.contains(QStringLiteral("size")) == line.contains(QStringLiteral("size")));
            checkTime(entry.value(QStringLiteral("time")).toString());
        } else {
            check(dmpath.isEmpty() && entry.isEmpty());
        }
        if (OrvTool::loadbyEntry(line, QStringLiteral("pool/ds"), &entry)) {
            check(key.startsWith(QLatin1String("qiv_")) && entry.value(QStringLiteral("file")) == key);
            check(entry.value(QStringLiteral("dmpath")) == QLatin1String("pool/ds/") + key);
        }
    }

    // The grouped listing holds exactly the backups, each under its dataset path.
    QJsonObject grouped;
    OrvTool::addAlloadEntries(lines, &grouped);
    int entries = 0;
    for (auto it = grouped.begin(); it != grouped.end(); ++it) {
        for (const QJsonValue &e : it.value().toArray()) {
            check(e.toObject().value(QStringLiteral("dmpath")) == it.key());
            ++entries;
        }
    }
    check(entries <= lines.size());
    check(OrvTool::loadbyEntries(lines, QStringLiteral("d")).size() <= lines.size());

    // Bytes after a NUL are no part of the listing.
    if (output.indexOf('\0') < 0) check(OrvTool::parseListing(output + QByteArray("\0}{\"x\"", 6)) == lines);
    return 0;
}
