#include "backupname.h"

namespace {

const QString Prefix = QStringLiteral("qiv_");
const QString From = QStringLiteral("_from_");
const QString Zst = QStringLiteral(".zst");
const QString Age = QStringLiteral(".age");

}  // namespace

bool BackupName::parse(const QString &name, BackupName *out) {
    if (!name.startsWith(Prefix)) return false;
    QString rest = name.mid(Prefix.size());
    BackupName parsed;
    // Suffixes come off in reverse of the order the stages ran.
    if (rest.endsWith(Age)) {
        parsed.encrypted = true;
        rest.chop(Age.size());
    }
    if (rest.endsWith(Zst)) {
        parsed.compressed = true;
        rest.chop(Zst.size());
    }
    const int from = rest.indexOf(From);
    if (from >= 0) {
        parsed.baseStamp = rest.mid(from + From.size());
        rest.truncate(from);
        if (parsed.baseStamp.isEmpty()) return false;
    }
    if (rest.isEmpty()) return false;
    parsed.stamp = rest;
    *out = parsed;
    return true;
}

QString BackupName::toString() const {
    QString name = Prefix + stamp;
    if (!baseStamp.isEmpty()) name += From + baseStamp;
    if (compressed) name += Zst;
    if (encrypted) name += Age;
    return name;
}
