// BackupName: the object names it reads, what it reads from them, and that writing gives the same name back.
#include "backupname.h"

#include <gtest/gtest.h>

namespace {

// "<stamp>[ from <base>][ .zst][ .age]", or "refused".
QString parts(const QString &text) {
    BackupName name;
    if (!BackupName::parse(text, &name)) return QStringLiteral("refused");
    EXPECT_EQ(name.toString(), text);
    return name.stamp + (name.isIncremental() ? " from " + name.baseStamp : QString()) +
           (name.compressed ? " .zst" : "") + (name.encrypted ? " .age" : "");
}

TEST(BackupName, NamesReadIntoTheirPartsAndWriteBackUnchanged) {
    const struct {
        const char *name, *text, *parts;
    } rows[] = {
        {"full", "qiv_20240501080910", "20240501080910"},
        {"incremental", "qiv_2_from_1", "2 from 1"},
        {"compressed", "qiv_2.zst", "2 .zst"},
        {"encrypted", "qiv_2.age", "2 .age"},
        {"both stages", "qiv_2.zst.age", "2 .zst .age"},
        {"incremental with both stages", "qiv_2_from_1.zst.age", "2 from 1 .zst .age"},
        {"not ours", "x", "refused"},
        {"no stamp", "qiv_", "refused"},
        {"no base", "qiv_1_from_", "refused"},
        {"no stamp before the base", "qiv__from_1", "refused"},
        {"only a stage", "qiv_.zst", "refused"},
    };
    for (const auto &row : rows) EXPECT_EQ(parts(row.text), row.parts) << row.name;
}

}  // namespace
