#include "backupchains.h"

#include <QJsonObject>
#include <QSet>
#include <algorithm>

BackupChains BackupChains::fromListing(const QJsonArray &lines) {
    QList<Object> objects;
    for (const QJsonValue &v : lines) {
        const QJsonObject line = v.toObject();
        Object object;
        object.name = line.value(QStringLiteral("key")).toString();
        if (!BackupName::parse(object.name, &object.parsed)) continue;
        const QJsonValue size = line.value(QStringLiteral("size"));
        if (size.isDouble() && size.toDouble() >= 0) object.size = qint64(size.toDouble());
        objects.append(object);
    }
    return BackupChains(objects);
}

BackupChains::BackupChains(const QList<Object> &objects) : m_objects(objects) {}

int BackupChains::indexOf(const QString &name) const {
    for (int i = 0; i < m_objects.size(); ++i)
        if (m_objects.at(i).name == name) return i;
    return -1;
}

int BackupChains::baseOf(int i, QSet<int> path) const {
    // One of the base's time stamp: a full one when the store has it (it needs nothing else), otherwise an
    // incremental of that time whose own chain is whole. The objects on the way are passed over, which ends a loop
    // that hand-made names could form.
    // With none whole, a broken one is taken, so that the walk goes on to the link that is really missing.
    path.insert(i);
    const QString stamp = m_objects.at(i).parsed.baseStamp;
    int whole = -1;
    int broken = -1;
    for (int j = 0; j < m_objects.size(); ++j) {
        if (m_objects.at(j).parsed.stamp != stamp || path.contains(j)) continue;
        if (!m_objects.at(j).parsed.isIncremental()) return j;
        if (whole < 0 && rootFrom(j, path, nullptr) >= 0) whole = j;
        if (broken < 0) broken = j;
    }
    return whole >= 0 ? whole : broken;
}

int BackupChains::rootFrom(int i, QSet<int> path, QString *missing) const {
    while (m_objects.at(i).parsed.isIncremental()) {
        const int base = baseOf(i, path);
        if (base < 0) {
            if (missing) *missing = m_objects.at(i).parsed.base();
            return -1;
        }
        path.insert(i);
        i = base;
    }
    return i;
}

bool BackupChains::chainTo(const QString &name, QList<Object> *chain, QString *missing) const {
    int i = indexOf(name);
    if (i < 0) return false;
    if (rootFrom(i, {}, missing) < 0) return false;
    QList<Object> reversed{m_objects.at(i)};
    QSet<int> path;
    while (m_objects.at(i).parsed.isIncremental()) {
        const int base = baseOf(i, path);  // found whole by rootFrom just now
        path.insert(i);
        i = base;
        reversed.append(m_objects.at(i));
    }
    chain->clear();
    for (auto it = reversed.crbegin(); it != reversed.crend(); ++it) chain->append(*it);
    return true;
}

int BackupChains::lengthTo(const QString &name) const {
    QList<Object> chain;
    return chainTo(name, &chain) ? chain.size() : 0;
}

BackupChains::Prune BackupChains::prune(int keep, const QString &protectedName) const {
    // Group by the full each object's chain starts with; -1 collects the broken ones.
    QList<int> fulls;
    QHash<int, QList<int>> members;
    for (int i = 0; i < m_objects.size(); ++i) {
        const int root = rootFrom(i, {}, nullptr);
        members[root].append(i);
        if (root == i) fulls.append(i);
    }
    const auto stampOf = [this](int i) { return m_objects.at(i).parsed.stamp; };
    const auto newerFirst = [&](int a, int b) { return stampOf(a) != stampOf(b) ? stampOf(a) > stampOf(b) : a > b; };
    std::sort(fulls.begin(), fulls.end(), newerFirst);

    const int protectedIndex = indexOf(protectedName);
    const int protectedRoot = protectedIndex < 0 ? -2 : rootFrom(protectedIndex, {}, nullptr);
    QSet<int> removed;
    Prune result;
    const auto removeAll = [&](QList<int> objects) {
        std::sort(objects.begin(), objects.end(), newerFirst);
        for (int i : objects) {
            result.remove.append(m_objects.at(i).name);
            removed.insert(i);
        }
    };
    QString oldestKeptFull;
    for (int n = 0; n < fulls.size(); ++n)
        if (n < qMax(1, keep) || fulls.at(n) == protectedRoot) oldestKeptFull = stampOf(fulls.at(n));
    QList<int> orphans;
    for (int i : members.value(-1))
        if (i != protectedIndex && !oldestKeptFull.isEmpty() && stampOf(i) < oldestKeptFull) orphans.append(i);
    removeAll(orphans);
    // Oldest chains first; within a chain newest first, so its full goes last (it is also its oldest).
    for (int n = fulls.size() - 1; n >= qMax(1, keep); --n) {
        if (fulls.at(n) == protectedRoot) continue;
        QList<int> chain = members.value(fulls.at(n));
        chain.removeOne(fulls.at(n));
        removeAll(chain);
        removeAll({fulls.at(n)});
    }
    for (int i = 0; i < m_objects.size(); ++i)
        if (!removed.contains(i)) result.keep.append(m_objects.at(i).name);
    return result;
}
