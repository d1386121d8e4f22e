#include "kp2linux/lnx2utils.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QJsonObject json(const char *text) {
    return QJsonDocument::fromJson(text).object();
}

TEST(Lnx2UtilsIni, IniToJsonGroupsKeysBySection) {
    const struct {
        const char *name;
        QStringList lines;
        const char *expected;
    } rows[] = {
        {"sections with comment and blank lines",
         {"[net]", "", "ip = 10.0.0.1", "# note", "[disk]", "size=4"},
         R"({"net": {"ip": "10.0.0.1"}, "disk": {"size": "4"}})"},
        {"key before the first section is ignored", {"a=1", "[s]", "b=2"}, R"({"s": {"b": "2"}})"},
        {"line without = is ignored", {"[s]", "novalue", "k=v"}, R"({"s": {"k": "v"}})"},
        {"value keeps later =", {"[s]", " k = a=b "}, R"({"s": {"k": "a=b"}})"},
        {"later key replaces", {"[s]", "k=1", "k=2"}, R"({"s": {"k": "2"}})"},
        {"repeated section keeps its last occurrence",
         {"[s]", "a=1", "[t]", "[s]", "b=2"},
         R"({"s": {"b": "2"}, "t": {}})"},
        {"section name trimmed", {"[ s ]x", "k=v"}, R"({"s": {"k": "v"}})"},
        {"indented header keeps its bracket", {"  [s]", "k=v"}, R"({"[s": {"k": "v"}})"},
        {"indented # is not a comment", {"[s]", "  # k=v"}, R"({"s": {"# k": "v"}})"},
        {"[ without ] is a plain line", {"[s]", "[t=1"}, R"({"s": {"[t": "1"}})"},
        {"no sections", {"k=v", "# c"}, "{}"},
    };
    for (const auto &row : rows) EXPECT_EQ(iniToJson(row.lines), json(row.expected)) << row.name;
}

// The files below are written through the real /usr/bin/sudo; the tests run as root, which sudo lets through.
class Lnx2UtilsWriteFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        const passwd *pw = getpwnam("www-data");
        const group *gr = getgrnam("www-data");
        ASSERT_TRUE(pw && gr) << "the user and group www-data must exist";
        wwwUid = pw->pw_uid;
        wwwGid = gr->gr_gid;
    }
    static struct stat statOf(const QString &path) {
        struct stat st {};
        EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
        return st;
    }
    static QByteArray contentOf(const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }
    QTemporaryDir dir;
    uid_t wwwUid = 0;
    gid_t wwwGid = 0;
};

TEST_F(Lnx2UtilsWriteFile, NewFileInANewDirectoryGetsMode666AndWwwData) {
    const QString path = dir.filePath("new/sub/file.txt");
    ASSERT_TRUE(writeFile(path, QByteArray("data\n")));
    EXPECT_EQ(contentOf(path), "data\n");
    const struct stat st = statOf(path);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(st.st_uid, wwwUid);
    EXPECT_EQ(st.st_gid, wwwGid);
}

TEST_F(Lnx2UtilsWriteFile, ExistingFileIsTruncatedAndKeepsItsOwner) {
    const struct {
        const char *name;
        uid_t uid;
        gid_t gid;
    } rows[] = {
        {"named owner", 65534, 65534},
        {"owner without a name", 4242, 4343},
    };
    for (const auto &row : rows) {
        const QString path = dir.filePath(QString::fromUtf8(row.name));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("old and longer content") > 0);
        file.close();
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), row.uid, row.gid), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0600), 0);

        EXPECT_TRUE(writeFile(path, QByteArray("new"))) << row.name;
        EXPECT_EQ(contentOf(path), "new") << row.name;
        const struct stat st = statOf(path);
        EXPECT_EQ(st.st_mode & 07777, 0666u) << row.name;
        EXPECT_EQ(st.st_uid, row.uid) << row.name;
        EXPECT_EQ(st.st_gid, row.gid) << row.name;
    }
}

TEST_F(Lnx2UtilsWriteFile, PathWithBlanksAndShellCharactersIsOneArgument) {
    const QString path = dir.filePath("dir with blank/a b;touch x$(touch y)`touch z`'\"*.txt");
    ASSERT_TRUE(writeFile(path, QByteArray("ok")));
    EXPECT_EQ(contentOf(path), "ok");
    EXPECT_EQ(statOf(path).st_uid, wwwUid);
    // Nothing else appeared: no word of the path was run or taken as a file of its own.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"dir with blank"});
    EXPECT_EQ(QDir(dir.filePath("dir with blank")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 1);
    EXPECT_FALSE(QFile::exists("x") || QFile::exists("y") || QFile::exists("z"));
}

TEST_F(Lnx2UtilsWriteFile, TextFormsWriteUtf8) {
    const QString text = QStringLiteral("中文 text");
    const struct {
        const char *name;
        bool (*write)(const QString &path, const QString &text);
        QByteArray expected;
    } rows[] = {
        {"text", [](const QString &p, const QString &t) { return writeFile(p, t); }, text.toUtf8()},
        {"lines joined without a final break",
         [](const QString &p, const QString &t) {
             return writeFile(p, QStringList{t, t});
         },
         text.toUtf8() + "\n" + text.toUtf8()},
        {"indented JSON",
         [](const QString &p, const QString &t) {
             return writeFile(p, QJsonObject{{"k", t}});
         },
         QJsonDocument(QJsonObject{{"k", text}}).toJson(QJsonDocument::Indented)},
    };
    for (const auto &row : rows) {
        const QString path = dir.filePath(QString::fromUtf8(row.name));
        EXPECT_TRUE(row.write(path, text)) << row.name;
        EXPECT_EQ(contentOf(path), row.expected) << row.name;
    }
}

TEST_F(Lnx2UtilsWriteFile, PathThatCannotBeOpenedGivesFalse) {
    const QString path = dir.filePath("a directory");
    ASSERT_TRUE(QDir().mkpath(path));
    EXPECT_FALSE(writeFile(path, QByteArray("x")));
}

}  // namespace
