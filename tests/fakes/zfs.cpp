// Stand-in for the appliance's `zfs`, for tests and the demo only (never shipped). It keeps datasets and snapshots
// in the directory named by QIV_FAKE_ZFS_DIR:
//   datasets/<name>/content        literal dataset content, or
//   datasets/<name>/generated      "<bytes> <seed>": a deterministic pseudo-random stream made on the fly
//   datasets/<name>/snapshots/<snapshot>/{content|generated}   the dataset's content when the snapshot was taken
// Names are stored percent-encoded, so any name (blanks, quotes, ";", "$()", backquotes) is safe on disk.
// Commands:
//   create DATASET [--from FILE | --size BYTES]   test set-up; empty content without an option
//   snapshot DATASET@SNAPSHOT                     fails when the dataset is missing or the snapshot exists
//   send [-i BASE] DATASET@SNAPSHOT               writes the snapshot's stream to standard output (an incremental
//                                                 one is the whole content too; BASE must exist)
//   destroy [-r] DATASET@SNAPSHOT | DATASET       a dataset only when it has no snapshots, or with -r
//   receive [-u] DATASET                          a new dataset whose content is standard input; never overwrites
//   set PROPERTY=VALUE DATASET@SNAPSHOT           a user property of a snapshot
//   mount DATASET                                 succeeds for an existing dataset
//   list [-H] [-t filesystem|snapshot|all] [-o name[,PROPERTY...]]
//                                                 names one per line, datasets then their snapshots, sorted, with
//                                                 each property's value ("-" when unset) after a tab; a "NAME" header
//                                                 line first unless -H (scripted mode)
// Every call appends its arguments as a JSON array line to calls.log. A file "fail-<command>" makes that command
// write the file's content to standard error and exit 1; "send" first writes half of the stream, like a source that
// breaks off; "fail-send-i" does so for incremental sends only. "delay-<command>" holds milliseconds to sleep first.
// "pause-send" holds milliseconds that "send" sleeps after the first half of a literal content stream, like a transfer
// caught in the middle, ignoring hangups.

#include <signal.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cstring>

#include "fakesupport.h"

namespace {

QString g_state;

int fail(const QString &message) {
    fake::writeErr(message + QLatin1Char('\n'));
    return 1;
}

QString datasetDir(const QString &dataset) {
    return g_state + QStringLiteral("/datasets/") + fake::encodeName(dataset);
}

QString snapshotDir(const QString &dataset, const QString &snapshot) {
    return datasetDir(dataset) + QStringLiteral("/snapshots/") + fake::encodeName(snapshot);
}

bool splitSnapshot(const QString &name, QString *dataset, QString *snapshot) {
    const int at = name.indexOf(QLatin1Char('@'));
    if (at <= 0 || at == name.size() - 1) return false;
    *dataset = name.left(at);
    *snapshot = name.mid(at + 1);
    return !snapshot->contains(QLatin1Char('@'));
}

quint64 seedOf(const QString &name) {
    quint64 h = 1469598103934665603ULL;  // FNV-1a
    for (const char c : name.toUtf8()) h = (h ^ quint8(c)) * 1099511628211ULL;
    return h | 1;  // xorshift needs a non-zero state
}

// Writes `bytes` of the generated stream for seed: xorshift64* words, fast enough for streams of gigabytes.
bool writeGenerated(quint64 bytes, quint64 seed) {
    static constexpr size_t BufferSize = 1 << 20;
    static quint64 buffer[BufferSize / sizeof(quint64)];
    quint64 state = seed;
    while (bytes > 0) {
        for (quint64 &word : buffer) {
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            word = state * 2685821657736338717ULL;
        }
        const quint64 n = qMin<quint64>(bytes, BufferSize);
        if (!fake::writeAll(1, reinterpret_cast<const char *>(buffer), qint64(n))) return false;
        bytes -= n;
    }
    return true;
}

bool copyFile(const QString &from, const QString &to) {
    // A hard link is a cheap frozen copy: content files are only ever replaced, never written in place.
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0) return true;
    return QFile::copy(from, to);
}

