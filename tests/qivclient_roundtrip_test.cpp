// Backups end to end with the real daemon binary under --root, the stand-in core agent, zfs and object-store tool:
// snapshot, upload, listings, removal, failures, hostile names and the guards on remote paths.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <algorithm>

#include "daemonfixture.h"
#include "testsupport.h"

using namespace testsupport;

namespace {

const char *const kSerial = "SN-E2E";

class RoundTrip : public DaemonFixture {
protected:
    // Backups enabled, with the stand-in core agent answering the machine's serial number.
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(DaemonFixture::SetUp());
        ASSERT_TRUE(startAgent(kSerial));
        ASSERT_TRUE(writeActiveSettings());
        ASSERT_TRUE(serve());
    }

    // Runs the stand-in zfs directly (test set-up and inspection).
    QByteArray zfs(const QStringList &args) {
        QByteArray out;
        EXPECT_EQ(run("zfs", args, &out), 0) << out.constData();
        return out;
    }
    QStringList snapshots() {
        return QString::fromUtf8(zfs({"list", "-H", "-t", "snapshot"})).split('\n', Qt::SkipEmptyParts);
    }
    QString objectFile(const QString &key) const {
        return orvState + QStringLiteral("/objects/myorvane/bucket1/") + kSerial + QLatin1Char('/') + key;
    }
    // Every object stored for this machine, as keys below its root.
    QStringList objects() const {
        QStringList keys;
        const QString base = objectFile(QString());
        QDirIterator it(base, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) keys << it.next().mid(base.size());
        keys.sort();
        return keys;
    }
    // Waits until the worker has uploaded and destroyed every snapshot.
    bool settled() {
        return waitUntil(
            [&] {
                return snapshots().isEmpty() &&
                       call("qivclient_settingload").value("results").toObject().value("inbackup").toInt(-1) == 0;
            },
            30000);
    }
    QStringList toolCalls(const QString &command) const {
        QStringList calls;
        for (const QByteArray &line : readFile(orvState + "/calls.log").split('\n')) {
            const QJsonArray args = QJsonDocument::fromJson(line).array();
            if (!args.isEmpty() && args.first().toString() == command) calls << QString::fromUtf8(line);
        }
        return calls;
    }
};

TEST_F(RoundTrip, BackupIsUploadedListedAndRemoved) {
    QByteArray content;
    for (int i = 0; i < 20000; ++i) content += QByteArray::number(i * 7919) + ',';
    ASSERT_TRUE(writeFile(root.filePath("content"), content));
    zfs({"create", "tank/data", "--from", root.filePath("content")});

    const QJsonObject reply = call("qivclient_zfsbackup", QJsonObject{{"dmpath", "  tank/data "}});
    EXPECT_EQ(reply.value("err").toInt(-1), 0);
    ASSERT_TRUE(settled());

    const QStringList stored = objects();
    ASSERT_EQ(stored.size(), 1);
    EXPECT_TRUE(QRegularExpression("^tank/data/qiv_\\d{14}$").match(stored.first()).hasMatch())
        << stored.first().toStdString();
    EXPECT_EQ(readFile(objectFile(stored.first())), content);

    const QJsonObject all = call("qivclient_remote_alload");
    ASSERT_EQ(all.value("err").toInt(-1), 0);
    const QJsonArray backups = all.value("results").toObject().value("tank/data").toArray();
    ASSERT_EQ(backups.size(), 1);
    const QJsonObject entry = backups.first().toObject();
    EXPECT_EQ(entry.value("subpath").toString(), stored.first());
    EXPECT_EQ(entry.value("dmpath").toString(), "tank/data");
    EXPECT_EQ(entry.value("size").toInt(), content.size());
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$")
                    .match(entry.value("time").toString())
                    .hasMatch());

    const QJsonObject one = call("qivclient_remote_loadby", QJsonObject{{"dmpath", "tank/data"}});
    ASSERT_EQ(one.value("err").toInt(-1), 0);
    const QJsonArray snaps = one.value("results").toObject().value("snapshots").toArray();
    ASSERT_EQ(snaps.size(), 1);
    EXPECT_EQ(snaps.first().toObject().value("dmpath").toString(), stored.first());

    EXPECT_EQ(
        call("qivclient_remote_remove", QJsonObject{{"subpath", " " + stored.first() + " "}}).value("err").toInt(-1),
        0);
    EXPECT_TRUE(objects().isEmpty());
    EXPECT_EQ(call("qivclient_remote_alload").value("results").toObject(), QJsonObject());
    // Removing it again: the tool reports it missing, the command records nothing.
    EXPECT_EQ(call("qivclient_remote_remove", QJsonObject{{"subpath", stored.first()}}).value("err").toInt(-1), 9999);
}

