#include "kp2linux/lnx2apt.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "testsupport.h"

namespace {

// Stand-ins for apt and dpkg, first on PATH: apt logs its arguments, keeps packages as files in state/, prints the
// scenario named in the file "scenario" a line per 50 ms, and at "hold" waits (10 s at most) for the test's "go".
// Like the real apt, it prints its download status line only to a terminal.
const char *const FakeApt = R"sh(#!/bin/sh
dir=$(dirname "$0")
for a in "$@"; do echo "$a"; done > "$dir/apt.args"
pkg=$(eval echo "\${$#}"); name=${pkg##*/}; name=${name%%_*}
say() { for line in "$@"; do echo "$line"; sleep 0.05; done; }
hold() { i=0; while [ ! -e "$dir/go" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done; }
say "Reading package lists..." "Building dependency tree..."
case $(cat "$dir/scenario") in
zero) say "0 upgraded, 0 newly installed, 0 to remove and 3 not upgraded."; hold ;;
two)  say "0 upgraded, 2 newly installed, 0 to remove and 0 not upgraded." "Fetched 20 kB in 0s (100 kB/s)" \
          "(Reading database ... 12345 files and directories currently installed.)" "Unpacking alpha (1.0) ..."
      hold
      say "Unpacking beta (1.0) ..." "Setting up alpha (1.0) ..." "Setting up beta (1.0) ..." ;;
fail) echo "E: Unable to locate package $pkg" >&2; exit 100 ;;
hold) hold ;;
tty)  say "0 upgraded, 1 newly installed, 0 to remove and 0 not upgraded."
      if [ -t 1 ]; then printf ' 45%% [Working]\r'; fi
      hold ;;
esac
case $1 in
install|reinstall) mkdir -p "$dir/state"; echo 1.0-1 > "$dir/state/$name" ;;
purge) rm -f "$dir/state/$name" ;;
esac
)sh";

const char *const FakeDpkg = R"sh(#!/bin/sh
dir=$(dirname "$0")
if [ "$1" != -l ] || [ ! -e "$dir/state/$2" ]; then echo "dpkg-query: no packages found matching $2" >&2; exit 1; fi
echo "||/ Name           Version      Architecture Description"
echo "+++-==============-============-============-================================="
echo "ii  $2-doc         9.9          all          documentation"
echo "ii  $2             $(cat "$dir/state/$2")        amd64        stand-in package"
)sh";

class LNX2AptTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto &[name, text] : {std::pair{"apt", FakeApt}, std::pair{"dpkg", FakeDpkg}}) {
            ASSERT_TRUE(testsupport::writeFile(tmp.filePath(name), text));
            QFile::setPermissions(tmp.filePath(name), QFile::ReadOwner | QFile::ExeOwner);
        }
        qputenv("PATH", QFile::encodeName(tmp.path()) + ':' + oldPath);
    }
    void TearDown() override { qputenv("PATH", oldPath); }

    void write(const QString &name, const QByteArray &text) {
        ASSERT_TRUE(testsupport::writeFile(tmp.filePath(name), text));
    }
    // Runs request, collecting every percentage; go(percent) tells whether to let a holding apt go on.
    bool run(QJsonObject &result, const QJsonObject &request, const std::function<bool(int)> &go = {}) {
        LNX2Apt apt(nullptr, 20);
        QObject::connect(&apt, &LNX2Apt::progress, [&](int percent) {
            if (percents.isEmpty() || percents.last() != percent) percents << percent;
            if (go && go(percent)) write("go", "");
        });
        return apt.aptExecute(result, request);
    }

    QTemporaryDir tmp;
    const QByteArray oldPath = qgetenv("PATH");
    QList<int> percents;  // repeats dropped
};

