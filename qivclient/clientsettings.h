// ClientSettings: what a settings file (its JSON object) sets, and the settings view shown to callers. Pure values
// and functions: QivClient reads the file and applies these values.
#pragma once

#include <QJsonObject>
#include <QString>

struct ClientSettings {
    int reportSeconds = 60;
    int backupMinutes = 5;
    QString url;
    QString uid;
    QString pwd;
    bool activeWanted = false;

    // The values of a settings file: the intervals raised to their floors of 60 s and 5 min (a value that is no
    // integer in the int range counts as 0), the credentials trimmed ("" for anything but a string), the wish for
    // backups as toBool.
    static ClientSettings of(const QJsonObject &file);
    // The settings view of these values with the active flag in force: "active" (0/1), "report" {"interval"},
    // "orvane" {"url", "uid", "pwd", "interval"}, and "dmpaths" exactly as the file has it when it has one.
    QJsonObject view(const QJsonObject &file, bool active) const;
};
