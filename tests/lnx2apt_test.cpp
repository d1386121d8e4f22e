#include "kp2linux/lnx2apt.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "testsupport.h"

namespace {

// Stand-ins for apt and dpkg, first on PATH. apt logs its arguments, keeps installed packages as files in state/,
// and prints the output of the scenario named in the file "scenario" a line every 50 ms. Where a scenario must be
// seen half-way, it waits (at most 10 s) for the file "go", which the test creates when it has seen that point.
const char *const FakeApt = R"sh(#!/bin/sh
dir=$(dirname "$0")
for a in "$@"; do echo "$a"; done > "$dir/apt.args"
pkg=$(eval echo "\${$#}"); name=${pkg##*/}; name=${name%%_*}
say() { echo "$1"; sleep 0.05; }
hold() { i=0; while [ ! -e "$dir/go" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done; }
say "Reading package lists..."
say "Building dependency tree..."
case $(cat "$dir/scenario") in
zero) say "0 upgraded, 0 newly installed, 0 to remove and 3 not upgraded."; hold ;;
two)  say "The following NEW packages will be installed:"
      say "  alpha beta"
      say "0 upgraded, 2 newly installed, 0 to remove and 0 not upgraded."
      say "Get:1 http://deb.example/debian stable/main amd64 alpha amd64 1.0 [10 kB]"
      say "Fetched 20 kB in 0s (100 kB/s)"
      say "(Reading database ... 12345 files and directories currently installed.)"
      say "Preparing to unpack .../alpha_1.0_amd64.deb ..."
      say "Unpacking alpha (1.0) ..."
      hold
      say "Unpacking beta (1.0) ..."
      say "Setting up alpha (1.0) ..."
      say "Setting up beta (1.0) ..." ;;
fail) echo "E: Unable to locate package $pkg" >&2; exit 100 ;;
hold) hold ;;
esac
case $1 in
install|reinstall) mkdir -p "$dir/state"; echo 1.0-1 > "$dir/state/$name" ;;
purge) rm -f "$dir/state/$name" ;;
esac
)sh";

const char *const FakeDpkg = R"sh(#!/bin/sh
dir=$(dirname "$0")
if [ "$1" != -l ] || [ ! -e "$dir/state/$2" ]; then echo "dpkg-query: no packages found matching $2" >&2; exit 1; fi
echo "Desired=Unknown/Install/Remove/Purge/Hold"
echo "||/ Name           Version      Architecture Description"
echo "+++-==============-============-============-================================="
echo "ii  $2-doc         9.9          all          documentation"
echo "ii  $2             $(cat "$dir/state/$2")        amd64        stand-in package"
)sh";

class LNX2AptTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        for (const auto &[name, text] : {std::pair{"apt", FakeApt}, std::pair{"dpkg", FakeDpkg}}) {
            ASSERT_TRUE(testsupport::writeFile(tmp.filePath(name), text));
            QFile::setPermissions(tmp.filePath(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(tmp.path()) + ':' + oldPath);
    }
    void TearDown() override { qputenv("PATH", oldPath); }

    void scenario(const QByteArray &name) { ASSERT_TRUE(testsupport::writeFile(tmp.filePath("scenario"), name)); }
    void installed(const QString &name) { ASSERT_TRUE(testsupport::writeFile(tmp.filePath("state/" + name), "0.9")); }
    QStringList aptArgs() const {
        return QString::fromUtf8(testsupport::readFile(tmp.filePath("apt.args"))).split('\n', Qt::SkipEmptyParts);
    }
    // Runs request, collecting every percentage; go() is asked at each one whether to let a holding apt go on.
    bool run(QJsonObject &result, const QJsonObject &request, const std::function<bool(int)> &go = {}) {
        LNX2Apt apt(nullptr, 20);
        QObject::connect(&apt, &LNX2Apt::progress, [&](int percent) {
            percents << percent;
            if (go && go(percent)) testsupport::writeFile(tmp.filePath("go"), "");
        });
        return apt.aptExecute(result, request);
    }
    // The percentages with repeats dropped.
    QList<int> steps() const {
        QList<int> distinct;
        for (int p : percents)
            if (distinct.isEmpty() || distinct.last() != p) distinct << p;
        return distinct;
    }

    QTemporaryDir tmp;
    QByteArray oldPath;
    QList<int> percents;
};

