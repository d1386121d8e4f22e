// RequestRouter's rule for remote paths: a path below the machine root that stays below it.
#include "requestrouter.h"

#include <gtest/gtest.h>

namespace {

TEST(RequestRouter, RemotePathsThatLeaveTheMachineRootAreUnsafe) {
    const struct {
        const char *path;
        bool safe;
    } rows[] = {
        {"tank/data/qiv_1", true}, {"../other/tank/x", false}, {"/abs", false}, {"tank//x", false},
        {"tank/./x", false},       {"tank/x/..", false},       {".", false},
    };
    for (const auto &row : rows) EXPECT_EQ(RequestRouter::isSafeRemotePath(row.path), row.safe) << row.path;
}

}  // namespace
