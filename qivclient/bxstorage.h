// BXStorage: the appliance's storage layer as this service sees it, read from the kernel's mount table.
// mountpoints() returns one JSON object per mounted file system, keyed by mount point; ZFS entries carry "fstype"
// "zfs", "dmpath" (the dataset), "mountpoint", "vg" (the pool) and "lv" (the dataset below the pool).
// Stateless apart from the table path: safe to call from any thread.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

class BXStorage : public QObject {
    Q_OBJECT

public:
    // Reads the mount table at mountTable; an empty path means the appliance's table below the current root
    // (<root>/proc/self/mounts), resolved at each call.
    explicit BXStorage(const QString &mountTable = QString(), QObject *parent = nullptr);

    // One entry per line of the mount table, keyed by mount point (a later line for the same mount point wins, as
    // it is the one that is visible). An unreadable table gives an empty object.
    QJsonObject mountpoints() const;

    // Parses mount-table text (the format of /proc/self/mounts). Exposed for tests.
    static QJsonObject parseMountTable(const QByteArray &table);
    // Decodes the octal escapes (\040 blank, \011 tab, \012 newline, \134 backslash) of one mount-table field.
    static QString unescapeField(const QByteArray &field);

private:
    QString m_mountTable;
};
