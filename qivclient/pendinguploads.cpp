#include "pendinguploads.h"

#include <QJsonObject>
#include <algorithm>

#include "backupname.h"

using statusnames::UploadState;

void PendingUploads::add(const QString &name, UploadState state) {
    std::lock_guard<std::mutex> lock(m_lock);
    appendLocked(name, state);
}

bool PendingUploads::addIfAbsent(const QString &name, UploadState state) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (std::any_of(m_entries.cbegin(), m_entries.cend(), [&](const Entry &e) { return e.name == name; })) return false;
    appendLocked(name, state);
    return true;
}

void PendingUploads::appendLocked(const QString &name, UploadState state) {
    m_entries.push_back(Entry{name, state, QDateTime(), 0});
    for (QSet<QString> &watch : m_watches) watch.insert(name);
}

void PendingUploads::markUploading(const QString &name) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (Entry &e : m_entries) {
        if (e.name != name) continue;
        e.state = UploadState::Uploading;
        e.started = QDateTime::currentDateTime();
        e.bytes = 0;
        return;
    }
}

void PendingUploads::setBytes(const QString &name, qint64 bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (Entry &e : m_entries)
        if (e.name == name) e.bytes = bytes;
}

void PendingUploads::drop(const QString &name) {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry &e) { return e.name == name; });
    if (it != m_entries.end()) m_entries.erase(it);
}

std::vector<PendingUploads::Entry> PendingUploads::entries() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_entries;
}

QJsonArray PendingUploads::toJson() const {
    QJsonArray uploads;
    for (const Entry &e : entries()) {
        QJsonObject upload{{statusnames::Snapshot, e.name}, {statusnames::State, statusnames::toString(e.state)}};
        if (e.state == UploadState::Uploading) {
            upload.insert(statusnames::Started,
                          e.started.toOffsetFromUtc(e.started.offsetFromUtc()).toString(Qt::ISODate));
            upload.insert(statusnames::Bytes, e.bytes);
        }
        uploads.append(upload);
    }
    return uploads;
}

PendingUploads::Watch::Watch(const PendingUploads &uploads) : m_uploads(uploads) {
    std::lock_guard<std::mutex> lock(m_uploads.m_lock);
    QSet<QString> now;
    for (const Entry &e : m_uploads.m_entries) now.insert(e.name);
    m_names = m_uploads.m_watches.insert(m_uploads.m_watches.end(), now);
}

PendingUploads::Watch::~Watch() {
    std::lock_guard<std::mutex> lock(m_uploads.m_lock);
    m_uploads.m_watches.erase(m_names);
}

QSet<QString> PendingUploads::Watch::names() const {
    std::lock_guard<std::mutex> lock(m_uploads.m_lock);
    return *m_names;
}

QString PendingUploads::snapshotOf(const QString &objectPath) {
    const int slash = objectPath.lastIndexOf(QLatin1Char('/'));
    BackupName name;
    if (slash < 0 || !BackupName::parse(objectPath.mid(slash + 1), &name)) return QString();
    return objectPath.left(slash) + QLatin1Char('@') + name.snapshot();
}

QJsonArray PendingUploads::withoutPending(const QJsonArray &lines, const QString &prefix,
                                          const QSet<QString> &snapshots) {
    if (snapshots.isEmpty()) return lines;
    QJsonArray kept;
    for (const QJsonValue &line : lines) {
        const QString snapshot = snapshotOf(prefix + line.toObject().value(QStringLiteral("key")).toString());
        if (snapshot.isEmpty() || !snapshots.contains(snapshot)) kept.append(line);
    }
    return kept;
}