int create(const QStringList &args) {
    if (args.size() != 2 && args.size() != 4)
        return fail(QStringLiteral("usage: zfs create DATASET [--from FILE | --size BYTES]"));
    const QString dataset = args.at(1);
    if (dataset.isEmpty() || dataset.contains(QLatin1Char('@')))
        return fail(QStringLiteral("cannot create '%1': invalid dataset name").arg(dataset));
    const QString dir = datasetDir(dataset);
    if (QFileInfo::exists(dir)) return fail(QStringLiteral("cannot create '%1': dataset already exists").arg(dataset));
    if (!QDir().mkpath(dir + QStringLiteral("/snapshots")))
        return fail(QStringLiteral("cannot create state directory"));
    if (args.size() == 4 && args.at(2) == QLatin1String("--size")) {
        bool ok = false;
        const quint64 bytes = args.at(3).toULongLong(&ok);
        if (!ok) return fail(QStringLiteral("bad size '%1'").arg(args.at(3)));
        QFile f(dir + QStringLiteral("/generated"));
        if (!f.open(QIODevice::WriteOnly)) return fail(QStringLiteral("cannot write state"));
        f.write(QByteArray::number(bytes) + ' ' + QByteArray::number(seedOf(dataset)) + '\n');
        return 0;
    }
    if (args.size() == 4 && args.at(2) == QLatin1String("--from")) {
        if (!QFile::copy(args.at(3), dir + QStringLiteral("/content")))
            return fail(QStringLiteral("cannot read '%1'").arg(args.at(3)));
        return 0;
    }
    if (args.size() == 4) return fail(QStringLiteral("unknown option '%1'").arg(args.at(2)));
    QFile f(dir + QStringLiteral("/content"));
    return f.open(QIODevice::WriteOnly) ? 0 : fail(QStringLiteral("cannot write state"));
}

int snapshot(const QStringList &args) {
    QString dataset, snap;
    if (args.size() != 2 || !splitSnapshot(args.at(1), &dataset, &snap))
        return fail(QStringLiteral("cannot create snapshot '%1': invalid snapshot name").arg(args.value(1)));
    if (!QFileInfo::exists(datasetDir(dataset)))
        return fail(QStringLiteral("cannot open '%1': dataset does not exist").arg(dataset));
    const QString dir = snapshotDir(dataset, snap);
    if (QFileInfo::exists(dir))
        return fail(QStringLiteral("cannot create snapshot '%1': dataset already exists").arg(args.at(1)));
    if (!QDir().mkpath(dir)) return fail(QStringLiteral("cannot create state directory"));
    for (const char *name : {"/content", "/generated"}) {
        const QString from = datasetDir(dataset) + QLatin1String(name);
        if (QFileInfo::exists(from) && !copyFile(from, dir + QLatin1String(name)))
            return fail(QStringLiteral("cannot write state"));
    }
    return 0;
}

// All of the stream, or only its first half when breakOff; "pause-send" stalls it after the first half.
bool writeStream(const QByteArray &bytes, bool breakOff) {
    const int half = bytes.size() / 2;
    if (!fake::writeAll(1, bytes.constData(), half)) return false;
    if (breakOff) return true;
    QByteArray ms;
    if (fake::onDemand(g_state, QStringLiteral("pause-send"), &ms)) {
        // Like a program started under nohup: only a signal that cannot be ignored ends the transfer.
        ::signal(SIGHUP, SIG_IGN);
        QThread::msleep(ms.trimmed().toULong());
    }
    return fake::writeAll(1, bytes.constData() + half, bytes.size() - half);
}

