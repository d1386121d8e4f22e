// The texts qivctl makes of the daemon's backup status (the "results" of qivclient_status): a table for people, the
// Prometheus text exposition format for a node exporter's text-file collector, and the one-line progress of a
// restore. Pure functions of their arguments.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace statusformat {

// Datasets (last success and its age at now, size, chain, failures, last error), then the pending uploads and
// restores.
QString table(const QJsonObject &status, const QDateTime &now);

// Per dataset: last success and last attempt as Unix times (0 when there was none), failures since the last
// success, and the last upload's size where the store listed one; then the number of pending uploads.
QString metrics(const QJsonObject &status);

// "restore 3: downloading 12.0 MiB of 100.0 MiB (12%)", "... receiving into tank/r", "... done", "... failed: why";
// a chain of several objects adds which one is in work ("restore 3: object 2 of 4, downloading ...").
QString restoreLine(const QJsonObject &restore);

// A pending upload followed since elapsedMs ago, in upload for uploadingMs of them (0: not yet):
// "tank/a@qiv_1: queued, 0:02"; "tank/a@qiv_1: uploading, 12.0 MiB sent, 3.0 MiB/s, 0:06" (the rate over
// uploadingMs, left out while that is 0).
QString uploadLine(const QJsonObject &upload, qint64 elapsedMs, qint64 uploadingMs);

// A time span as "M:SS", from an hour on as "H:MM:SS".
QString duration(qint64 ms);

// The length of a dataset's current chain: 1 → "full", 4 → "full + 3", below 1 (not known) → "-".
QString chain(int objects);

// 1536 → "1.5 KiB"; bytes below 1 KiB as "512 B".
QString bytes(qint64 n);

}  // namespace statusformat
