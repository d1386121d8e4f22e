// AppRoot: the paths this process uses for the appliance's paths, with and without a root.
#include "approot.h"

#include <gtest/gtest.h>

#include <QDir>

namespace {

TEST(AppRoot, PathsLieBelowTheRootAndNoRootMeansTheApplianceOwn) {
    const struct {
        const char *name, *root;
        QString path;
    } rows[] = {
        {"no root", "", "/ovra/etc/x"},
        {"the real root", "/", "/ovra/etc/x"},
        {"a directory, cleaned", "/tmp/r/./s/", "/tmp/r/s/ovra/etc/x"},
        {"a relative directory, made absolute", "r", QDir::currentPath() + "/r/ovra/etc/x"},
    };
    for (const auto &row : rows) {
        AppRoot::setRoot(row.root);
        EXPECT_EQ(AppRoot::path("/ovra/etc/x"), row.path) << row.name;
    }
    AppRoot::setRoot(QString());
}

}  // namespace
