#include "backupchains.h"

#include <gtest/gtest.h>

namespace {

BackupChains chainsOf(const QStringList &names) {
    QList<BackupChains::Object> objects;
    for (const QString &name : names) {
        BackupChains::Object object;
        object.name = name;
        if (BackupName::parse(name, &object.parsed)) objects.append(object);
    }
    return BackupChains(objects);
}

QStringList namesOf(const QList<BackupChains::Object> &chain) {
    QStringList names;
    for (const BackupChains::Object &object : chain) names.append(object.name);
    return names;
}

std::string str(const QStringList &list) {
    return list.join(QLatin1Char(' ')).toStdString();
}

}  // namespace

TEST(BackupChains, EachShapeRestoresItsWholeChainOrNamesTheMissingBase) {
    const struct {
        const char *name;
        QStringList listed;
        QString restore;
        QStringList chain;  // empty: refused
        QString missing;
    } rows[] = {
        {"full alone", {"qiv_1"}, "qiv_1", {"qiv_1"}, ""},
        {"full and two incrementals",
         {"qiv_1", "qiv_2_from_1", "qiv_3_from_2"},
         "qiv_3_from_2",
         {"qiv_1", "qiv_2_from_1", "qiv_3_from_2"},
         ""},
        {"stages differ along the chain",
         {"qiv_1.zst.age", "qiv_2_from_1.age", "qiv_3_from_2.zst"},
         "qiv_3_from_2.zst",
         {"qiv_1.zst.age", "qiv_2_from_1.age", "qiv_3_from_2.zst"},
         ""},
        {"a newer chain does not matter",
         {"qiv_1", "qiv_2_from_1", "qiv_3", "qiv_4_from_3"},
         "qiv_2_from_1",
         {"qiv_1", "qiv_2_from_1"},
         ""},
        {"the base's full is preferred to an incremental of its time",
         {"qiv_0", "qiv_1_from_0", "qiv_1", "qiv_2_from_1"},
         "qiv_2_from_1",
         {"qiv_1", "qiv_2_from_1"},
         ""},
        {"middle link removed", {"qiv_1", "qiv_3_from_2"}, "qiv_3_from_2", {}, "qiv_2"},
        {"full removed", {"qiv_2_from_1", "qiv_3_from_2"}, "qiv_3_from_2", {}, "qiv_1"},
        {"a loop of hand-made names", {"qiv_1_from_2", "qiv_2_from_1"}, "qiv_2_from_1", {}, "qiv_2"},
        {"object not listed", {"qiv_1"}, "qiv_2", {}, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QList<BackupChains::Object> chain;
        QString missing;
        const bool whole = chainsOf(row.listed).chainTo(row.restore, &chain, &missing);
        EXPECT_EQ(whole, !row.chain.isEmpty());
        EXPECT_EQ(str(namesOf(chain)), str(row.chain));
        EXPECT_EQ(missing.toStdString(), row.missing.toStdString());
    }
}

TEST(BackupChains, PruneRemovesOlderChainsNewestFirstAndSparesTheKeptBase) {
    const QStringList twoChains{"qiv_1", "qiv_2_from_1", "qiv_3_from_2", "qiv_4", "qiv_5_from_4"};
    const struct {
        const char *name;
        QStringList listed;
        int keep;
        QString protect;
        QStringList removed;  // in removal order
    } rows[] = {
        {"keep 1 of two chains", twoChains, 1, "", {"qiv_3_from_2", "qiv_2_from_1", "qiv_1"}},
        {"keep 2 of two chains", twoChains, 2, "", {}},
        {"the kept base's old chain stays", twoChains, 1, "qiv_2_from_1", {}},
        {"broken incrementals older than the oldest kept full go first",
         {"qiv_1_from_0", "qiv_2", "qiv_3_from_2", "qiv_4", "qiv_6_from_5"},
         1,
         "",
         {"qiv_1_from_0", "qiv_3_from_2", "qiv_2"}},
        {"oldest chains go first",
         {"qiv_1", "qiv_2", "qiv_3_from_2", "qiv_4"},
         1,
         "",
         {"qiv_1", "qiv_3_from_2", "qiv_2"}},
        {"keep 0 counts as 1", {"qiv_1", "qiv_2"}, 0, "", {"qiv_1"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const BackupChains::Prune plan = chainsOf(row.listed).prune(row.keep, row.protect);
        EXPECT_EQ(str(plan.remove), str(row.removed));
        EXPECT_EQ(plan.remove.size() + plan.keep.size(), row.listed.size());
    }
}
