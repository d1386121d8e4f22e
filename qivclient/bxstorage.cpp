#include "bxstorage.h"

#include <QFile>

#include "approot.h"

BXStorage::BXStorage(const QString &mountTable, QObject *parent) : QObject(parent), m_mountTable(mountTable) {}

QJsonObject BXStorage::mountpoints() const {
    QFile f(m_mountTable.isEmpty() ? AppRoot::path(AppRoot::MountTable) : m_mountTable);
    // /proc files report size 0, so read until the end instead of trusting size().
    if (!f.open(QIODevice::ReadOnly)) return QJsonObject();
    return parseMountTable(f.readAll());
}

QString BXStorage::unescapeField(const QByteArray &field) {
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c == '\\' && i + 3 < field.size()) {
            const QByteArray oct = field.mid(i + 1, 3);
            bool ok = oct.size() == 3;
            for (char o : oct) ok = ok && o >= '0' && o <= '7';
            if (ok) {
                out.append(static_cast<char>(oct.toInt(nullptr, 8)));
                i += 3;
                continue;
            }
        }
        out.append(c);
    }
    return QString::fromUtf8(out);
}

QJsonObject BXStorage::parseMountTable(const QByteArray &table) {
    QJsonObject result;
    for (const QByteArray &line : table.split('\n')) {
        // source mountpoint fstype options dump pass; the first three are all that matter here.
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 3) continue;
        const QString source = unescapeField(fields.at(0));
        const QString mountpoint = unescapeField(fields.at(1));
        QString fstype = unescapeField(fields.at(2));
        // A ZFS in user space (zfs-fuse) mounts its datasets as "fuse.zfs"; they are datasets all the same.
        if (fstype == QLatin1String("fuse.zfs")) fstype = QStringLiteral("zfs");
        QJsonObject entry{{"fstype", fstype}, {"dmpath", source}, {"mountpoint", mountpoint}};
        if (fstype == QLatin1String("zfs")) {
            // A dataset is "pool/child/..."; the pool's own root dataset is just "pool" and stands for itself.
            const int slash = source.indexOf(QLatin1Char('/'));
            entry.insert("vg", slash < 0 ? source : source.left(slash));
            entry.insert("lv", slash < 0 ? source : source.mid(slash + 1));
        }
        result.insert(mountpoint, entry);
    }
    return result;
}
