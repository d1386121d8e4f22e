#include "orvtool.h"
#include "zfstool.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

namespace {

const QString BinDir = QStringLiteral(QIV_BIN_DIR);

std::string str(const QString &s) {
    return s.toStdString();
}
std::string str(const QJsonValue &v) {
    return QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact).toStdString();
}

// The upload line's source: `zfs send` of snapshot, the stand-in zfs found first on PATH.
OrvTool::Stream send(const QString &snapshot) {
    return {ZfsTool().sendWords(snapshot)};
}

QJsonArray jsonArray(const char *text) {
    return QJsonDocument::fromJson(text).array();
}

// Real stand-in programs in a fresh state directory, found first on PATH, run from a temporary working directory
// (so that stray files such as a "typescript" or a shell-injection marker would show up there).
class OrvToolRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const QByteArray path = qgetenv("PATH");
        if (!path.startsWith(BinDir.toUtf8() + ':')) qputenv("PATH", BinDir.toUtf8() + ':' + path);
    }

    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        QDir(m_dir.path()).mkpath(QStringLiteral("zfs"));
        QDir(m_dir.path()).mkpath(QStringLiteral("orv"));
        QDir(m_dir.path()).mkpath(QStringLiteral("work"));
        qputenv("QIV_FAKE_ZFS_DIR", QFile::encodeName(zfsState()));
        qputenv("QIV_FAKE_ORV_DIR", QFile::encodeName(orvState()));
        m_oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(workDir()));
    }

    void TearDown() override { QDir::setCurrent(m_oldCwd); }

    QString zfsState() const { return m_dir.filePath(QStringLiteral("zfs")); }
    QString orvState() const { return m_dir.filePath(QStringLiteral("orv")); }
    QString workDir() const { return m_dir.filePath(QStringLiteral("work")); }
    QString object(const QString &remote) const { return orvState() + QStringLiteral("/objects/") + remote; }

    static OrvToolWaits shortWaits() {
        OrvToolWaits w;
        w.slice = 100;
        return w;
    }
    OrvTool tool(const OrvToolWaits &waits = shortWaits()) const {
        return OrvTool(BinDir + QStringLiteral("/orvclient"), waits);
    }

    // Runs a stand-in directly (test set-up and reference output).
    static QByteArray run(const QString &program, const QStringList &args, int *exitCode = nullptr) {
        QProcess p;
        p.start(BinDir + QLatin1Char('/') + program, args);
        if (!p.waitForFinished(60000)) return QByteArrayLiteral("<did not finish>");
        if (exitCode) *exitCode = p.exitCode();
        return p.readAllStandardOutput();
    }

    void writeState(const QString &file, const QByteArray &content) const {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << str(file);
        f.write(content);
    }

    // The argument vectors a stand-in received, oldest first.
    static QList<QStringList> calls(const QString &state) {
        QList<QStringList> result;
        QFile f(state + QStringLiteral("/calls.log"));
        if (!f.open(QIODevice::ReadOnly)) return result;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.isEmpty()) continue;
            QStringList args;
            for (const QJsonValue &v : QJsonDocument::fromJson(line).array()) args.append(v.toString());
            result.append(args);
        }
        return result;
    }
    QList<QStringList> orvCalls() const { return calls(orvState()); }
    QList<QStringList> zfsCalls() const { return calls(zfsState()); }
    void clearCalls() const {
        QFile::remove(orvState() + QStringLiteral("/calls.log"));
        QFile::remove(zfsState() + QStringLiteral("/calls.log"));
    }

    void setAlias(const QString &url, const QString &ak, const QString &sk) const {
        ASSERT_TRUE(tool().aliasSet(url, ak, sk));
        clearCalls();
    }

    QTemporaryDir m_dir;
    QString m_oldCwd;
};

const QStringList Export = {"alias", "export", "myorvane"};
const QStringList Remove = {"alias", "remove", "myorvane"};

}  // namespace

// --- Alias ----------------------------------------------------------------------------------------------------

