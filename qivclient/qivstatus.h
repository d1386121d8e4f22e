// QivStatus: what operators ask of a backup client: per dataset the last snapshot, attempt, success, upload duration
// and size, the failures since the last success and the last error; the recent restores with their states. The
// uploads pending are the client's own record; toObject() takes them in. Every change is written at once, atomically,
// to the status file (when one is open), so the record survives restarts; the file stays small because only the last
// MaxRestores restores are kept. Thread-safe: every method may be called from any thread; one mutex guards the record
// and the write of the file. Times are local date-times with their UTC offset in ISO 8601
// ("2026-12-07T13:35:00+01:00").
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <mutex>

class QivStatus {
public:
    static constexpr int MaxRestores = 50;

    QivStatus() = default;

    // Reads the record kept in path (a missing or unreadable file gives an empty record) and writes every later
    // change there. What a previous process left unfinished is settled here: a restore that was not done or failed
    // becomes failed with "interrupted by a restart of the daemon", its staged file removed.
    // False when the settled record cannot be written.
    bool open(const QString &path);

    // --- Backups. dataset is the dataset's name, snapshot the full "dataset@qiv_..." name.
    // A backup of dataset starts now.
    void backupAttempted(const QString &dataset);
    // The backup of dataset failed before its upload (e.g. the snapshot); error says why.
    void backupFailed(const QString &dataset, const QString &error);
    // snapshot was taken and waits for its upload.
    void snapshotTaken(const QString &snapshot);
    // The upload of snapshot ended after durationMs. On success size is the object's size as the store lists it
    // (a null value when unknown) and chain the length of the chain it ends (1: a full backup, which also sets
    // the time of the last full one; 0: not known); on failure error says why.
    void uploadFinished(const QString &snapshot, bool ok, qint64 durationMs, const QJsonValue &size,
                        const QString &error, int chain = 0);
    // The outcome of a prune after a backup of dataset: what was removed, or why it failed (the last error).
    void pruned(const QString &dataset, bool ok, const QString &outcome);

    // The uploaded snapshot could not be destroyed; error (zfs's words) becomes the dataset's last error. The
    // backup itself succeeded, so the failures are not counted up.
    void snapshotNotDestroyed(const QString &snapshot, const QString &error);

    // --- Restores. Queues a new restore and returns its id (1, 2, ...; unique across restarts).
    int restoreQueued(const QString &subpath, const QString &dataset, const QString &staging);
    // The staged file a restore writes (recorded so that a restart can remove what a crash left).
    void restoreStaged(int id, const QString &stagedFile);
    // downloading object `object` of the `objects` of its chain: bytes of the chain fetched so far of total.
    // Written to the file only when the state changes.
    void restoreDownloading(int id, int object, int objects, qint64 bytes, qint64 total);
    void restoreReceiving(int id, int object, int objects);
    void restoreDone(int id);
    void restoreFailed(int id, const QString &reason);
    // The restore's record; empty when unknown.
    QJsonObject restore(int id) const;

    // The whole status: {"datasets": {name: record}, "uploads": uploads, "restores": [...]}. Datasets in selected
    // that have no record yet appear with empty records, so that a selected dataset never backed up shows.
    QJsonObject toObject(const QStringList &selected = QStringList(), const QJsonArray &uploads = QJsonArray()) const;

    static QString now();

private:
    Q_DISABLE_COPY(QivStatus)
    // REQUIRES: m_lock held.
    QJsonObject dataset(const QString &name) const;
    void setDataset(const QString &name, const QJsonObject &record);
    int findRestore(int id) const;
    // The id for a new restore: positive and held by no restore of the record.
    int nextId();
    // When a change of a restore is saved to the file.
    enum class Persist { Always, OnNewState, Never };
    void updateRestore(int id, const QJsonObject &changes, Persist persist = Persist::Always);
    bool save();

    mutable std::mutex m_lock;
    QString m_path;  // empty until open()
    QJsonObject m_datasets;
    QJsonArray m_restores;
    int m_nextRestore = 1;
};
