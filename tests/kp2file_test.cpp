#include "kp2file.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>

namespace {

class KP2FileTest : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    QString path(const QString &name) const { return tmp.filePath(name); }
    void write(const QString &name, const QByteArray &data) const {
        ASSERT_TRUE(KP2File::saveBinary(data, path(name)));
    }
    QStringList entries() const {
        return QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
};

// Lowers the file size limit for the current scope, so that writes fail part-way (EFBIG instead of SIGXFSZ).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit lower = old;
        lower.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }

private:
    rlimit old{};
    void (*oldHandler)(int);
};

QJsonObject bigObject() {
    QJsonObject o;
    o["blob"] = QString(8000, QLatin1Char('x'));
    return o;
}

TEST_F(KP2FileTest, ReadsOfAMissingFileGiveEmptyResults) {
    EXPECT_TRUE(KP2File::readAll(path("missing")).isEmpty());
    EXPECT_TRUE(KP2File::readJsonObject(path("missing")).isEmpty());
    QByteArray out("keep");
    EXPECT_FALSE(KP2File::loadBinary(out, path("missing")));
    EXPECT_FALSE(KP2File::loadBinary(out, tmp.path()));  // a directory is not a file
    EXPECT_EQ(out, "keep");
}

TEST_F(KP2FileTest, LoadJsonAcceptsOnlyValidDocuments) {
    const QJsonObject before{{"old", 1}};
    const struct {
        const char *content;
        bool ok;
        QJsonObject expected;
    } rows[] = {
        {"{\"a\": 2}", true, QJsonObject{{"a", 2}}},
        {"[1, 2]", true, QJsonObject{}},
        {"{", false, before},
        {"", false, before},
    };
    for (const auto &row : rows) {
        write("f.json", row.content);
        QJsonObject out = before;
        EXPECT_EQ(KP2File::loadJson(out, path("f.json")), row.ok) << row.content;
        EXPECT_EQ(out, row.expected) << row.content;
        EXPECT_EQ(KP2File::readJsonObject(path("f.json")), row.ok ? row.expected : QJsonObject()) << row.content;
    }
}

TEST_F(KP2FileTest, WritesCreateMissingDirectoriesAndTruncate) {
    EXPECT_TRUE(KP2File::saveBinary("long content", path("a/b/bin")));
    EXPECT_TRUE(KP2File::saveBinary("short", path("a/b/bin")));
    EXPECT_EQ(KP2File::readAll(path("a/b/bin")), "short");

    EXPECT_TRUE(KP2File::saveJson(path("c/d.json"), QJsonObject{{"k", "值"}}, true));
    EXPECT_EQ(KP2File::readAll(path("c/d.json")), "{\"k\":\"值\"}");
    EXPECT_TRUE(KP2File::saveJson(path("c/e.json"), QJsonArray{1}, false));
    EXPECT_EQ(KP2File::readAll(path("c/e.json")), "[\n    1\n]\n");

    EXPECT_TRUE(KP2File::saveText(QStringLiteral("中文"), path("t/x.txt"), QStringLiteral("UTF8")));
    EXPECT_EQ(KP2File::readAll(path("t/x.txt")), QStringLiteral("中文").toUtf8());
}

TEST_F(KP2FileTest, SaveJsonOfAScalarWritesNothing) {
    write("f.json", "{\"a\":1}");
    EXPECT_FALSE(KP2File::saveJson(path("f.json"), QJsonValue("text"), false));
    EXPECT_FALSE(KP2File::saveJsonAtomic(path("f.json"), QJsonValue(5), false));
    EXPECT_EQ(KP2File::readAll(path("f.json")), "{\"a\":1}");
}

TEST_F(KP2FileTest, FailedWritesAreReported) {
    write("plain", "x");  // a regular file where a directory would be needed
    EXPECT_FALSE(KP2File::saveBinary("y", path("plain/f")));
    EXPECT_FALSE(KP2File::saveJson(path("plain/f.json"), QJsonObject{}, false));
    EXPECT_FALSE(KP2File::saveText("y", path("plain/f"), QString()));

    FileSizeLimit limit(1000);  // the file opens, but the write stops short
    EXPECT_FALSE(KP2File::saveJson(path("big.json"), bigObject(), true));
    EXPECT_FALSE(KP2File::saveText(QString(8000, QLatin1Char('x')), path("big.txt"), QStringLiteral("UTF8")));
}

