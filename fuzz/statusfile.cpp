// Fuzzes the status file read at start: the input is written as the status file and QivStatus::open reads it and
// settles it. Checked: open succeeds (the directory is writable); afterwards no restore is left unfinished; the
// settled record, read again by a second open, is the same; and a restore queued then gets a positive id that no
// restore of the record has. A restore left unfinished has its staged file removed: the seeds name staged files
// that do not exist, and runs are made from a scratch directory.
#include <QJsonArray>
#include <QJsonObject>

#include "fuzzsupport.h"
#include "qivstatus.h"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const QString path = fuzz::scratchFile(QStringLiteral("status.json"));
    fuzz::writeInput(path, data, size);

    QivStatus status;
    check(status.open(path));
    const QJsonObject settled = status.toObject();
    const QJsonArray restores = settled.value(QStringLiteral("restores")).toArray();
    for (const QJsonValue &v : restores) {
        const QString state = v.toObject().value(QStringLiteral("state")).toString();
        check(state == QLatin1String("done") || state == QLatin1String("failed"));
    }

    QivStatus again;
    check(again.open(path));
    check(again.toObject() == settled);

    const int id = again.restoreQueued(QStringLiteral("pool/ds/qiv_1"), QStringLiteral("pool/new"),
                                       QStringLiteral("/nonexistent/staging"));
    check(id > 0);
    for (const QJsonValue &v : restores) check(v.toObject().value(QStringLiteral("id")).toInt() != id);
    check(again.restore(id).value(QStringLiteral("id")) == id);
    return 0;
}