TEST_F(OrvToolRun, MatchingAliasRunsOnlyTheExport) {
    setAlias("http://store:9000", "ak", "sk");
    EXPECT_TRUE(tool().ensureAlias("http://store:9000", "ak", "sk"));
    EXPECT_EQ(orvCalls(), QList<QStringList>({Export}));
}

TEST_F(OrvToolRun, DifferentSecretKeyRemovesThenSetsWithSixArguments) {
    setAlias("http://store:9000", "ak", "sk");
    EXPECT_TRUE(tool().ensureAlias("http://store:9000", "ak", "new secret"));
    const QStringList set = {"alias", "set", "myorvane", "http://store:9000", "ak", "new secret"};
    EXPECT_EQ(orvCalls(), QList<QStringList>({Export, Remove, set}));
    QJsonObject exported;
    ASSERT_TRUE(tool().aliasExport(&exported));
    EXPECT_EQ(exported.value("secretKey").toString(), "new secret");
}

TEST_F(OrvToolRun, ExportOutputThatIsNotJsonCountsAsDifferent) {
    QDir(orvState()).mkpath("aliases");
    writeState(orvState() + "/aliases/myorvane.json", "not json");
    EXPECT_TRUE(tool().ensureAlias("http://store:9000", "ak", "sk"));
    EXPECT_EQ(orvCalls().size(), 3);
    EXPECT_EQ(orvCalls().value(1), Remove);
}

TEST_F(OrvToolRun, FailingExportSetsWithoutRemove) {
    // Once with no alias at all, once with an alias whose export breaks.
    const QStringList set = {"alias", "set", "myorvane", "u", "ak", "sk"};
    EXPECT_TRUE(tool().ensureAlias("u", "ak", "sk"));
    EXPECT_EQ(orvCalls(), QList<QStringList>({Export, set}));

    clearCalls();
    writeState(orvState() + "/fail-export", "export broken\n");
    EXPECT_TRUE(tool().ensureAlias("u", "ak", "sk"));
    EXPECT_EQ(orvCalls(), QList<QStringList>({Export, set}));
}

TEST_F(OrvToolRun, FailingSetReturnsFalseWithItsStandardError) {
    writeState(orvState() + "/fail-set", "access denied\n");
    QByteArray err;
    EXPECT_FALSE(tool().ensureAlias("u", "ak", "sk", &err));
    EXPECT_EQ(err, "access denied\n");
    EXPECT_FALSE(tool().aliasSet("u", "ak", "sk", &err));
    EXPECT_EQ(err, "access denied\n");
}

// --- ls, rm, get --------------------------------------------------------------------------------------------

TEST_F(OrvToolRun, ListingRunsLsAndItsOutputParsesIntoEntries) {
    setAlias("http://store", "ak", "sk");
    QDir(orvState()).mkpath("objects/myorvane/bucket1/S/tank/data");
    writeState(object("myorvane/bucket1/S/tank/data/qiv_20240501080910"), "12345");
    writeState(object("myorvane/bucket1/S/tank/data/notes"), "x");
    writeState(orvState() + "/crlf", "");

    QByteArray out;
    ASSERT_TRUE(tool().ls("myorvane/bucket1/S/", &out));
    EXPECT_EQ(orvCalls(), QList<QStringList>({{"ls", "--recursive", "--json", "myorvane/bucket1/S/"}}));
    QJsonObject all;
    OrvTool::addAlloadEntries(OrvTool::parseListing(out), &all);
    ASSERT_EQ(all.keys(), QStringList({"tank/data"}));
    const QJsonObject e = all.value("tank/data").toArray().at(0).toObject();
    EXPECT_EQ(e.value("subpath").toString(), "tank/data/qiv_20240501080910");
    EXPECT_EQ(e.value("size").toInt(), 5);
    EXPECT_EQ(e.value("url").toString(), "http://store/bucket1/S/tank/data/qiv_20240501080910");
    EXPECT_EQ(e.value("time").toString().size(), 19) << str(e.value("time"));

    ASSERT_TRUE(tool().ls("myorvane/bucket1/S/tank/data", &out));
    const QJsonArray one = OrvTool::loadbyEntries(OrvTool::parseListing(out), "tank/data");
    ASSERT_EQ(one.size(), 1);
    EXPECT_EQ(one.at(0).toObject().value("dmpath").toString(), "tank/data/qiv_20240501080910");
}