TEST_F(KP2FileTest, AtomicSaveReplacesContentAndKeepsOwnerAndMode) {
    write("s.json", "{\"old\":true}");
    const QByteArray target = QFile::encodeName(path("s.json"));
    ASSERT_EQ(chmod(target.constData(), 0640), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(target.constData(), 1234, 2345), 0);
    }

    EXPECT_TRUE(KP2File::saveJsonAtomic(path("s.json"), QJsonObject{{"new", 1}}, true));
    EXPECT_EQ(KP2File::readAll(path("s.json")), "{\"new\":1}");
    struct stat st {};
    ASSERT_EQ(stat(target.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 2345u);
    }
    EXPECT_EQ(entries(), QStringList{"s.json"});  // no temporary left behind

    EXPECT_TRUE(KP2File::saveJsonAtomic(path("new/dir/n.json"), QJsonArray{}, true));
    EXPECT_EQ(KP2File::readAll(path("new/dir/n.json")), "[]");
}

// The set-group-id bit is one the toolkit's permission flags cannot carry, and a change of owner clears it.
TEST_F(KP2FileTest, AtomicSaveKeepsSetIdBitsAcrossAChangeOfOwner) {
    write("s.json", "{}");
    const QByteArray target = QFile::encodeName(path("s.json"));
    if (geteuid() == 0) {
        ASSERT_EQ(chown(target.constData(), 1234, 2345), 0);
    }
    ASSERT_EQ(chmod(target.constData(), 02750), 0);

    EXPECT_TRUE(KP2File::saveJsonAtomic(path("s.json"), QJsonObject{{"new", 1}}, true));
    struct stat st {};
    ASSERT_EQ(stat(target.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 02750u);
}

TEST_F(KP2FileTest, AtomicSaveWritesThroughASymlink) {
    write("real.json", "{}");
    ASSERT_TRUE(QFile::link(path("real.json"), path("link.json")));
    EXPECT_TRUE(KP2File::saveJsonAtomic(path("link.json"), QJsonObject{{"a", 1}}, true));
    EXPECT_TRUE(QFileInfo(path("link.json")).isSymLink());
    EXPECT_EQ(KP2File::readAll(path("real.json")), "{\"a\":1}");
}

TEST_F(KP2FileTest, AtomicSaveFailingPartWayLeavesThePreviousFile) {
    write("s.json", "{\"old\":true}");
    {
        FileSizeLimit limit(1000);
        EXPECT_FALSE(KP2File::saveJsonAtomic(path("s.json"), bigObject(), true));
    }
    EXPECT_EQ(KP2File::readAll(path("s.json")), "{\"old\":true}");
    EXPECT_EQ(entries(), QStringList{"s.json"});

    // A directory where no file can be created: nothing is written, nothing is claimed.
    EXPECT_FALSE(KP2File::saveJsonAtomic(QStringLiteral("/proc/kp2file_test.json"), QJsonObject{}, true));
    EXPECT_FALSE(QFile::exists(QStringLiteral("/proc/kp2file_test.json")));
    EXPECT_FALSE(KP2File::saveJsonAtomic(path("s.json/under"), QJsonObject{}, true));
    EXPECT_EQ(KP2File::readAll(path("s.json")), "{\"old\":true}");
}

TEST_F(KP2FileTest, AutoRenameTakesTheFirstFreeNumber) {
    const struct {
        const char *name;
        QStringList present, dangling;  // files, and links to nothing
        QString path, expected;
    } rows[] = {
        {"a free name is kept", {}, {}, "b.txt", "b.txt"},
        {"a.txt and a(2).txt present", {"a.txt", "a(2).txt"}, {}, "a.txt", "a(3).txt"},
        {"no suffix: only (n) is appended", {"notes"}, {}, "notes", "notes(2)"},
        {"a dangling link is no free name", {}, {"b.txt", "b(2).txt"}, "b.txt", "b(3).txt"},
    };
    for (const auto &row : rows) {
        QTemporaryDir dir;
        for (const QString &name : row.present) ASSERT_TRUE(KP2File::saveBinary("x", dir.filePath(name)));
        for (const QString &name : row.dangling) ASSERT_TRUE(QFile::link(dir.filePath("nowhere"), dir.filePath(name)));
        EXPECT_EQ(KP2File::autoRename(dir.filePath(row.path)), dir.filePath(row.expected)) << row.name;
    }
    const QString plain = KP2File::tempFileName("kp2", "");
    EXPECT_TRUE(QRegularExpression("^" + QDir::tempPath() + "/kp2[0-9]+$").match(plain).hasMatch());
}

// As root, the user nobody (65534) works on the tree, since root may write any file; no early return in between.
TEST_F(KP2FileTest, RemoveDirsLeavesAReadOnlyFileAndTheDirectoriesAboveIt) {
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(QFile::encodeName(tmp.path()).constData(), 65534, 65534), 0);
        ASSERT_EQ(setresuid(65534, 65534, 0), 0);
    }
    write("t/.hidden", "x");
    write("t/a/locked.txt", "x");
    EXPECT_TRUE(QFile::link(tmp.path(), path("t/up")));  // a link out of the tree is removed, not followed
    EXPECT_EQ(chmod(QFile::encodeName(path("t/a/locked.txt")).constData(), 0444), 0);
    EXPECT_FALSE(KP2File::removeDirs(path("t"), true));
    EXPECT_EQ(QDir(path("t")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"a"});
    EXPECT_TRUE(QFileInfo::exists(path("t/a/locked.txt")));
    EXPECT_EQ(chmod(QFile::encodeName(path("t/a/locked.txt")).constData(), 0644), 0);
    EXPECT_TRUE(KP2File::removeDirs(path("t"), true));
    EXPECT_FALSE(QFileInfo::exists(path("t")));
    EXPECT_EQ(setresuid(0, 0, 0), root ? 0 : -1);
}

