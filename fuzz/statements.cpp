// Fuzzes the statement-file reader of KP2DBSqlite (loadSqlEngine, delSqlComments, loadSqlCreator) on the input
// written to a file, then runs every statement read against an in-memory database made by the service's own
// creator script. Checked: the file always loads; each block read is an entry under its lower-case id with a text of
// trimmed comment-free lines and parameters typed in lower case; the built-in statements stay unless replaced; the
// rows of a run have lower-case column names and no null values.
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

#include "fuzzsupport.h"
#include "kp2dbsqlite.h"

using fuzz::check;

namespace {

const char *const kBuiltIns[] = {"configure_alload", "configure_get", "configure_change", "configure_append"};

void checkEntry(const QString &id, const QJsonObject &entry) {
    if (!entry.contains(QStringLiteral("id"))) {  // a built-in statement
        check(std::find_if(std::begin(kBuiltIns), std::end(kBuiltIns),
                           [&](const char *b) { return id == QLatin1String(b); }) != std::end(kBuiltIns));
        return;
    }
    check(entry.value(QStringLiteral("id")) == id && !id.isEmpty() && id == id.toLower() && id == id.trimmed());
    const QString text = entry.value(QStringLiteral("text")).toString();
    check(text.endsWith(QLatin1Char('\n')) && !text.contains(QLatin1Char('@')));
    for (const QString &line : text.split(QLatin1Char('\n'))) check(!line.contains(QLatin1String("--")));
    const QJsonObject params = entry.value(QStringLiteral("params")).toObject();
    for (auto it = params.begin(); it != params.end(); ++it)
        check(it.value().isString() && it.value().toString() == it.value().toString().toLower());
}

// A value of the declared type, so that statements reach their step.
QJsonObject sampleValues(const QJsonObject &params) {
    QJsonObject values;
    for (auto it = params.begin(); it != params.end(); ++it) {
        const QString type = it.value().toString();
        values.insert(it.key(), type.startsWith(QLatin1String("int")) || type == QLatin1String("double")
                                    ? QJsonValue(7)
                                    : QJsonValue(QStringLiteral("x")));
    }
    return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const QString path = fuzz::scratchFile(QStringLiteral("statements.sql"));
    fuzz::writeInput(path, data, size);
    const QString text = QString::fromUtf8(fuzz::bytes(data, size)).trimmed();

    for (const QString &line : KP2DBSqlite::delSqlComments(text))
        check(!line.contains(QLatin1String("--")) && line == line.trimmed());

    KP2DBSqlite db;
    db.loadSqlCreator(QStringLiteral(QIV_SOURCE_DIR "/qivclient/sql/creator.sql"));
    check(db.open(QStringLiteral(":memory:")));
    check(db.loadSqlEngine(path));
    check(db.sqlEngineText() == text);
    const QJsonObject table = db.sqlEngine();
    for (const char *builtIn : kBuiltIns) check(table.contains(QLatin1String(builtIn)));

    for (auto it = table.begin(); it != table.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        checkEntry(it.key(), entry);
        QJsonArray rows;
        const bool ran = db.call(rows, it.key(), sampleValues(entry.value(QStringLiteral("params")).toObject()));
        check(db.lastSqlId() == it.key() && (ran || rows.isEmpty()));
        for (const QJsonValue &row : rows) {
            const QJsonObject columns = row.toObject();
            for (auto c = columns.begin(); c != columns.end(); ++c)
                check(c.key() == c.key().toLower() && !c.value().isNull());
        }
    }

    db.loadSqlCreator(path);
    check(db.sqlCreator() == text);
    return 0;
}