// The byte counts of qivctl's "uploading, 1.5 MiB sent" lines, in their order.
QList<double> bytesSent(const QString &out) {
    QList<double> sent;
    const QHash<QString, double> unit{{"B", 1}, {"KiB", 1024}, {"MiB", 1024 * 1024}};
    auto it = QRegularExpression("uploading, ([0-9.]+) (B|KiB|MiB) sent").globalMatch(out);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        sent << m.captured(1).toDouble() * unit.value(m.captured(2));
    }
    return sent;
}

TEST_F(RoundTrip, QivctlBackupWaitFollowsTheUploadIntoAPipeUntilItsOutcome) {
    zfs({"create", "tank/x", "--size", "2097152"});
    ASSERT_TRUE(writeFile(orvState + "/slow-pipe", "100"));  // 64 KiB pieces: about 3 s for the stream
    env.insert("QIVCTL_PROGRESS_INTERVAL", "0.5");
    const QStringList args{"--socket", socket(), "backup", "tank/x", "--wait"};
    QByteArray out;
    ASSERT_EQ(run("qivctl", args, &out), 0) << out.constData();
    const QList<double> sent = bytesSent(QString::fromUtf8(out));
    ASSERT_GE(sent.size(), 2) << out.constData();
    EXPECT_TRUE(std::is_sorted(sent.begin(), sent.end())) << out.constData();
    EXPECT_LT(sent.first(), sent.last()) << out.constData();
    EXPECT_TRUE(
        QString::fromUtf8(out).contains(QRegularExpression("tank/x@qiv_\\d{14}: stored, 2.0 MiB, \\d+:\\d\\d\n$")))
        << out.constData();
    EXPECT_EQ(objects().size(), 1);

    ASSERT_TRUE(writeFile(orvState + "/fail-pipe", "bucket is full"));
    ASSERT_EQ(run("qivctl", args, &out), 1) << out.constData();
    EXPECT_TRUE(out.contains("failed: upload of tank/x@qiv_")) << out.constData();
    EXPECT_TRUE(out.contains("bucket is full")) << out.constData();
}

TEST_F(RoundTrip, FailingSendLeavesNoObjectAndNoSnapshot) {
    zfs({"create", "tank/data", "--size", "1000000"});
    ASSERT_TRUE(writeFile(zfsState + "/fail-send", "cannot send: I/O error"));
    EXPECT_EQ(call("qivclient_zfsbackup", QJsonObject{{"dmpath", "tank/data"}}).value("err").toInt(-1), 0);
    ASSERT_TRUE(settled());
    EXPECT_TRUE(objects().isEmpty());
    EXPECT_EQ(toolCalls("pipe").size(), 1);
    EXPECT_EQ(toolCalls("rm").size(), 1);  // the partial object is removed
    // The failure is not silent: a trace line names the snapshot.
    EXPECT_TRUE(waitUntil([&] { return daemonOutput().contains("uploadOne: upload failed = tank/data@qiv_"); }))
        << daemonOutput().constData();
}

