#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/prctl.h>
#include <unistd.h>

#include "kp2linux/lnx2utils.h"

namespace {

// Sleepers are /bin/sleep under a link of their own short name: the kernel names a process after the file it was
// started from, so findProcess(name) sees exactly the sleepers of one case, running or not yet reaped.
class Lnx2UtilsProcess : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString sleeper(const QString &tag) {
        const QString name = QStringLiteral("kp%1%2").arg(tag).arg(::getpid());
        EXPECT_TRUE(QFile::link(QStringLiteral("/bin/sleep"), dir.filePath(name)));
        return name;
    }
    QString path(const QString &name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

QList<int> pidsOf(const QJsonArray &entries) {
    QList<int> pids;
    for (const QJsonValue &entry : entries) pids << entry.toObject().value(QStringLiteral("pid")).toInt();
    return pids;
}

// Processes of that name that have not ended: zombies are left out, since an orphan's zombie is reaped by init,
// not by its killer (and some container inits never reap).
QList<int> runningPids(const QString &name) {
    QList<int> pids;
    for (const int pid : pidsOf(findProcess(name))) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (pid != 0 && stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z ")) pids << pid;
    }
    return pids;
}

const QString kFailing = QStringLiteral("/bin/sh -c \"echo bad >&2; echo no; exit 3\"");
const QString kCrashing = QStringLiteral("/bin/sh -c \"kill -SEGV $$\"");

}  // namespace

TEST(Lnx2UtilsOutputs, LinesLoseCarriageReturnsTabsAndEmptyLines) {
    EXPECT_EQ(cmdOutputs("a\r\nb\n\nc"), QStringList({"a", "b", "c"}));
    EXPECT_EQ(cmdOutputs("x\ty\n"), QStringList({"x y"}));
}

TEST_F(Lnx2UtilsProcess, CmdExecTakesStandardOutputOnSuccessAndStandardErrorOtherwise) {
    const struct {
        const char *name;
        QString command;
        bool ok;
        QString out;
    } rows[] = {
        {"success", QStringLiteral("/bin/echo \"two words\""), true, QStringLiteral("two words\n")},
        {"non-zero exit", kFailing, false, QStringLiteral("bad\n")},
        {"crash", kCrashing, false, QString()},
        {"missing program", QStringLiteral("/nonexistent/kpprog"), false, QString()},
        {"output ends at NUL", QStringLiteral("/bin/sh -c \"printf 'a\\0b'\""), true, QStringLiteral("a")},
    };
    for (const auto &row : rows) {
        QString out = QStringLiteral("old");
        EXPECT_EQ(cmdExec(row.command, out, 10000), row.ok) << row.name;
        EXPECT_EQ(out, row.out) << row.name;
    }
}

TEST_F(Lnx2UtilsProcess, CmdExecExtendsPresentVariablesAtTheEndAndSetsNewOnes) {
    QFile script(path(QStringLiteral("kpfound")));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho found\n");
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    const QString searchPath = qEnvironmentVariable("PATH").split(':', Qt::SkipEmptyParts).join(':');
    QString out;
    ASSERT_TRUE(cmdExec({{"PATH", dir.path()}, {"KPNEWKEY", "v"}}, QStringLiteral("/usr/bin/env"), out, 10000));
    EXPECT_TRUE(out.split('\n').contains("PATH=" + searchPath + ":" + dir.path())) << qPrintable(out);
    EXPECT_TRUE(out.split('\n').contains("KPNEWKEY=v")) << qPrintable(out);
    ASSERT_TRUE(cmdExec({{"PATH", dir.path()}}, QStringLiteral("kpfound"), out, 10000));
    EXPECT_EQ(out, "found\n");
}

TEST_F(Lnx2UtilsProcess, CmdExecuteReturnsTheExitCodeOr9998LeavingOutUnchanged) {
    const struct {
        const char *name;
        QStringList args;
        int code;
        QString out;
    } rows[] = {
        {"success", {"/bin/echo", "hi"}, 0, "hi\n"},
        {"non-zero exit", QProcess::splitCommand(kFailing), 3, "bad\n"},
        {"missing program", {"/nonexistent/kpprog"}, 9998, "old"},
        {"no program", {}, 9998, "old"},
        {"crash", QProcess::splitCommand(kCrashing), 9998, "old"},
    };
    for (const auto &row : rows) {
        QString out = QStringLiteral("old");
        EXPECT_EQ(cmdExecute(out, row.args, 10000), row.code) << row.name;
        EXPECT_EQ(out, row.out) << row.name;
    }
}

TEST_F(Lnx2UtilsProcess, ExeCommandResultFollowsTheSignOfTheLimit) {
    const struct {
        const char *name;
        QString command;
        int limitMs;
        int code;
        QByteArray out;
    } rows[] = {
        {"limited success", "/bin/echo hi", 10000, 0, "hi\n"},
        {"limited non-zero exit", kFailing, 10000, 3, "bad\n"},
        {"limited missing program", "/nonexistent/kpprog", 10000, 62, "old"},
        {"unlimited success", "/bin/echo hi", 0, 0, "hi\n"},
        {"unlimited non-zero exit", kFailing, 0, 3, "bad\n"},
        {"unlimited crash", kCrashing, 0, -1, ""},
        {"unlimited missing program", "/nonexistent/kpprog", 0, -2, ""},
        {"detached", "/bin/true", -1, 0, "old"},
    };
    for (const auto &row : rows) {
        QByteArray out = "old";
        EXPECT_EQ(exeCommand(row.command, row.limitMs, &out), row.code) << row.name;
        EXPECT_EQ(out, row.out) << row.name;
    }
}

TEST_F(Lnx2UtilsProcess, ProgramsPastTheirLimitAreKilledAndReaped) {
    const QString a = sleeper("a"), b = sleeper("b"), c = sleeper("c"), d = sleeper("d"), e = sleeper("e");
    QString out;
    EXPECT_EQ(exeCommand(path(a) + " 30", 1), 62);
    EXPECT_FALSE(cmdExec(path(b) + " 30", out, 300));
    EXPECT_EQ(cmdExecute(out, {path(c), "30"}, 300), 9998);
    EXPECT_FALSE(cmdsExec({path(d) + " 30"}, 300));
    // A shell's child goes with the shell: the whole process group is killed. The marker shows the child was started.
    const QString marker = path("started");
    EXPECT_FALSE(cmdExec(QStringLiteral("/bin/sh -c \"%1 30 & touch %2; wait\"").arg(path(e), marker), out, 1500));
    EXPECT_TRUE(QFile::exists(marker));
    for (const QString &name : {a, b, c, d}) EXPECT_EQ(findProcess(name), QJsonArray()) << qPrintable(name);
    EXPECT_EQ(runningPids(e), QList<int>());
}

TEST_F(Lnx2UtilsProcess, CmdsExecSharesOneLimitAndStopsAtTheFirstFailure) {
    const QString s = path(sleeper("s"));
    const struct {
        const char *name;
        QStringList commands;
        int limitMs;
        bool ok;
        QJsonArray errors;
    } rows[] = {
        {"empty list", {}, 10000, false, {}},
        {"only blanks", {" ", ""}, 10000, false, {}},
        {"blank, success, failure", {"  ", "/bin/true", kFailing, "/bin/true"}, 10000, true, {"bad\n"}},
        {"first fails", {kFailing, "/bin/true"}, 10000, false, {"bad\n"}},
        {"second outlasts the shared limit", {s + " 0.5", s + " 0.5"}, 800, true, {""}},
    };
    for (const auto &row : rows) {
        QJsonArray errors;
        EXPECT_EQ(cmdsExec(row.commands, errors, row.limitMs), row.ok) << row.name;
        EXPECT_EQ(errors, row.errors) << row.name;
    }
}

TEST_F(Lnx2UtilsProcess, LinuxCmdRunsAndStartsPlainOrThroughSudo) {
    EXPECT_EQ(linuxCmdExec({"/bin/sh", "-c", "exit 4"}, false), 4);
    EXPECT_EQ(linuxCmdExec({"/bin/sh", "-c", "exit 4"}, true), 4);
    EXPECT_EQ(linuxCmdExec({"/nonexistent/kpprog"}, false), -2);
    EXPECT_EQ(linuxCmdExec(QProcess::splitCommand(kCrashing), false), -1);
    QProcess cat;
    linuxCmdStart(cat, {"/bin/cat"}, false);
    ASSERT_TRUE(cat.waitForStarted(10000));
    cat.write("through");
    cat.closeWriteChannel();
    ASSERT_TRUE(cat.waitForFinished(10000));
    EXPECT_EQ(cat.readAllStandardOutput(), "through");
    QString out;
    EXPECT_TRUE(execBash(QStringLiteral("echo $((1 + 2)) | tr 3 x"), out, 10000));
    EXPECT_EQ(out, "x\n");
}

TEST_F(Lnx2UtilsProcess, FindProcessFindsThisProcessByNameAndByExecutable) {
    char oldName[16] = {};
    ASSERT_EQ(::prctl(PR_GET_NAME, oldName), 0);
    const QString name = QStringLiteral("kpt%1").arg(::getpid());
    ASSERT_EQ(::prctl(PR_SET_NAME, name.toUtf8().constData()), 0);
    const QList<int> byName = pidsOf(findProcess(name));
    const QList<int> byExe = pidsOf(findProcess(QCoreApplication::applicationFilePath()));
    const QList<int> withName = pidsOf(findProcessWith(name));
    const QList<int> withArg = pidsOf(findProcessWith(QCoreApplication::arguments().first()));
    const QList<int> slashedName = pidsOf(findProcess("/" + name));
    ::prctl(PR_SET_NAME, oldName);
    // "self" (and "thread-self") name this process too and report pid 0.
    for (const QList<int> &pids : {byName, byExe, withName, withArg}) {
        EXPECT_TRUE(pids.contains(::getpid()));
        EXPECT_TRUE(pids.contains(0));
    }
    EXPECT_TRUE(slashedName.isEmpty());
    for (const QJsonValue &entry : findProcessWith(QCoreApplication::arguments().first())) {
        if (entry.toObject().value("pid").toInt() != ::getpid()) continue;
        EXPECT_EQ(entry.toObject().value("cmdargs"), QJsonArray::fromStringList(QCoreApplication::arguments()));
        EXPECT_EQ(entry.toObject().value("cmdline"), QCoreApplication::arguments().join(' '));
    }
}
