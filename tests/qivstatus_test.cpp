#include "qivstatus.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include "testsupport.h"

namespace {

// A record whose numbers reach the end of the int range (only a damaged file holds one) still gives every new
// restore a positive id that no restore of the record holds.
TEST(QivStatus, NewRestoreIdsStayPositiveAndUniqueWhateverNumbersTheFileHolds) {
    struct Case {
        const char *name;
        const char *file;
        int expected;
    };
    const Case cases[] = {
        {"ids continue after the highest", R"({"restores":[{"id":3,"state":"done"}],"nextRestore":2})", 4},
        {"highest id at the end of the range", R"({"restores":[{"id":2147483647,"state":"done"}]})", 1},
        {"next at the end of the range", R"({"restores":[{"id":1,"state":"done"}],"nextRestore":2147483647})",
         2147483647},
        {"wrapped ids pass over those in use",
         R"({"restores":[{"id":2147483647,"state":"done"},{"id":1,"state":"done"},{"id":2,"state":"failed"}]})", 3},
        {"negative next", R"({"nextRestore":-4})", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = dir.filePath("status.json");
        ASSERT_TRUE(testsupport::writeFile(path, c.file));
        QivStatus status;
        ASSERT_TRUE(status.open(path));
        const int first = status.restoreQueued("p/d/qiv_1", "p/new", "/staging");
        const int second = status.restoreQueued("p/d/qiv_2", "p/new", "/staging");
        EXPECT_EQ(first, c.expected);
        EXPECT_GT(second, 0);
        EXPECT_NE(second, first);
    }
}

// A restart settles an unfinished restore by removing its staged file, and only a file by the name the restore gives
// it: the record comes from disk, and the daemon must not delete whatever a damaged record names.
TEST(QivStatus, RestartRemovesOnlyTheStagedFileTheRestoreNamed) {
    QTemporaryDir dir;
    const QString own = dir.filePath("restore-7.zfs"), other = dir.filePath("settings.json");
    ASSERT_TRUE(testsupport::writeFile(own, "partial"));
    ASSERT_TRUE(testsupport::writeFile(other, "{}"));
    const QString record = QString(R"({"restores":[{"id":7,"state":"downloading","staged":"%1"},)"
                                   R"({"id":8,"state":"receiving","staged":"%2"}]})")
                               .arg(own, other);
    const QString path = dir.filePath("status.json");
    ASSERT_TRUE(testsupport::writeFile(path, record.toUtf8()));
    QivStatus status;
    ASSERT_TRUE(status.open(path));
    EXPECT_FALSE(QFile::exists(own));
    EXPECT_TRUE(QFile::exists(other));
    for (const QJsonValue &restore : status.toObject().value("restores").toArray())
        EXPECT_EQ(restore.toObject().value("state").toString(), "failed");
}

}  // namespace