TEST_F(LNX2AptTest, ActionsMapToAptCommandsAndReportStatusBeforeAndAfter) {
    const QStringList install{
        "install", "--fix-missing", "--allow-unauthenticated", "-o", "Dpkg::Options::=--force-confmiss", "-y"};
    const QString deb = "/tmp/pkgs/tool_2.1_amd64.deb";
    const struct {
        const char *name;
        int exec;
        QString package;
        int action;
        QStringList args;
        const char *oldStatus, *newStatus;
    } rows[] = {
        {"0 installs as 1", 0, "tool", 1, install + QStringList{"tool"}, "", "ii"},
        {"7 installs as 1", 7, "tool", 1, install + QStringList{"tool"}, "", "ii"},
        {"2 installs as 2", 2, "tool", 2, install + QStringList{"tool"}, "", "ii"},
        {"a package file installs the file", 1, deb, 1, install + QStringList{deb}, "", "ii"},
        {"3 reinstalls", 3, "tool", 3, QStringList{"reinstall"} + install.mid(1) + QStringList{"tool"}, "ii", "ii"},
        {"4 purges by name", 4, deb, 4, {"purge", "-y", "tool"}, "ii", ""},
        {"shell words in a name stay one argument", 1, "t'o;$(id)", 1, install + QStringList{"t'o;$(id)"}, "", "ii"},
    };
    write("scenario", "quick");
    for (const auto &row : rows) {
        QDir(tmp.filePath("state")).removeRecursively();
        if (*row.oldStatus) write("state/tool", "0.9");
        QJsonObject result;
        EXPECT_TRUE(run(result, {{"package", row.package}, {"exec", row.exec}})) << row.name;
        EXPECT_EQ(QString(testsupport::readFile(tmp.filePath("apt.args"))), row.args.join('\n') + '\n') << row.name;
        QJsonObject expected{{"package", row.package == deb ? "tool" : row.package},
                             {"action", row.action},
                             {"oldstatus", row.oldStatus},
                             {"oldversion", *row.oldStatus ? "0.9" : ""},
                             {"newstatus", row.newStatus},
                             {"newversion", *row.newStatus ? "1.0-1" : ""}};
        if (row.package == deb) expected["filepath"] = deb;
        result.remove("times");
        EXPECT_EQ(result, expected) << row.name;
    }
}

TEST_F(LNX2AptTest, FailedRunReportsTheToolsErrorLine) {
    write("scenario", "fail");
    QJsonObject result;
    EXPECT_FALSE(run(result, {{"package", "nosuch"}, {"exec", 1}}));
    EXPECT_EQ(result.value("errmsg").toString(), "E: Unable to locate package nosuch");
    EXPECT_FALSE(percents.contains(100));
}

TEST_F(LNX2AptTest, WithoutPackagesProgressStepsThroughEachPhase) {
    write("scenario", "zero");
    QJsonObject result;
    EXPECT_TRUE(run(result, {{"package", "tool"}}, [](int p) { return p == 100; }));
    EXPECT_EQ(percents, (QList<int>{0, 1, 30, 60, 100}));
}

// apt holds after the first of two "Unpacking " lines until the test has seen at least 45.
TEST_F(LNX2AptTest, ProgressCountsUnpackedPackagesAndEndsAt100) {
    write("scenario", "two");
    QJsonObject result;
    EXPECT_TRUE(run(result, {{"package", "alpha"}}, [](int p) { return p >= 45; }));
    EXPECT_TRUE(percents.contains(45)) << "no 45 while apt held";
    EXPECT_EQ(percents.last(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
}

// apt holds after its status line " 45% [Working]" until the test has seen 45 × 30 / 100.
TEST_F(LNX2AptTest, DownloadStatusOfATerminalMovesTheProgress) {
    write("scenario", "tty");
    QJsonObject result;
    EXPECT_TRUE(run(result, {{"package", "tool"}}, [](int p) { return p == 13; }));
    EXPECT_TRUE(percents.contains(13)) << "apt printed no status line: it had no terminal";
}

TEST_F(LNX2AptTest, BusyWhileAnAptProcessRuns) {
    write("scenario", "hold");
    QProcess holding;
    holding.start(tmp.filePath("apt"), {"hold"});
    EXPECT_TRUE(testsupport::waitUntil([] { return LNX2Apt::isBusy(); }));
    write("go", "");
    EXPECT_TRUE(holding.waitForFinished(10000));
}

}  // namespace