TEST_F(OrvToolRun, FailingLsReturnsFalseWithItsStandardError) {
    setAlias("u", "ak", "sk");
    writeState(orvState() + "/fail-ls", "bucket gone\n");
    QByteArray out, err;
    EXPECT_FALSE(tool().ls("myorvane/bucket1/S/", &out, &err));
    EXPECT_EQ(err, "bucket gone\n");
}

TEST_F(OrvToolRun, RmRemovesTheObjectAndReportsAMissingOne) {
    setAlias("u", "ak", "sk");
    QDir(orvState()).mkpath("objects/myorvane/bucket1/S/tank/data");
    writeState(object("myorvane/bucket1/S/tank/data/qiv_1"), "x");
    QByteArray err;
    EXPECT_TRUE(tool().rm("myorvane/bucket1/S/tank/data/qiv_1", &err));
    EXPECT_FALSE(QFileInfo::exists(object("myorvane/bucket1/S/tank/data/qiv_1")));
    EXPECT_FALSE(tool().rm("myorvane/bucket1/S/tank/data/qiv_1", &err));
    EXPECT_TRUE(err.contains("does not exist")) << err.toStdString();
    EXPECT_EQ(orvCalls().value(0), QStringList({"rm", "myorvane/bucket1/S/tank/data/qiv_1"}));
}

TEST_F(OrvToolRun, GetWritesTheTargetAndIsWaitedForAcrossSlices) {
    setAlias("u", "ak", "sk");
    QDir(orvState()).mkpath("objects/myorvane/bucket1/S/tank/data");
    writeState(object("myorvane/bucket1/S/tank/data/qiv_1"), "payload");
    writeState(orvState() + "/delay-get", "500");  // five 100 ms slices
    const QString target = workDir() + "/restored";
    EXPECT_TRUE(tool().get("myorvane/bucket1/S/tank/data/qiv_1", target));
    EXPECT_EQ(orvCalls(), QList<QStringList>({{"get", "myorvane/bucket1/S/tank/data/qiv_1", target}}));
    QFile f(target);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "payload");
}

TEST_F(OrvToolRun, RunThatMissesItsFinishWaitFails) {
    setAlias("u", "ak", "sk");
    writeState(orvState() + "/delay-ls", "60000");
    OrvToolWaits waits = shortWaits();
    waits.lsFinish = 200;
    QByteArray out;
    EXPECT_FALSE(tool(waits).ls("myorvane/bucket1/S/", &out));
}

// --- Upload -------------------------------------------------------------------------------------------------

