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
    // Chains and stream stages, all under "orvane".
    int fullEvery = 1;  // "fullevery": objects per chain (a full one, then incrementals); below 1 counts as 1
    int keep = 0;       // "keep": chains kept per dataset by pruning; 0 keeps everything, below 0 counts as 0
    QString compress;   // "compress": "" or "zstd"
    QString encrypt;    // "encrypt": "" or the age recipient the streams are encrypted for
    QString identity;   // "identity": the age identity file restores decrypt with, used as given

    // The identity file when the settings name none: AppRoot's AgeIdentityFile below the appliance root.
    static QString defaultIdentity();

    // The values of a settings file: the intervals raised to their floors of 60 s and 5 min (a value that is no
    // integer in the int range counts as 0), the credentials trimmed ("" for anything but a string), the wish for
    // backups as toBool.
    static ClientSettings of(const QJsonObject &file);
    // The settings view of these values with the active flag in force: "active" (0/1), "report" {"interval"},
    // "orvane" {"url", "uid", "pwd", "interval", "fullevery", "keep", "compress", "encrypt", "identity"}, and
    // "dmpaths" exactly as the file has it when it has one. The identity is shown as a path, never its content.
    QJsonObject view(const QJsonObject &file, bool active) const;
};
