#include "statusformat.h"

#include <QJsonArray>
#include <QStringList>
#include <QVector>

#include "statusnames.h"

namespace statusformat {

using namespace statusnames;

namespace {

QDateTime timeOf(const QJsonValue &v) {
    return QDateTime::fromString(v.toString(), Qt::ISODate);
}

QString shownTime(const QJsonValue &v) {
    const QDateTime t = timeOf(v);
    return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

QString age(const QDateTime &then, const QDateTime &now) {
    if (!then.isValid()) return QStringLiteral("-");
    const qint64 s = qMax<qint64>(0, then.secsTo(now));
    if (s < 60) return QStringLiteral("%1s").arg(s);
    if (s < 3600) return QStringLiteral("%1m").arg(s / 60);
    if (s < 86400) return QStringLiteral("%1h %2m").arg(s / 3600).arg(s / 60 % 60);
    return QStringLiteral("%1d %2h").arg(s / 86400).arg(s / 3600 % 24);
}

// Rows of cells as columns two blanks apart, each as wide as its widest cell; the last column is not padded.
QString columns(const QVector<QStringList> &rows) {
    QVector<int> width;
    for (const QStringList &row : rows)
        for (int i = 0; i < row.size(); ++i) {
            if (width.size() <= i) width.append(0);
            width[i] = qMax(width[i], row.at(i).size());
        }
    QString out;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(width[i] + 2) : row.at(i);
        out += line + QLatin1Char('\n');
    }
    return out;
}

// A label value in the exposition format: backslash, double quote and line feed escaped.
QString label(const QString &value) {
    QString v = value;
    v.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return QLatin1Char('"') + v + QLatin1Char('"');
}

QString unixTime(const QJsonValue &v) {
    const QDateTime t = timeOf(v);
    return QString::number(t.isValid() ? t.toSecsSinceEpoch() : 0);
}

}  // namespace

QString chain(int objects) {
    if (objects < 1) return QStringLiteral("-");
    return objects == 1 ? QStringLiteral("full") : QStringLiteral("full + %1").arg(objects - 1);
}

QString bytes(qint64 n) {
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (n < 1024) return QStringLiteral("%1 B").arg(n);
    double v = double(n) / 1024;
    int unit = 0;
    while (v >= 1024 && unit < 4) {
        v /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(v, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString duration(qint64 ms) {
    const qint64 s = qMax<qint64>(0, ms) / 1000;
    const QString minutesSeconds = QStringLiteral("%1:%2").arg(s / 60 % 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    if (s < 3600) return minutesSeconds;
    return QStringLiteral("%1:%2").arg(s / 3600).arg(minutesSeconds.rightJustified(5, QLatin1Char('0')));
}

QString uploadLine(const QJsonObject &upload, qint64 elapsedMs, qint64 uploadingMs) {
    const QString state = upload.value(State).toString();
    QString line = upload.value(Snapshot).toString() + QStringLiteral(": ") + state;
    if (state == toString(UploadState::Uploading)) {
        const qint64 sent = qint64(upload.value(Bytes).toDouble());
        line += QStringLiteral(", %1 sent").arg(bytes(sent));
        if (uploadingMs > 0) line += QStringLiteral(", %1/s").arg(bytes(sent * 1000 / uploadingMs));
    }
    return line + QStringLiteral(", ") + duration(elapsedMs);
}

QString table(const QJsonObject &status, const QDateTime &now) {
    QVector<QStringList> rows{{"DATASET", "LAST SUCCESS", "AGE", "SIZE", "CHAIN", "FAILURES", "LAST ERROR"}};
    const QJsonObject datasets = status.value(Datasets).toObject();
    for (auto it = datasets.begin(); it != datasets.end(); ++it) {
        const QJsonObject d = it.value().toObject();
        const QJsonValue success = d.value(LastSuccess);
        const QJsonValue size = d.value(LastSize);
        // An error may span lines (zfs's own messages do); the table keeps one line per dataset.
        const QString error = d.value(LastError).toString().simplified();
        rows.append({it.key(), success.isString() ? shownTime(success) : QStringLiteral("never"),
                     age(timeOf(success), now), size.isDouble() ? bytes(qint64(size.toDouble())) : QStringLiteral("-"),
                     chain(d.value(Chain).toInt()), QString::number(d.value(Failures).toInt()),
                     error.isEmpty() ? QStringLiteral("-") : error});
    }
    QString out = columns(rows);

    const QJsonArray uploads = status.value(Uploads).toArray();
    out += uploads.isEmpty() ? QStringLiteral("\nUploads pending: none\n") : QStringLiteral("\nUploads pending:\n");
    for (const QJsonValue &v : uploads) {
        const QJsonObject u = v.toObject();
        const QString state = u.value(State).toString();
        out += QStringLiteral("  %1  %2").arg(u.value(Snapshot).toString(), state);
        if (state == toString(UploadState::Uploading))
            out += QStringLiteral(" since %1, %2 sent")
                       .arg(shownTime(u.value(Started)), bytes(qint64(u.value(Bytes).toDouble())));
        out += QLatin1Char('\n');
    }

    const QJsonArray restores = status.value(Restores).toArray();
    out += restores.isEmpty() ? QStringLiteral("\nRestores: none\n") : QStringLiteral("\nRestores:\n");
    for (const QJsonValue &v : restores) {
        const QJsonObject r = v.toObject();
        out += QStringLiteral("  %1  (%2 -> %3, %4)\n")
                   .arg(restoreLine(r), r.value(Subpath).toString(), r.value(Dataset).toString(),
                        shownTime(r.value(Updated)));
    }
    return out;
}

QString metrics(const QJsonObject &status) {
    struct Metric {
        const char *name;
        const char *help;
        QString (*value)(const QJsonObject &dataset);  // empty: no sample
    };
    static const Metric perDataset[] = {
        {"qivclient_backup_last_success_timestamp_seconds",
         "Unix time of the dataset's last successful backup (0: none yet).",
         [](const QJsonObject &d) { return unixTime(d.value(LastSuccess)); }},
        {"qivclient_backup_last_attempt_timestamp_seconds", "Unix time of the dataset's last backup attempt (0: none).",
         [](const QJsonObject &d) { return unixTime(d.value(LastAttempt)); }},
        {"qivclient_backup_failures", "Failed backups of the dataset since its last success.",
         [](const QJsonObject &d) { return QString::number(d.value(Failures).toInt()); }},
        {"qivclient_backup_last_size_bytes", "Size of the dataset's last uploaded backup as the store lists it.",
         [](const QJsonObject &d) {
             const QJsonValue size = d.value(LastSize);
             return size.isDouble() ? QString::number(qint64(size.toDouble())) : QString();
         }},
    };
    const QJsonObject datasets = status.value(Datasets).toObject();
    QString out;
    for (const Metric &m : perDataset) {
        out += QStringLiteral("# HELP %1 %2\n# TYPE %1 gauge\n").arg(QLatin1String(m.name), QLatin1String(m.help));
        for (auto it = datasets.begin(); it != datasets.end(); ++it) {
            const QString value = m.value(it.value().toObject());
            if (!value.isEmpty())
                out += QStringLiteral("%1{dataset=%2} %3\n").arg(QLatin1String(m.name), label(it.key()), value);
        }
    }
    out += QStringLiteral(
               "# HELP qivclient_uploads_pending Snapshots waiting for or in upload.\n"
               "# TYPE qivclient_uploads_pending gauge\nqivclient_uploads_pending %1\n")
               .arg(status.value(Uploads).toArray().size());
    return out;
}

QString restoreLine(const QJsonObject &restore) {
    const QString head = QStringLiteral("restore %1: ").arg(restore.value(Id).toInt());
    const QString state = restore.value(State).toString();
    // A chain names the object in work: "object 2 of 4, ".
    const int objects = restore.value(Objects).toInt();
    const QString which =
        objects > 1 ? QStringLiteral("object %1 of %2, ").arg(restore.value(Object).toInt()).arg(objects) : QString();
    if (state == toString(RestoreState::Downloading)) {
        const qint64 done = qint64(restore.value(Bytes).toDouble());
        const qint64 total = qint64(restore.value(Total).toDouble());
        return head + which +
               QStringLiteral("downloading %1 of %2 (%3%)")
                   .arg(bytes(done), bytes(total))
                   .arg(total > 0 ? done * 100 / total : 100);
    }
    if (state == toString(RestoreState::Receiving))
        return head + which + QStringLiteral("receiving into ") + restore.value(Dataset).toString();
    if (state == toString(RestoreState::Failed))
        return head + QStringLiteral("failed: ") + restore.value(Error).toString().simplified();
    return head + state;
}

}  // namespace statusformat
