// qivctl's texts of a known backup status: the table for people and the metrics for a node exporter.
#include "statusformat.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QRegularExpression>

namespace {

// Two datasets (one with a multi-line error and a name that needs escaping in a label) and a failed restore.
const QJsonObject Status = QJsonDocument::fromJson(R"({"datasets": {
    "tank/a": {"lastSuccess": "2026-01-02T03:04:05+00:00", "lastAttempt": "2026-01-02T03:04:00+00:00",
               "failures": 0, "lastSize": 1572864, "chain": 3},
    "tank/b\"x": {"lastAttempt": "2026-01-01T00:00:00+01:00", "failures": 2, "lastError": "zfs said:\nno space"}},
  "uploads": [],
  "restores": [{"id": 7, "state": "failed", "error": "the fetched file has 1 bytes, the store lists 2",
                "subpath": "tank/a/qiv_1", "dataset": "tank/r", "updated": "2026-01-02T03:04:05+00:00"}]})")
                               .object();

TEST(StatusFormat, MetricsGiveEveryDatasetItsSamplesAndTheSizeOnlyWhereListed) {
    const QString metrics = statusformat::metrics(Status);
    const QStringList withoutHelp = metrics.split('\n').filter(QRegularExpression("^(?!# HELP qivclient_)"));
    EXPECT_EQ(metrics.count("# HELP "), 5);
    EXPECT_EQ(withoutHelp.join('\n').toStdString(),
              "# TYPE qivclient_backup_last_success_timestamp_seconds gauge\n"
              "qivclient_backup_last_success_timestamp_seconds{dataset=\"tank/a\"} 1767323045\n"
              "qivclient_backup_last_success_timestamp_seconds{dataset=\"tank/b\\\"x\"} 0\n"
              "# TYPE qivclient_backup_last_attempt_timestamp_seconds gauge\n"
              "qivclient_backup_last_attempt_timestamp_seconds{dataset=\"tank/a\"} 1767323040\n"
              "qivclient_backup_last_attempt_timestamp_seconds{dataset=\"tank/b\\\"x\"} 1767222000\n"
              "# TYPE qivclient_backup_failures gauge\n"
              "qivclient_backup_failures{dataset=\"tank/a\"} 0\n"
              "qivclient_backup_failures{dataset=\"tank/b\\\"x\"} 2\n"
              "# TYPE qivclient_backup_last_size_bytes gauge\n"
              "qivclient_backup_last_size_bytes{dataset=\"tank/a\"} 1572864\n"
              "# TYPE qivclient_uploads_pending gauge\n"
              "qivclient_uploads_pending 0\n");
}

TEST(StatusFormat, TableShowsDatasetsWithAgeSizeAndOneLineErrorsThenUploadsAndRestores) {
    const QDateTime success = QDateTime::fromString("2026-01-02T03:04:05+00:00", Qt::ISODate);
    const QString table = statusformat::table(Status, success.addSecs(86400 + 2 * 3600 + 180));
    const QString shown = success.toLocalTime().toString("yyyy-MM-dd HH:mm:ss");
    const QStringList expected = {
        R"(^DATASET +LAST SUCCESS +AGE +SIZE +CHAIN +FAILURES +LAST ERROR$)",
        R"(^tank/a +)" + shown + R"( +1d 2h +1\.5 MiB +full \+ 2 +0 +-$)",
        R"(^tank/b"x +never +- +- +- +2 +zfs said: no space$)",
        R"(^Uploads pending: none$)",
        R"(^Restores:$)",
        R"(^  restore 7: failed: the fetched file has 1 bytes, the store lists 2  \(tank/a/qiv_1 -> tank/r, )" + shown +
            R"(\)$)",
    };
    for (const QString &line : expected)
        EXPECT_TRUE(table.contains(QRegularExpression(line, QRegularExpression::MultilineOption)))
            << line.toStdString() << "\nin:\n"
            << table.toStdString();
}

TEST(StatusFormat, UploadLineGivesBytesSentRateAndElapsedTime) {
    const struct Case {
        const char *upload;
        qint64 elapsedMs, uploadingMs;
        const char *line;
    } cases[] = {
        {R"({"snapshot": "t/a@qiv_1", "state": "queued"})", 2999, 0, "t/a@qiv_1: queued, 0:02"},
        {R"({"snapshot": "t/a@qiv_1", "state": "uploading", "bytes": 0})", 500, 0,
         "t/a@qiv_1: uploading, 0 B sent, 0:00"},
        {R"({"snapshot": "t/a@qiv_1", "state": "uploading", "bytes": 6291456})", 61000, 2000,
         "t/a@qiv_1: uploading, 6.0 MiB sent, 3.0 MiB/s, 1:01"},
        {R"({"snapshot": "t/a@qiv_1", "state": "uploading", "bytes": 1024})", 3723000, 1000,
         "t/a@qiv_1: uploading, 1.0 KiB sent, 1.0 KiB/s, 1:02:03"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(statusformat::uploadLine(QJsonDocument::fromJson(c.upload).object(), c.elapsedMs, c.uploadingMs)
                      .toStdString(),
                  c.line);
}

}  // namespace