TEST(LNX2Apt, PackageNameIsTheFileNameUpToItsFirstUnderscore) {
    const struct {
        const char *name, *package, *expected;
    } rows[] = {
        {"plain name", "curl", "curl"},
        {"package file", "/tmp/pkgs/tool_2.1_amd64.deb", "tool"},
        {"leading underscore is kept", "dir/_x_1.deb", "_x_1.deb"},
    };
    for (const auto &row : rows) EXPECT_EQ(LNX2Apt::takePackageName(row.package), row.expected) << row.name;
}

TEST_F(LNX2AptTest, ActionsMapToAptCommandsAndReportStatusBeforeAndAfter) {
    const QStringList installArgs{
        "install", "--fix-missing", "--allow-unauthenticated", "-o", "Dpkg::Options::=--force-confmiss", "-y"};
    const QString deb = "/tmp/pkgs/tool_2.1_amd64.deb";
    const struct {
        const char *name;
        int exec;
        QString package;
        bool wasInstalled;
        int action;
        QStringList args;
        QString newStatus;
    } rows[] = {
        {"0 installs as 1", 0, "tool", false, 1, installArgs + QStringList{"tool"}, "ii"},
        {"7 installs as 1", 7, "tool", false, 1, installArgs + QStringList{"tool"}, "ii"},
        {"2 installs as 2", 2, "tool", false, 2, installArgs + QStringList{"tool"}, "ii"},
        {"a package file installs the file", 1, deb, false, 1, installArgs + QStringList{deb}, "ii"},
        {"3 reinstalls", 3, "tool", true, 3, QStringList{"reinstall"} + installArgs.mid(1) + QStringList{"tool"}, "ii"},
        {"4 purges by name", 4, deb, true, 4, {"purge", "-y", "tool"}, ""},
    };
    scenario("quick");
    for (const auto &row : rows) {
        QFile::remove(tmp.filePath("state/tool"));
        if (row.wasInstalled) installed("tool");
        QJsonObject result;
        EXPECT_TRUE(run(result, {{"package", row.package}, {"exec", row.exec}})) << row.name;
        EXPECT_EQ(aptArgs(), row.args) << row.name;
        EXPECT_EQ(result.value("action").toInt(), row.action) << row.name;
        EXPECT_EQ(result.value("package").toString(), "tool") << row.name;
        EXPECT_EQ(result.value("filepath"), row.package == deb ? QJsonValue(deb) : QJsonValue(QJsonValue::Undefined))
            << row.name;
        EXPECT_EQ(result.value("oldstatus").toString(), row.wasInstalled ? "ii" : "") << row.name;
        EXPECT_EQ(result.value("oldversion").toString(), row.wasInstalled ? "0.9" : "") << row.name;
        EXPECT_EQ(result.value("newstatus").toString(), row.newStatus) << row.name;
        EXPECT_FALSE(result.contains("errmsg")) << row.name;
    }
}

TEST_F(LNX2AptTest, FailedRunReportsTheToolsErrorLine) {
    scenario("fail");
    QJsonObject result;
    EXPECT_FALSE(run(result, {{"package", "nosuch"}, {"exec", 1}}));
    EXPECT_EQ(result.value("errmsg").toString(), "E: Unable to locate package nosuch");
    EXPECT_FALSE(percents.contains(100));
}

TEST_F(LNX2AptTest, WithoutPackagesProgressStepsThroughEachPhase) {
    scenario("zero");
    QJsonObject result;
    EXPECT_TRUE(run(result, {{"package", "tool"}}, [](int p) { return p == 100; }));
    EXPECT_EQ(steps(), (QList<int>{0, 1, 30, 60, 100}));
}

TEST_F(LNX2AptTest, ProgressCountsUnpackedPackagesAndEndsAt100) {
    scenario("two");
    QJsonObject result;
    int seenBeforeGo = -1;
    EXPECT_TRUE(run(result, {{"package", "alpha"}}, [&](int p) {
        if (seenBeforeGo < 0 && p >= 45) seenBeforeGo = p;
        return p >= 45;
    }));
    // apt holds after the first of two "Unpacking " lines until the test has seen at least 45.
    EXPECT_GE(seenBeforeGo, 45);
    EXPECT_LT(seenBeforeGo, 60);
    EXPECT_EQ(percents.last(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
}

TEST_F(LNX2AptTest, BusyWhileAnAptProcessRuns) {
    scenario("hold");
    QProcess holding;
    holding.start(tmp.filePath("apt"), {"hold"});
    ASSERT_TRUE(holding.waitForStarted());
    EXPECT_TRUE(testsupport::waitUntil([] { return LNX2Apt::isBusy(); }));
    testsupport::writeFile(tmp.filePath("go"), "");
    EXPECT_TRUE(holding.waitForFinished(10000));
}

}  // namespace
