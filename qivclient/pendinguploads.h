// PendingUploads: the record of the snapshots whose upload has not completed: queued by a backup, being uploaded, or
// left over on the machine by an earlier run of the service. Their remote objects, partial or absent, are no backups
// yet, so the listings leave them out, and the status shows them. Thread-safe: one mutex guards the record and every
// live Watch; everything returned is the caller's own copy.
#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QSet>
#include <QString>
#include <list>
#include <mutex>
#include <vector>

#include "statusnames.h"

class PendingUploads {
public:
    struct Entry {
        QString name;  // "dataset@qiv_..."
        statusnames::UploadState state = statusnames::UploadState::Queued;
        QDateTime started;  // when its upload began (Uploading only)
        qint64 bytes = 0;   // the bytes its upload has sent so far (Uploading only)
    };

    PendingUploads() = default;

    // Appends name in state.
    void add(const QString &name, statusnames::UploadState state);
    // Appends name in state unless it is pending already; true when it was appended.
    bool addIfAbsent(const QString &name, statusnames::UploadState state);
    // name's upload begins now, with no bytes sent.
    void markUploading(const QString &name);
    // name's upload has sent bytes so far (a retry starts again from fewer).
    void setBytes(const QString &name, qint64 bytes);
    // name's upload has ended, complete or removed: its object is no longer a partial upload.
    void drop(const QString &name);
    // The pending snapshots in the order they are uploaded, copied under the lock.
    std::vector<Entry> entries() const;
    // The status form: [{"snapshot", "state", "started" and "bytes" (uploading only)}].
    QJsonArray toJson() const;

    // The names of every snapshot pending at any moment between its construction and names(). A listing reads the
    // store before it filters, and an upload that ends in between (complete, or failed and removed) was partial when
    // the tool saw it. Construct and call on one thread; the record must outlive the watch.
    class Watch {
    public:
        explicit Watch(const PendingUploads &uploads);
        ~Watch();
        QSet<QString> names() const;

    private:
        const PendingUploads &m_uploads;
        std::list<QSet<QString>>::iterator m_names;
        Q_DISABLE_COPY(Watch)
    };

    // The listing lines whose object (prefix + "key", a path below the machine root) is the backup of none of the
    // snapshots named, whatever its kind and stages ("tank/a/qiv_1_from_0.zst" is the backup of "tank/a@qiv_1").
    static QJsonArray withoutPending(const QJsonArray &lines, const QString &prefix, const QSet<QString> &snapshots);
    // "tank/a@qiv_1" for the object path "tank/a/qiv_1..."; empty when the path names no backup.
    static QString snapshotOf(const QString &objectPath);

private:
    Q_DISABLE_COPY(PendingUploads)
    // REQUIRES: m_lock held.
    void appendLocked(const QString &name, statusnames::UploadState state);

    mutable std::mutex m_lock;
    std::vector<Entry> m_entries;
    mutable std::list<QSet<QString>> m_watches;  // one per live Watch; each name that becomes pending is added
};
