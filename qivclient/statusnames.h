// The words of the backup status, spelled once: the keys of the qivclient_status reply and of the status file kept
// across restarts, and the states of pending uploads and of restores. The daemon writes them and qivctl reads them;
// status files already written and the callers of qivclient_status depend on these exact texts. Header only.
#pragma once

#include <QString>

namespace statusnames {

// The whole status.
inline const QString Datasets = QStringLiteral("datasets");
inline const QString Uploads = QStringLiteral("uploads");
inline const QString Restores = QStringLiteral("restores");
inline const QString NextRestore = QStringLiteral("nextRestore");  // status file only

// One dataset's record.
inline const QString LastSnapshot = QStringLiteral("lastSnapshot");
inline const QString LastAttempt = QStringLiteral("lastAttempt");
inline const QString LastSuccess = QStringLiteral("lastSuccess");
inline const QString LastDurationMs = QStringLiteral("lastDurationMs");
inline const QString LastSize = QStringLiteral("lastSize");
inline const QString Failures = QStringLiteral("failures");
inline const QString LastError = QStringLiteral("lastError");
inline const QString Chain = QStringLiteral("chain");        // objects in the chain of the last backup
inline const QString LastFull = QStringLiteral("lastFull");  // time of the last full backup
inline const QString LastPrune = QStringLiteral("lastPrune");

// One pending upload, and the state of an upload or a restore.
inline const QString Snapshot = QStringLiteral("snapshot");
inline const QString State = QStringLiteral("state");
inline const QString Started = QStringLiteral("started");
// An upload's bytes sent so far are "bytes", as a restore's bytes fetched (below).

// One restore.
inline const QString Id = QStringLiteral("id");
inline const QString Subpath = QStringLiteral("subpath");
inline const QString Dataset = QStringLiteral("dataset");
inline const QString Staging = QStringLiteral("staging");
inline const QString Staged = QStringLiteral("staged");
inline const QString QueuedAt = QStringLiteral("queued");
inline const QString Updated = QStringLiteral("updated");
inline const QString Bytes = QStringLiteral("bytes");
inline const QString Total = QStringLiteral("total");
inline const QString Object = QStringLiteral("object");    // the chain's object being restored, from 1
inline const QString Objects = QStringLiteral("objects");  // objects in the chain
inline const QString Error = QStringLiteral("error");

enum class UploadState { Queued, Uploading, LeftOver };
inline QString toString(UploadState state) {
    switch (state) {
        case UploadState::Queued:
            return QStringLiteral("queued");
        case UploadState::Uploading:
            return QStringLiteral("uploading");
        case UploadState::LeftOver:
            return QStringLiteral("leftover");
    }
    return QString();
}

enum class RestoreState { Queued, Downloading, Receiving, Done, Failed };
inline QString toString(RestoreState state) {
    switch (state) {
        case RestoreState::Queued:
            return QStringLiteral("queued");
        case RestoreState::Downloading:
            return QStringLiteral("downloading");
        case RestoreState::Receiving:
            return QStringLiteral("receiving");
        case RestoreState::Done:
            return QStringLiteral("done");
        case RestoreState::Failed:
            return QStringLiteral("failed");
    }
    return QString();
}

// A restore in this state has ended and changes no more.
inline bool isFinished(const QString &restoreState) {
    return restoreState == toString(RestoreState::Done) || restoreState == toString(RestoreState::Failed);
}

}  // namespace statusnames