int send(QStringList args, bool breakOff, QByteArray message) {
    QString dataset, snap;
    if (args.size() == 4 && args.at(1) == QLatin1String("-i")) {
        QByteArray why;
        if (fake::failOnDemand(g_state, QStringLiteral("send-i"), &why)) {
            breakOff = true;
            message = why;
        }
        QString baseDataset, base;
        if (!splitSnapshot(args.at(2), &baseDataset, &base) || !QFileInfo::exists(snapshotDir(baseDataset, base)))
            return fail(QStringLiteral("cannot open '%1': dataset does not exist").arg(args.at(2)));
        args.erase(args.begin() + 1, args.begin() + 3);
    }
    if (args.size() != 2 || !splitSnapshot(args.at(1), &dataset, &snap))
        return fail(QStringLiteral("usage: zfs send [-i BASE] DATASET@SNAPSHOT"));
    const QString dir = snapshotDir(dataset, snap);
    if (!QFileInfo::exists(dir))
        return fail(QStringLiteral("cannot open '%1': dataset does not exist").arg(args.at(1)));
    QFile generated(dir + QStringLiteral("/generated"));
    if (generated.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> sizeAndSeed = generated.readAll().trimmed().split(' ');
        const quint64 bytes = sizeAndSeed.value(0).toULongLong();
        if (!writeGenerated(breakOff ? bytes / 2 : bytes, sizeAndSeed.value(1).toULongLong()))
            return fail(QStringLiteral("send: write error"));
    } else {
        QFile content(dir + QStringLiteral("/content"));
        if (!content.open(QIODevice::ReadOnly)) return fail(QStringLiteral("cannot read state"));
        if (!writeStream(content.readAll(), breakOff)) return fail(QStringLiteral("send: write error"));
    }
    if (breakOff) {
        fake::writeAll(2, message.constData(), message.size());
        return 1;
    }
    return 0;
}

int destroy(QStringList args) {
    const bool recursive = args.size() == 3 && args.at(1) == QLatin1String("-r");
    if (recursive) args.removeAt(1);
    if (args.size() != 2) return fail(QStringLiteral("usage: zfs destroy [-r] DATASET[@SNAPSHOT]"));
    QString dataset, snap;
    if (splitSnapshot(args.at(1), &dataset, &snap)) {
        QDir dir(snapshotDir(dataset, snap));
        if (!dir.exists())
            return fail(QStringLiteral("could not find any snapshots to destroy; check snapshot names."));
        return dir.removeRecursively() ? 0 : fail(QStringLiteral("cannot destroy '%1'").arg(args.at(1)));
    }
    QDir dir(datasetDir(args.at(1)));
    if (!dir.exists()) return fail(QStringLiteral("cannot open '%1': dataset does not exist").arg(args.at(1)));
    if (!recursive && !QDir(dir.filePath(QStringLiteral("snapshots"))).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot))
        return fail(QStringLiteral("cannot destroy '%1': filesystem has children").arg(args.at(1)));
    return dir.removeRecursively() ? 0 : fail(QStringLiteral("cannot destroy '%1'").arg(args.at(1)));
}

