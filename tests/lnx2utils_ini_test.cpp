#include "kp2linux/lnx2utils.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(Lnx2UtilsIni, IniToJsonGroupsKeysBySection) {
    const struct {
        const char *name;
        QStringList lines;
        const char *expected;
    } rows[] = {
        {"sections, comment and blank line",
         {"[net]", "", "ip = 10.0.0.1", "# note", "[disk]", "size=4"},
         R"({"net": {"ip": "10.0.0.1"}, "disk": {"size": "4"}})"},
        {"key before the first section ignored", {"a=1", "[s]", "b=2"}, R"({"s": {"b": "2"}})"},
        {"repeated section keeps its last occurrence", {"[s]", "a=1", "[s]", "b=2"}, R"({"s": {"b": "2"}})"},
        {"indented header keeps its bracket", {"  [s]", "k=a=b"}, R"({"[s": {"k": "a=b"}})"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(iniToJson(row.lines), QJsonDocument::fromJson(row.expected).object()) << row.name;
}

// Through the real /usr/bin/sudo: the tests run as root, which sudo lets through without a password.
struct Written {
    QByteArray content;
    unsigned mode;
    uid_t uid;
    gid_t gid;
};
Written written(const QString &path) {
    QFile file(path);
    struct stat st {};
    if (!file.open(QIODevice::ReadOnly) || ::stat(QFile::encodeName(path).constData(), &st) != 0) return {};
    return {file.readAll(), st.st_mode & 07777u, st.st_uid, st.st_gid};
}

TEST(Lnx2UtilsWriteFile, NewFileGetsMode666AndWwwDataWhateverCharactersItsPathHas) {
    QTemporaryDir dir;
    const passwd *www = getpwnam("www-data");
    ASSERT_TRUE(dir.isValid() && www);
    const QString path = dir.filePath("new dir/a b;touch x$(touch y)`touch z`'\"*.txt");
    ASSERT_TRUE(writeFile(path, QStringList{"中文", "b"}));
    const Written w = written(path);
    EXPECT_EQ(w.content, "中文\nb");
    EXPECT_EQ(w.mode, 0666u);
    EXPECT_EQ(w.uid, www->pw_uid);
    EXPECT_EQ(w.gid, www->pw_gid);
    // No word of the path was run or taken as a file of its own.
    EXPECT_EQ(QDir(dir.filePath("new dir")).entryList(QDir::Files | QDir::NoDotAndDotDot).size(), 1);
    EXPECT_FALSE(QFile::exists("x") || QFile::exists("y") || QFile::exists("z"));
}

TEST(Lnx2UtilsWriteFile, ExistingFileIsTruncatedAndKeepsItsOwner) {
    QTemporaryDir dir;
    const struct {
        const char *name;
        uid_t uid;
        gid_t gid;
    } rows[] = {{"named owner", 65534, 65534}, {"owner without a name", 4242, 4343}};
    for (const auto &row : rows) {
        const QString path = dir.filePath(row.name);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("longer old content") > 0 && file.flush());
        ASSERT_EQ(::fchown(file.handle(), row.uid, row.gid) | ::fchmod(file.handle(), 0600), 0);
        file.close();
        EXPECT_TRUE(writeFile(path, QByteArray("new"))) << row.name;
        const Written w = written(path);
        EXPECT_EQ(w.content, "new") << row.name;
        EXPECT_EQ(w.mode, 0666u) << row.name;
        EXPECT_EQ(w.uid, row.uid) << row.name;
        EXPECT_EQ(w.gid, row.gid) << row.name;
    }
}

TEST(Lnx2UtilsWriteFile, PathThatCannotBeOpenedGivesFalse) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_FALSE(writeFile(dir.path(), QByteArray("x")));
}

}  // namespace