TEST_F(RoundTrip, UploadAndDestroyFailuresReachTheStatusInTheProgramsOwnWords) {
    const struct {
        const char *name;
        QString switchFile;  // the stand-in's failure switch, holding the message it prints
        const char *message;
        int failures;  // counted failures: a snapshot left behind after a stored backup is no failed backup
    } rows[] = {
        {"the tool refuses the stream", orvState + "/fail-pipe", "orvclient: bucket quota exceeded", 1},
        {"zfs cannot destroy the snapshot", zfsState + "/fail-destroy", "cannot destroy snapshot: dataset is busy", 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QString dataset = QStringLiteral("tank/d%1").arg(row.failures);
        zfs({"create", dataset, "--size", "1000"});
        ASSERT_TRUE(writeFile(row.switchFile, row.message));
        ASSERT_EQ(call("qivclient_zfsbackup", QJsonObject{{"dmpath", dataset}}).value("err").toInt(-1), 0);
        QJsonObject record;
        EXPECT_TRUE(waitUntil([&] {
            record = call("qivclient_status")
                         .value("results")
                         .toObject()
                         .value("datasets")
                         .toObject()
                         .value(dataset)
                         .toObject();
            return record.value("lastError").toString().contains(row.message);
        })) << QJsonDocument(record).toJson().constData();
        EXPECT_EQ(record.value("failures").toInt(-1), row.failures);
        QFile::remove(row.switchFile);
    }
}

TEST_F(RoundTrip, AFailedIncrementalGoesUpAtOnceAsAFullBackupAndBecomesTheBase) {
    zfs({"create", "tank/data", "--size", "1000"});
    QJsonObject settings = QJsonDocument::fromJson(readFile(path("/ovra/etc/qivclient/settings.json"))).object();
    QJsonObject orvane = settings.value("orvane").toObject();
    orvane.insert("fullevery", 3);
    settings.insert("orvane", orvane);
    ASSERT_EQ(call("qivclient_settingsave", settings).value("err").toInt(-1), 0);
    const auto backup = [&] {
        const QString second = QDateTime::currentDateTime().toString("yyyyMMddHHmmss");
        EXPECT_TRUE(waitUntil([&] { return QDateTime::currentDateTime().toString("yyyyMMddHHmmss") != second; }));
        EXPECT_EQ(call("qivclient_zfsbackup", QJsonObject{{"dmpath", "tank/data"}}).value("err").toInt(-1), 0);
        EXPECT_TRUE(waitUntil(
            [&] { return call("qivclient_status").value("results").toObject().value("uploads").toArray().isEmpty(); }));
    };
    backup();
    ASSERT_TRUE(writeFile(zfsState + "/fail-send-i", "cannot send: incremental source is gone"));
    backup();
    const QStringList stored = objects();
    ASSERT_EQ(stored.size(), 2) << stored.join(' ').toStdString();
    EXPECT_FALSE(stored.last().contains("_from_"));
    EXPECT_EQ(toolCalls("pipe").size(), 3);  // full, failed incremental, full again
    const QJsonObject record =
        call("qivclient_status").value("results").toObject().value("datasets").toObject().value("tank/data").toObject();
    EXPECT_TRUE(record.value("lastError").toString().contains("incremental source is gone"));
    EXPECT_EQ(record.value("failures").toInt(-1), 0);
    EXPECT_EQ(record.value("chain").toInt(), 1);
    // The new full is the only base left.
    EXPECT_TRUE(waitUntil([&] { return snapshots().size() == 1; }));
    EXPECT_EQ(snapshots().value(0), "tank/data@" + stored.last().section('/', -1));
}

TEST_F(RoundTrip, HostileDatasetNamesAreBackedUpUnderTheirOwnNamesAndRunNothing) {
    const QString marker = root.filePath("pwned");
    const QStringList names{"tank/with blank", "tank/quote'd \"x\"", "tank/semi;touch " + marker,
                            "tank/sub$(touch " + marker + ")", "tank/back`touch " + marker + "`"};
    for (const QString &name : names) {
        zfs({"create", name, "--size", "1000"});
        EXPECT_EQ(call("qivclient_zfsbackup", QJsonObject{{"dmpath", name}}).value("err").toInt(-1), 0)
            << name.toStdString();
    }
    ASSERT_TRUE(settled());
    const QStringList stored = objects();
    ASSERT_EQ(stored.size(), names.size());
    for (const QString &name : names) {
        EXPECT_EQ(stored.filter(QRegularExpression("^" + QRegularExpression::escape(name) + "/qiv_\\d{14}$")).size(), 1)
            << name.toStdString();
    }
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_FALSE(QFile::exists(root.filePath("typescript")));
}

TEST_F(RoundTrip, FailedSnapshotIsAStepInTheReply) {
    const QJsonObject reply = call("qivclient_zfsbackup", QJsonObject{{"dmpath", "tank/missing"}});
    EXPECT_EQ(reply.value("err").toInt(), 9999);
    const QJsonArray steps = reply.value("journals").toArray();
    ASSERT_EQ(steps.size(), 1);
    const QJsonObject step = steps.first().toObject();
    EXPECT_TRUE(step.value("place").toString().startsWith("QivClient::zfsbackup#"));
    EXPECT_TRUE(step.value("action").toString().startsWith("zfs snapshot tank/missing@qiv_"));
    EXPECT_FALSE(step.value("success").toBool(true));
    EXPECT_FALSE(step.value("msg").toString().isEmpty());
    EXPECT_EQ(call("qivclient_zfsbackup").value("errmsg").toString(), QStringLiteral("缺少参数: dmpath"));
    // A name that zfs would read as an option is refused before zfs runs.
    const QJsonObject option = call("qivclient_zfsbackup", QJsonObject{{"dmpath", "-r tank"}});
    EXPECT_EQ(option.value("err").toInt(), 9996);
    EXPECT_EQ(option.value("errmsg").toString(), QStringLiteral("参数无效: dmpath"));
    EXPECT_FALSE(readFile(zfsState + "/calls.log").contains("-r tank"));
}

TEST_F(RoundTrip, RemotePathsThatLeaveTheMachineRootAreRefused) {
    // Which paths leave it is RequestRouter's rule (requestrouter_test); both commands refuse them alike.
    for (const QString &bad : QStringList{"../other/tank/x", "tank/x/.."}) {
        const QJsonObject remove = call("qivclient_remote_remove", QJsonObject{{"subpath", bad}});
        EXPECT_EQ(remove.value("err").toInt(), 9996) << bad.toStdString();
        EXPECT_EQ(remove.value("errmsg").toString(), QStringLiteral("参数无效: subpath"));
        const QJsonObject list = call("qivclient_remote_loadby", QJsonObject{{"dmpath", bad}});
        EXPECT_EQ(list.value("err").toInt(), 9996) << bad.toStdString();
        EXPECT_EQ(list.value("errmsg").toString(), QStringLiteral("参数无效: dmpath"));
    }
    EXPECT_TRUE(readFile(orvState + "/calls.log").isEmpty());  // no tool was run at all
    EXPECT_EQ(call("qivclient_remote_remove").value("errmsg").toString(), QStringLiteral("缺少参数: subpath"));
}

TEST_F(RoundTrip, HelpInterfacesListsTheTemplateAndEveryCommand) {
    const QJsonObject reply = call("help_interfaces");
    EXPECT_EQ(reply.value("err").toInt(-1), 0);
    const QJsonObject listing = reply.value("results").toObject();
    EXPECT_EQ(listing.keys(),
              (QStringList{"help_interfaces", "qivclient_remote_alload", "qivclient_remote_dwload",
                           "qivclient_remote_loadby", "qivclient_remote_prune", "qivclient_remote_remove",
                           "qivclient_remote_restore", "qivclient_settingload", "qivclient_settingsave",
                           "qivclient_status", "qivclient_zfsbackup", "qivclient_zfstorage"}));
    EXPECT_EQ(listing.value("qivclient_zfsbackup").toObject(),
              (QJsonObject{{"cmd", "qivclient_zfsbackup"}, {"comment", QStringLiteral("<<此接口没有提供使用说明>>")}}));
    EXPECT_EQ(listing.value("help_interfaces").toObject().value("comment").toString(),
              QStringLiteral("获取接口的使用说明"));
}

TEST_F(RoundTrip, DownloadCommandIsRegisteredButInert) {
    const QJsonObject reply =
        call("qivclient_remote_dwload", QJsonObject{{"subpath", "tank/data/qiv_1"}, {"target", root.filePath("t")}});
    EXPECT_EQ(reply.value("err").toInt(), 9999);
    EXPECT_FALSE(reply.contains("results"));
    EXPECT_TRUE(readFile(orvState + "/calls.log").isEmpty());
}

}  // namespace