// A blank path is refused, since QDir("") is the working directory.
TEST_F(KP2FileTest, RemoveDirsTakesDanglingLinksAndFifosAndRefusesABlankPath) {
    write("t/keep", "x");
    ASSERT_TRUE(QFile::link(path("nowhere"), path("t/dangling")));
    ASSERT_EQ(mkfifo(QFile::encodeName(path("t/fifo")).constData(), 0600), 0);
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(path("t")));
    EXPECT_FALSE(KP2File::removeDirs("", true) || KP2File::removeDirs("  ", true));
    QDir::setCurrent(old);
    EXPECT_TRUE(QFileInfo::exists(path("t/keep")));
    EXPECT_TRUE(KP2File::removeDirs(path("t"), true));
    EXPECT_EQ(entries(), QStringList());
}

TEST_F(KP2FileTest, DigestsAgreeWhetherReadAtOnceOrInPieces) {
    QByteArray big;
    for (int i = 0; i < 10000; ++i) big.append(char(i * 7));  // pieces of 4096, 4096 and 1808 bytes
    write("big", big);
    EXPECT_EQ(KP2File::fileMd5(path("big")), KP2File::toMd5(path("big")));
    write("abc", "abc");
    QString md5;
    EXPECT_EQ(KP2File::toBase64(path("abc"), &md5), "YWJj");
    EXPECT_EQ(md5, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(KP2File::fileMd5(path("abc")), md5);
    EXPECT_EQ(KP2File::toMd5(path("missing")) + KP2File::fileMd5(path("missing")), QString());
}

TEST_F(KP2FileTest, LoadTextDecodesWithTheNamedCodecOrTheDefault) {
    QByteArray utf8 = QStringLiteral("中文").toUtf8();
    write("t.txt", utf8);
    QString out;
    EXPECT_TRUE(KP2File::loadText(out, path("t.txt"), "UTF-8"));
    EXPECT_EQ(out, QStringLiteral("中文"));
    EXPECT_TRUE(KP2File::loadText(out, path("t.txt"), "no-such-codec"));
    EXPECT_EQ(out, QTextStream(&utf8).readAll());
    EXPECT_FALSE(KP2File::loadText(out, path("missing"), "UTF-8"));
}

}  // namespace
