#include "qivstatus.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <climits>

#include "kp2file.h"
#include "restorejob.h"
#include "statusnames.h"

using namespace statusnames;

namespace {

QString datasetOf(const QString &snapshot) {
    return snapshot.left(snapshot.indexOf(QLatin1Char('@')));
}

bool finished(const QJsonObject &restore) {
    return isFinished(restore.value(State).toString());
}

}  // namespace

QString QivStatus::now() {
    // Qt::ISODate writes the offset only for a date-time with an explicit one; local time then keeps its zone.
    const QDateTime local = QDateTime::currentDateTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

bool QivStatus::open(const QString &path) {
    const QJsonObject kept = KP2File::readJsonObject(path);
    std::lock_guard<std::mutex> lock(m_lock);
    m_path = path;
    m_datasets = kept.value(Datasets).toObject();
    m_restores = QJsonArray();
    int highest = 0;
    for (const QJsonValue &v : kept.value(Restores).toArray()) {
        QJsonObject restore = v.toObject();
        highest = qMax(highest, restore.value(Id).toInt());
        if (!finished(restore)) {
            // The process that ran it is gone, and with it the fetch or the receive; a staged file it left behind
            // would fill the staging directory for nothing. Only a file by the name the restore gives it is
            // removed: a damaged or edited record must not make the daemon, which runs as root, delete any other
            // file.
            const QString staged = restore.value(Staged).toString();
            const QString own = RestoreJob::stagedFileName(restore.value(Id).toInt());
            if (!staged.isEmpty() && QFileInfo(staged).fileName() == own) QFile::remove(staged);
            restore.insert(State, toString(RestoreState::Failed));
            restore.insert(Error, QStringLiteral("interrupted by a restart of the daemon"));
            restore.insert(Updated, now());
        }
        m_restores.append(restore);
    }
    // A damaged file may hold any numbers: nextId() wraps past the int range and skips ids in use.
    m_nextRestore = highest < INT_MAX ? qMax(highest + 1, kept.value(NextRestore).toInt(1)) : 1;
    return save();
}

QJsonObject QivStatus::dataset(const QString &name) const {
    return m_datasets.value(name).toObject();
}

void QivStatus::setDataset(const QString &name, const QJsonObject &record) {
    m_datasets.insert(name, record);
}

int QivStatus::nextId() {
    // Ids count up from 1 and only a damaged file brings them to the end of the int range; there they start over
    // at 1, and an id still held by a restore of the record is passed over, so that an id names one restore.
    int id = qMax(1, m_nextRestore);
    while (findRestore(id) >= 0) id = id < INT_MAX ? id + 1 : 1;
    m_nextRestore = id < INT_MAX ? id + 1 : 1;
    return id;
}

int QivStatus::findRestore(int id) const {
    for (int i = 0; i < m_restores.size(); ++i)
        if (m_restores.at(i).toObject().value(Id).toInt() == id) return i;
    return -1;
}

bool QivStatus::save() {
    if (m_path.isEmpty()) return true;
    const QJsonObject all{{Datasets, m_datasets}, {Restores, m_restores}, {NextRestore, m_nextRestore}};
    // Written whole or not at all: a crash in the middle leaves the previous record, never half of one.
    return KP2File::saveJsonAtomic(m_path, all, true);
}

void QivStatus::backupAttempted(const QString &dataset) {
    std::lock_guard<std::mutex> lock(m_lock);
    QJsonObject record = this->dataset(dataset);
    record.insert(LastAttempt, now());
    setDataset(dataset, record);
    save();
}

void QivStatus::backupFailed(const QString &dataset, const QString &error) {
    std::lock_guard<std::mutex> lock(m_lock);
    QJsonObject record = this->dataset(dataset);
    record.insert(Failures, record.value(Failures).toInt() + 1);
    record.insert(LastError, error);
    setDataset(dataset, record);
    save();
}

void QivStatus::snapshotTaken(const QString &snapshot) {
    std::lock_guard<std::mutex> lock(m_lock);
    QJsonObject record = dataset(datasetOf(snapshot));
    record.insert(LastSnapshot, snapshot);
    setDataset(datasetOf(snapshot), record);
    save();
}

void QivStatus::uploadFinished(const QString &snapshot, bool ok, qint64 durationMs, const QJsonValue &size,
                               const QString &error, int chain) {
    std::lock_guard<std::mutex> lock(m_lock);
    const QString name = datasetOf(snapshot);
    QJsonObject record = dataset(name);
    record.insert(LastSnapshot, snapshot);
    if (ok) {
        record.insert(LastSuccess, now());
        record.insert(LastDurationMs, durationMs);
        record.insert(LastSize, size);
        record.insert(Failures, 0);
        if (chain > 0) record.insert(Chain, chain);
        if (chain == 1) record.insert(LastFull, now());
    } else {
        record.insert(Failures, record.value(Failures).toInt() + 1);
        record.insert(LastError, error);
    }
    setDataset(name, record);
    save();
}

void QivStatus::snapshotNotDestroyed(const QString &snapshot, const QString &error) {
    std::lock_guard<std::mutex> lock(m_lock);
    QJsonObject record = dataset(datasetOf(snapshot));
    record.insert(LastError, error);
    setDataset(datasetOf(snapshot), record);
    save();
}

int QivStatus::restoreQueued(const QString &subpath, const QString &dataset, const QString &staging) {
    std::lock_guard<std::mutex> lock(m_lock);
    const int id = nextId();
    m_restores.append(QJsonObject{{Id, id},
                                  {Subpath, subpath},
                                  {Dataset, dataset},
                                  {Staging, staging},
                                  {State, toString(RestoreState::Queued)},
                                  {QueuedAt, now()},
                                  {Updated, now()}});
    // The oldest finished restore goes first; only when none has finished, the oldest of all.
    while (m_restores.size() > MaxRestores) {
        int victim = 0;
        while (victim < m_restores.size() && !finished(m_restores.at(victim).toObject())) ++victim;
        m_restores.removeAt(victim < m_restores.size() ? victim : 0);
    }
    save();
    return id;
}

void QivStatus::updateRestore(int id, const QJsonObject &changes, Persist persist) {
    std::lock_guard<std::mutex> lock(m_lock);
    const int i = findRestore(id);
    if (i < 0) return;
    QJsonObject restore = m_restores.at(i).toObject();
    const bool newState = changes.contains(State) && changes.value(State) != restore.value(State);
    for (auto it = changes.begin(); it != changes.end(); ++it) restore.insert(it.key(), it.value());
    restore.insert(Updated, now());
    m_restores.replace(i, restore);
    if (persist == Persist::Always || (persist == Persist::OnNewState && newState)) save();
}

void QivStatus::restoreStaged(int id, const QString &stagedFile) {
    updateRestore(id, {{Staged, stagedFile}});
}

void QivStatus::pruned(const QString &dataset, bool ok, const QString &outcome) {
    std::lock_guard<std::mutex> lock(m_lock);
    QJsonObject record = this->dataset(dataset);
    record.insert(ok ? LastPrune : LastError, outcome);
    setDataset(dataset, record);
    save();
}

void QivStatus::restoreDownloading(int id, int object, int objects, qint64 bytes, qint64 total) {
    // Progress is answered from memory and written only when the restore starts to download and when it ends: a
    // synced write of the status file every half second made the file system flush the staged download with it,
    // and the fetch ran 13% slower than the same fetch alone; between the objects of a chain it cost 15%. A restart
    // fails every restore that had not ended, whatever step the file names.
    updateRestore(id,
                  {{State, toString(RestoreState::Downloading)},
                   {Object, object},
                   {Objects, objects},
                   {Bytes, bytes},
                   {Total, total}},
                  object == 1 ? Persist::OnNewState : Persist::Never);
}

void QivStatus::restoreReceiving(int id, int object, int objects) {
    updateRestore(id, {{State, toString(RestoreState::Receiving)}, {Object, object}, {Objects, objects}},
                  Persist::Never);
}

void QivStatus::restoreDone(int id) {
    updateRestore(id, {{State, toString(RestoreState::Done)}, {Staged, QJsonValue()}});
}

void QivStatus::restoreFailed(int id, const QString &reason) {
    updateRestore(id, {{State, toString(RestoreState::Failed)}, {Error, reason}, {Staged, QJsonValue()}});
}

QJsonObject QivStatus::restore(int id) const {
    std::lock_guard<std::mutex> lock(m_lock);
    const int i = findRestore(id);
    return i < 0 ? QJsonObject() : m_restores.at(i).toObject();
}

QJsonObject QivStatus::toObject(const QStringList &selected, const QJsonArray &uploads) const {
    std::lock_guard<std::mutex> lock(m_lock);
    QJsonObject datasets = m_datasets;
    for (const QString &name : selected)
        if (!name.isEmpty() && !datasets.contains(name)) datasets.insert(name, QJsonObject());
    return QJsonObject{{Datasets, datasets}, {Uploads, uploads}, {Restores, m_restores}};
}
