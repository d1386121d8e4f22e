// INI conversion and the file writes with root help of lnx2utils.h.
#include "kp2linux/lnx2utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace {

// mkdir, touch, chmod and chown end in milliseconds; the limit only covers sudo itself stalling (a slow name
// service or an authentication module), so a generous bound costs nothing in the normal case.
constexpr int kSudoLimitMs = 30000;

// Runs "/usr/bin/sudo -n <args>" without a shell and waits for it (cmdExecute: a run that misses the limit is killed
// and reaped); true when it exited with 0. "-n" makes sudo fail at once where it would ask for a password: there is
// no one to answer, and a prompt would only wait out the limit.
bool sudo(const QStringList &args) {
    QString out;
    return cmdExecute(out, QStringList{QStringLiteral("/usr/bin/sudo"), QStringLiteral("-n")} + args, kSudoLimitMs) ==
           0;
}

// The file's owner and group as chown takes them; a numeric id where the name cannot be resolved.
QString ownerOf(const QFileInfo &info) {
    const QString owner = info.owner().isEmpty() ? QString::number(info.ownerId()) : info.owner();
    const QString group = info.group().isEmpty() ? QString::number(info.groupId()) : info.group();
    return owner + QLatin1Char(':') + group;
}

}  // namespace

QJsonObject iniToJson(const QStringList &lines) {
    QJsonObject result;
    QString section;
    bool inSection = false;
    QJsonObject keys;
    for (const QString &line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
        const int close = line.indexOf(QLatin1Char(']'), 1);
        if (trimmed.startsWith(QLatin1Char('[')) && close > 0) {
            if (inSection) result.insert(section, keys);
            // The name starts after the line's first character, not after the "[": an indented header keeps it.
            section = line.mid(1, close - 1).trimmed();
            inSection = true;
            keys = QJsonObject();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (!inSection || equals < 0) continue;
        keys.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    if (inSection) result.insert(section, keys);
    return result;
}

bool writeFile(const QString &path, const QByteArray &data) {
    // Every path goes to the commands as an argument of its own after "--", so blanks, shell characters and a
    // leading "-" reach them unchanged. The outcome of each step shows in the steps after it (the open, the
    // file's final mode and owner), so their own results are not checked.
    const QFileInfo info(path);
    const bool existed = info.exists();
    const QString owner = existed ? ownerOf(info) : QString();
    const QString dir = info.absolutePath();
    if (!QDir(dir).exists()) sudo({QStringLiteral("mkdir"), QStringLiteral("-p"), QStringLiteral("--"), dir});
    if (!existed) sudo({QStringLiteral("touch"), QStringLiteral("--"), path});
    sudo({QStringLiteral("chmod"), QStringLiteral("777"), QStringLiteral("--"), path});

    QFile file(path);
    const bool opened = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    if (opened) {
        file.write(data);
        file.close();
    }

    sudo({QStringLiteral("chmod"), QStringLiteral("666"), QStringLiteral("--"), path});
    sudo({QStringLiteral("chown"), existed ? owner : QStringLiteral("www-data:www-data"), QStringLiteral("--"), path});
    return opened;
}

bool writeFile(const QString &path, const QString &s) {
    return writeFile(path, s.toUtf8());
}

bool writeFile(const QString &path, const QStringList &lines) {
    return writeFile(path, lines.join(QLatin1Char('\n')).toUtf8());
}

bool writeFile(const QString &path, const QJsonObject &o) {
    return writeFile(path, QJsonDocument(o).toJson(QJsonDocument::Indented));
}
