// StreamStages: the stages a backup stream passes through between `zfs send` and the store, compression with
// `zstd` and then encryption with `age` for one recipient, and how a restore undoes them. It knows the stages'
// argument vectors, the suffixes they give an object's name (see BackupName) and the checks of the settings that
// drive them; it is the only unit that starts zstd or age. A value type: thread-safe as any value, and every call
// that runs a program starts and owns it.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include "backupname.h"
#include "clientsettings.h"

class StreamStages {
public:
    // Argument vectors, as OrvTool::Stream and ZfsTool::ReceiveOptions take them.
    using Commands = QList<QStringList>;

    // The stages the settings ask for: compression when "compress" is "zstd", encryption when "encrypt" names a
    // recipient. Settings that checkSettings() would refuse never reach a client, so nothing is checked here.
    static StreamStages of(const ClientSettings &settings);

    bool compresses() const { return m_compress; }
    bool encrypts() const { return !m_recipient.isEmpty(); }

    // Sets the suffix flags of an object's name to these stages.
    void mark(BackupName *name) const;
    // The filters of the upload line after the stream's source, in the order they run (zstd, then age).
    Commands uploadFilters() const;

    // The commands that undo the stages an object's name carries, in reverse: `age -d -i identity`, then
    // `zstd -d`. Empty for an object without suffixes.
    static Commands undoFilters(const BackupName &name, const QString &identity);
    // False, with "no identity to decrypt <object>: <identity>: <why>" in *reason, when object is encrypted and
    // identity is not a readable regular file. True for any object that is not encrypted. Reads at most one byte.
    static bool canUndo(const QString &object, const QString &identity, QString *reason);

    // Checks the stage settings of a settings file (its "orvane" object) before it is written: "compress" is "" or
    // "zstd"; "encrypt" is "" or a recipient `age` accepts (age is run once on empty input, with an argument list,
    // waiting at most CheckMs); "identity" is "" or an absolute path. False with the parameter's name in *parameter
    // and the reason, in age's own words where it refused, in *reason. Blocks up to CheckMs.
    static bool checkSettings(const QJsonObject &file, QString *parameter, QString *reason);
    static constexpr int CheckMs = 10000;

private:
    bool m_compress = false;
    QString m_recipient;  // empty: no encryption
};
