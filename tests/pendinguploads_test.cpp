// PendingUploads: what a listing's watch sees, and which listed objects a pending snapshot hides.
#include "pendinguploads.h"

#include <gtest/gtest.h>

#include <QJsonObject>

using statusnames::UploadState;

namespace {

TEST(PendingUploads, WatchSeesEveryNamePendingWhileItLivesEvenWhenDroppedSince) {
    PendingUploads uploads;
    uploads.add("tank/a@qiv_1", UploadState::Queued);
    PendingUploads::Watch whole(uploads);
    uploads.addIfAbsent("tank/b@qiv_2", UploadState::Queued);
    uploads.drop("tank/a@qiv_1");
    PendingUploads::Watch later(uploads);
    uploads.add("tank/c@qiv_3", UploadState::Uploading);
    uploads.drop("tank/b@qiv_2");
    EXPECT_EQ(whole.names(), (QSet<QString>{"tank/a@qiv_1", "tank/b@qiv_2", "tank/c@qiv_3"}));
    EXPECT_EQ(later.names(), (QSet<QString>{"tank/b@qiv_2", "tank/c@qiv_3"}));
}

TEST(PendingUploads, ListingDropsEveryObjectOfAPendingSnapshotWhateverItsSuffixes) {
    const QSet<QString> pending{"tank/a@qiv_1"};
    const struct {
        const char *name, *prefix, *key;
        bool kept;
    } rows[] = {
        {"full", "", "tank/a/qiv_1", false},
        {"compressed", "", "tank/a/qiv_1.zst", false},
        {"incremental, both stages, below its dataset", "tank/a/", "qiv_1_from_0.zst.age", false},
        {"another snapshot", "", "tank/a/qiv_2", true},
        {"a longer stamp", "tank/a/", "qiv_10.age", true},
        {"another dataset", "", "tank/b/qiv_1", true},
        {"no backup", "", "tank/a/notes", true},
    };
    for (const auto &row : rows) {
        const QJsonArray lines{QJsonObject{{"key", row.key}}};
        EXPECT_EQ(PendingUploads::withoutPending(lines, row.prefix, pending).size(), row.kept ? 1 : 0) << row.name;
    }
}

}  // namespace