int receive(QStringList args) {
    if (args.size() == 3 && args.at(1) == QLatin1String("-u")) args.removeAt(1);
    if (args.size() != 2) return fail(QStringLiteral("usage: zfs receive [-u] DATASET"));
    const QString dir = datasetDir(args.at(1));
    if (QFileInfo::exists(dir))
        return fail(QStringLiteral("cannot receive new filesystem stream: destination '%1' exists\n"
                                   "must specify -F to overwrite it")
                        .arg(args.at(1)));
    QFile in;
    QFile out(dir + QStringLiteral("/content"));
    if (!QDir().mkpath(dir + QStringLiteral("/snapshots")) || !in.open(stdin, QIODevice::ReadOnly) ||
        !out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write state"));
    return out.write(in.readAll()) >= 0 ? 0 : fail(QStringLiteral("cannot write state"));
}

QString propertyFile(const QString &snapshotName, const QString &property) {
    QString dataset, snap;
    if (!splitSnapshot(snapshotName, &dataset, &snap)) return QString();
    return snapshotDir(dataset, snap) + QStringLiteral("/property-") + fake::encodeName(property);
}

int set(const QStringList &args) {
    const int eq = args.value(1).indexOf(QLatin1Char('='));
    if (args.size() != 3 || eq <= 0) return fail(QStringLiteral("usage: zfs set PROPERTY=VALUE DATASET@SNAPSHOT"));
    const QString file = propertyFile(args.at(2), args.at(1).left(eq));
    QString dataset, snap;
    if (file.isEmpty() || !splitSnapshot(args.at(2), &dataset, &snap) || !QFileInfo::exists(datasetDir(dataset)))
        return fail(QStringLiteral("cannot open '%1': dataset does not exist").arg(args.at(2)));
    // A received dataset keeps no snapshots here: the snapshot its stream named comes into being with its property.
    QDir().mkpath(QFileInfo(file).path());
    QFile f(file);
    return f.open(QIODevice::WriteOnly) && f.write(args.at(1).mid(eq + 1).toUtf8()) >= 0
               ? 0
               : fail(QStringLiteral("cannot write state"));
}

QString propertyOf(const QString &name, const QString &property) {
    QFile f(propertyFile(name, property));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QStringLiteral("-");
}

int list(const QStringList &args) {
    QString type = QStringLiteral("all");
    QStringList properties;
    bool scripted = false;
    for (int i = 1; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("-H")) {
            scripted = true;
        } else if (args.at(i) == QLatin1String("-t") && i + 1 < args.size()) {
            type = args.at(++i);
        } else if (args.at(i) == QLatin1String("-o") && args.value(i + 1).startsWith(QLatin1String("name"))) {
            const QString columns = args.at(++i);
            if (columns.startsWith(QLatin1String("name,")))
                properties = columns.mid(5).split(QLatin1Char(','));
            else if (columns != QLatin1String("name"))
                return fail(QStringLiteral("bad columns '%1'").arg(columns));
        } else {
            return fail(QStringLiteral("this stand-in takes only -H, -t TYPE and -o name[,PROPERTY...]"));
        }
    }
    const bool datasets = type == QLatin1String("all") || type == QLatin1String("filesystem");
    const bool snapshots = type == QLatin1String("all") || type == QLatin1String("snapshot");
    QStringList names;
    const QDir root(g_state + QStringLiteral("/datasets"));
    for (const QString &d : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QString dataset = fake::decodeName(d);
        if (datasets) names.append(dataset);
        if (!snapshots) continue;
        const QDir snaps(root.filePath(d) + QStringLiteral("/snapshots"));
        for (const QString &s : snaps.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden))
            names.append(dataset + QLatin1Char('@') + fake::decodeName(s));
    }
    names.sort();
    for (QString &name : names) {
        QString line = name;
        for (const QString &property : properties) line += QLatin1Char('\t') + propertyOf(name, property);
        name = line;
    }
    if (!scripted) names.prepend(QStringLiteral("NAME"));
    const QByteArray text = names.isEmpty() ? QByteArray() : names.join(QLatin1Char('\n')).toUtf8() + '\n';
    return fake::writeAll(1, text.constData(), text.size()) ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    g_state = fake::stateDir("QIV_FAKE_ZFS_DIR", "zfs");
    fake::logCall(g_state, argc, argv);
    QStringList args;
    for (int i = 1; i < argc; ++i) args.append(QString::fromUtf8(argv[i]));
    if (args.isEmpty()) return fail(QStringLiteral("usage: zfs create|snapshot|send|destroy|list ..."));
    const QString command = args.at(0);
    fake::delayOnDemand(g_state, command);

    QByteArray message;
    const bool failing = fake::failOnDemand(g_state, command, &message);
    if (command == QLatin1String("send")) return send(args, failing, message);
    if (failing) {
        fake::writeAll(2, message.constData(), message.size());
        return 1;
    }
    if (command == QLatin1String("create")) return create(args);
    if (command == QLatin1String("snapshot")) return snapshot(args);
    if (command == QLatin1String("destroy")) return destroy(args);
    if (command == QLatin1String("list")) return list(args);
    if (command == QLatin1String("receive")) return receive(args);
    if (command == QLatin1String("set")) return set(args);
    if (command == QLatin1String("mount"))
        return QFileInfo::exists(datasetDir(args.value(1)))
                   ? 0
                   : fail(QStringLiteral("cannot open '%1': dataset does not exist").arg(args.value(1)));
    return fail(QStringLiteral("unrecognized command '%1'").arg(command));
}