TEST_F(OrvToolRun, UploadStoresExactlyWhatZfsSendProducedAndWritesNoTypescript) {
    setAlias("u", "ak", "sk");
    int code = -1;
    run("zfs", {"create", "tank/data", "--size", "3000001"}, &code);  // several pipe buffers, odd length
    ASSERT_EQ(code, 0);
    run("zfs", {"snapshot", "tank/data@qiv_20240101120000"}, &code);
    ASSERT_EQ(code, 0);
    const QByteArray stream = run("zfs", {"send", "tank/data@qiv_20240101120000"});
    ASSERT_EQ(stream.size(), 3000001);

    const QString remote = "myorvane/bucket1/S/tank/data/qiv_20240101120000";
    QString failure;
    ASSERT_TRUE(tool().upload(send("tank/data@qiv_20240101120000"), remote, &failure)) << str(failure);
    QFile stored(object(remote));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_TRUE(stored.readAll() == stream);
    EXPECT_EQ(QDir(workDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}

TEST_F(OrvToolRun, FailingZfsSendFailsTheUploadAndLeavesNoObject) {
    setAlias("u", "ak", "sk");
    run("zfs", {"create", "tank/data", "--size", "1000000"});
    run("zfs", {"snapshot", "tank/data@qiv_1"});
    writeState(zfsState() + "/fail-send", "broken pipe source\n");
    const QString remote = "myorvane/bucket1/S/tank/data/qiv_1";
    QString failure;
    EXPECT_FALSE(tool().upload(send("tank/data@qiv_1"), remote, &failure));
    EXPECT_FALSE(failure.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(object(remote)));
    EXPECT_EQ(orvCalls(), QList<QStringList>({{"pipe", remote}, {"rm", remote}}));
}

TEST_F(OrvToolRun, UploadFailsWhenTheToolOrTheSnapshotFails) {
    setAlias("u", "ak", "sk");
    run("zfs", {"create", "tank/data", "--size", "1000000"});
    run("zfs", {"snapshot", "tank/data@qiv_1"});
    writeState(orvState() + "/fail-pipe", "quota exceeded\n");
    EXPECT_FALSE(tool().upload(send("tank/data@qiv_1"), "myorvane/bucket1/S/tank/data/qiv_1"));
    QFile::remove(orvState() + "/fail-pipe");

    EXPECT_FALSE(tool().upload(send("tank/data@no_such_snapshot"), "myorvane/bucket1/S/tank/data/no_such_snapshot"));
    EXPECT_FALSE(QFileInfo::exists(object("myorvane/bucket1/S/tank/data/no_such_snapshot")));
}

TEST_F(OrvToolRun, HostileNamesReachZfsAndTheToolUnchangedAndRunNothing) {
    setAlias("u", "ak", "sk");
    const QString dataset = "tank/a b 'q' \"d\" ; touch semi $(touch dollar) `touch backquote` \\ * 中文";
    const QString snapshot = dataset + "@qiv_20240101120000";
    const QString remote = "myorvane/bucket1/S/" + QString(snapshot).replace('@', '/');
    int code = -1;
    run("zfs", {"create", dataset, "--size", "4096"}, &code);
    ASSERT_EQ(code, 0);
    run("zfs", {"snapshot", snapshot}, &code);
    ASSERT_EQ(code, 0);
    clearCalls();

    QString failure;
    ASSERT_TRUE(tool().upload(send(snapshot), remote, &failure)) << str(failure);
    EXPECT_EQ(zfsCalls(), QList<QStringList>({{"send", snapshot}}));
    EXPECT_EQ(orvCalls(), QList<QStringList>({{"pipe", remote}}));
    EXPECT_EQ(QFileInfo(object(remote)).size(), 4096);
    for (const char *marker : {"semi", "dollar", "backquote"})
        EXPECT_FALSE(QFileInfo::exists(workDir() + '/' + marker)) << marker;
}

// --- Listing parse ------------------------------------------------------------------------------------------

TEST(OrvToolListing, ParseKeepsOnlySuccessfulFileObjects) {
    struct Row {
        const char *name;
        QByteArray output;
        QStringList keys;  // keys of the kept lines, in order
    };
    static const char nulCutText[] =
        "{\"type\":\"file\",\"status\":\"success\",\"key\":\"a\"}\0{\"type\":\"file\",\"status\":\"success\",\"key\":"
        "\"b\"}";
    const QByteArray nulCut(nulCutText, sizeof nulCutText - 1);
    const Row rows[] = {
        {"crlf, second line not a file",
         "{\"type\":\"file\",\"status\":\"success\",\"key\":\"a\"}\r\n{\"type\":\"folder\",\"status\":\"success\","
         "\"key\":\"b\"}\r\n",
         {"a"}},
        {"objects back to back",
         "{\"type\":\"file\",\"status\":\"success\",\"key\":\"a\"}{\"type\":\"file\",\"status\":\"success\",\"key\":"
         "\"b\"}",
         {"a", "b"}},
        {"break inside an object",
         "{\"type\":\"file\",\r\n\"status\":\"success\",\"key\":\"a\"}\n\n{\"type\":\"file\",\"status\":\"success\","
         "\"key\":\"b\"}\n",
         {"a", "b"}},
        {"status other than success",
         "{\"type\":\"file\",\"status\":\"error\",\"key\":\"a\"}\n{\"type\":\"file\",\"status\":\"success\",\"key\":"
         "\"b\"}\n",
         {"b"}},
        {"case matters", "{\"type\":\"File\",\"status\":\"success\",\"key\":\"a\"}\n", {}},
        {"type missing", "{\"status\":\"success\",\"key\":\"a\"}\n", {}},
        {"not json", "mc: <ERROR> something\n", {}},
        {"one broken line spoils the whole output",
         "{\"type\":\"file\",\"status\":\"success\",\"key\":\"a\"}\n{\"type\":\n",
         {}},
        {"empty", "", {}},
        {"text after NUL ignored", nulCut, {"a"}},
        {"invalid utf-8 inside a string",
         "{\"type\":\"file\",\"status\":\"success\",\"key\":\"a\xff\"}\n{\"type\":\"file\",\"status\":\"success\","
         "\"key\":\"b\"}\n",
         {QStringLiteral("a\uFFFD"), "b"}},
        {"encoded surrogate inside a string",
         "{\"type\":\"file\",\"status\":\"success\",\"key\":\"a\xed\xa0\x80\"}\n",
         {QStringLiteral("a\uFFFD\uFFFD\uFFFD")}},
        {"leading byte-order mark", "\xef\xbb\xbf{\"type\":\"file\",\"status\":\"success\",\"key\":\"a\"}\n", {"a"}},
        {"well-formed multi-byte text kept",
         "{\"type\":\"file\",\"status\":\"success\",\"key\":\"\xe4\xb8\xad\xf0\x9f\x98\x80\"}\n",
         {QStringLiteral("\u4e2d\U0001F600")}},
        // The text is taken apart as text, not as JSON: strings lose their line breaks and gain a "," inside "}{".
        {"line break inside a string removed",
         "{\"type\":\"file\",\"status\":\"success\",\"key\":\"a\r\nb\"}\n",
         {"ab"}},
        {"braces inside a string split too",
         "{\"type\":\"file\",\"status\":\"success\",\"key\":\"a}\n{b\"}\n",
         {"a},{b"}},
    };
    for (const Row &row : rows) {
        QStringList keys;
        for (const QJsonValue &v : OrvTool::parseListing(row.output)) keys.append(v.toObject().value("key").toString());
        EXPECT_EQ(keys, row.keys) << row.name;
    }
}

TEST(OrvToolListing, TimeKeepsTheFirstNineteenCharactersAsWritten) {
    const struct {
        QJsonValue in;
        const char *out;
    } rows[] = {
        {"2024-05-01T08:09:10.5+08:00", "2024-05-01 08:09:10"},
        {"2024-05-01T08:09:10.123Z", "2024-05-01 08:09:10"},
        {"2024-05-01T08:09:10", "2024-05-01 08:09:10"},
        {"2024-03-31T02:30:00+02:00", "2024-03-31 02:30:00"},  // in the daylight-saving gap of the zone below
        {"0999-12-31T23:59:59", "0999-12-31 23:59:59"},
        {"2024-05-01 08:09:10", ""},
        {"2024-05-01T08:09", ""},
        {"2024-02-30T08:09:10", ""},
        {"2024-05-01T24:00:00", ""},
        {"2024-5-01T08:09:10Z", ""},
        {"+024-05-01T08:09:10", ""},
        {"2024-05-01T08:+9:10", ""},
        {"2024-05-01T08:09:1", ""},
        {"", ""},
        {QJsonValue(1714550950), ""},
        {QJsonValue(), ""},
    };
    // A zone whose clocks skip from 02:00 to 03:00 on 2024-03-31, given as a rule so that no zone database is needed.
    const QByteArray oldTz = qgetenv("TZ");
    const bool hadTz = qEnvironmentVariableIsSet("TZ");
    qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    for (const auto &row : rows) EXPECT_EQ(str(OrvTool::listingTime(row.in)), row.out) << str(row.in);
    if (hadTz)
        qputenv("TZ", oldTz);
    else
        qunsetenv("TZ");
}

TEST(OrvToolListing, FullListingAcceptsPoolDatasetSnapshotKeysOnly) {
    const struct {
        const char *key;
        const char *dmpath;  // nullptr: skipped
        const char *file;
    } rows[] = {
        {"tank/data/qiv_20240501080910", "tank/data", "qiv_20240501080910"},
        {"tank//qiv_1", "tank/", "qiv_1"},
        {"tank/a/b/qiv_1", nullptr, nullptr},
        {"tank/data/other", nullptr, nullptr},
        {"tank/data/QIV_1", nullptr, nullptr},
        {"qiv_1", nullptr, nullptr},
        {"", nullptr, nullptr},
    };
    for (const auto &row : rows) {
        QJsonObject line{
            {"key", row.key}, {"lastModified", "2024-05-01T08:09:10.5+08:00"}, {"size", 42}, {"url", "http://x"}};
        QString dmpath;
        QJsonObject entry;
        const bool accepted = OrvTool::alloadEntry(line, &dmpath, &entry);
        ASSERT_EQ(accepted, row.dmpath != nullptr) << row.key;
        if (!accepted) continue;
        const QJsonObject expected{{"subpath", row.key}, {"dmpath", row.dmpath},
                                   {"file", row.file},   {"time", "2024-05-01 08:09:10"},
                                   {"size", 42},         {"url", "http://x"}};
        EXPECT_EQ(entry, expected) << row.key;
        EXPECT_EQ(dmpath, row.dmpath);
    }
}

TEST(OrvToolListing, DatasetListingAcceptsSnapshotKeysOnly) {
    const struct {
        const char *key;
        bool accepted;
    } rows[] = {{"qiv_20240501080910", true}, {"x/qiv_1", false}, {"Qiv_1", false}, {"", false}};
    for (const auto &row : rows) {
        QJsonObject entry;
        ASSERT_EQ(OrvTool::loadbyEntry(QJsonObject{{"key", row.key}}, "tank/data", &entry), row.accepted) << row.key;
        if (!row.accepted) continue;
        const QJsonObject expected{
            {"subpath", row.key}, {"dmpath", QString("tank/data/") + row.key}, {"file", row.key}, {"time", ""}};
        EXPECT_EQ(entry, expected);
    }
}

TEST(OrvToolListing, EntryCopiesSizeAndUrlOnlyWhenPresentAndUnchanged) {
    QJsonObject entry;
    ASSERT_TRUE(OrvTool::loadbyEntry(QJsonObject{{"key", "qiv_1"}, {"url", "u"}}, "t/d", &entry));
    EXPECT_FALSE(entry.contains("size"));
    EXPECT_EQ(entry.value("url"), QJsonValue("u"));
    ASSERT_TRUE(
        OrvTool::loadbyEntry(QJsonObject{{"key", "qiv_1"}, {"size", 1.5e12}, {"url", QJsonValue()}}, "t/d", &entry));
    EXPECT_EQ(entry.value("size"), QJsonValue(1.5e12));
    EXPECT_TRUE(entry.contains("url"));
    EXPECT_FALSE(entry.contains("lastModified"));
}

TEST(OrvToolListing, FullListingGroupsByDatasetInOutputOrderAfterExistingEntries) {
    const QJsonArray lines = jsonArray(R"([{"key":"tank/b/qiv_2"},{"key":"tank/a/qiv_9"},{"key":"tank/b/qiv_1"},
                                           {"key":"tank/a/b/qiv_3"}])");
    QJsonObject result{{"tank/a", QJsonArray{QJsonObject{{"file", "earlier"}}}}, {"tank/c", 1}};
    OrvTool::addAlloadEntries(lines, &result);
    auto files = [&result](const char *dmpath) {
        QStringList out;
        for (const QJsonValue &v : result.value(dmpath).toArray()) out.append(v.toObject().value("file").toString());
        return out;
    };
    EXPECT_EQ(files("tank/b"), QStringList({"qiv_2", "qiv_1"}));
    EXPECT_EQ(files("tank/a"), QStringList({"earlier", "qiv_9"}));
    EXPECT_EQ(result.value("tank/c"), QJsonValue(1));
    EXPECT_EQ(result.size(), 3);
}
