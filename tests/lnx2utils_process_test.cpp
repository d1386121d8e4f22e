#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "kp2linux/lnx2utils.h"
#include "testsupport.h"

namespace {

// Sleepers are /bin/sleep under a link of their own short name: the kernel names a process after the file it was
// started from, so findProcess(name) sees exactly the sleepers of one case, running or not yet reaped.
class Lnx2UtilsProcess : public ::testing::Test {
protected:
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

// One program per row and what each runner makes of it.
TEST(Lnx2UtilsRunners, ReportTheExitCodeWithStandardOutputOnSuccessAndStandardErrorOtherwise) {
    const struct {
        const char *name;
        QString command;
        QString out;             // cmdExec's out, and cmdExecute's and exeCommand's when they report an exit
        int execute;             // cmdExecute's result; cmdExec succeeds for 0
        int limited, unlimited;  // exeCommand's with a limit of 10 s and with none
    } rows[] = {
        {"success", "/bin/echo \"two words\"", "two words\n", 0, 0, 0},
        {"non-zero exit", kFailing, "bad\n", 3, 3, 3},
        {"crash", kCrashing, "", 9998, SIGSEGV, -1},
        {"missing program", "/nonexistent/kpprog", "", 9998, 62, -2},
        {"no program", "", "", 9998, 62, -2},
        {"output ends at NUL", "/bin/sh -c \"printf 'a\\0b'\"", "a", 0, 0, 0},
    };
    for (const auto &row : rows) {
        QString out = "old", executeOut = "old";
        EXPECT_EQ(cmdExec(row.command, out, 10000), row.execute == 0) << row.name;
        EXPECT_EQ(out, row.out) << row.name;
        EXPECT_EQ(cmdExecute(executeOut, QProcess::splitCommand(row.command), 10000), row.execute) << row.name;
        EXPECT_EQ(executeOut, row.execute == 9998 ? "old" : row.out) << row.name;
        QByteArray limitedOut = "old", unlimitedOut;
        EXPECT_EQ(exeCommand(row.command, 10000, &limitedOut), row.limited) << row.name;
        EXPECT_EQ(QString(limitedOut.constData()), row.limited == 62 ? "old" : row.out) << row.name;
        EXPECT_EQ(exeCommand(row.command, 0, &unlimitedOut), row.unlimited) << row.name;
        EXPECT_EQ(QString(unlimitedOut.constData()), row.out) << row.name;
    }
    EXPECT_EQ(exeCommand("/bin/true", -1), 0);
}

TEST_F(Lnx2UtilsProcess, CmdExecExtendsPresentVariablesAtTheEndAndSetsNewOnes) {
    ASSERT_TRUE(testsupport::writeFile(path("kpfound"), "#!/bin/sh\necho found\n"));
    ASSERT_TRUE(QFile::setPermissions(path("kpfound"), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const QString searchPath = qEnvironmentVariable("PATH").split(':', Qt::SkipEmptyParts).join(':');
    QString out;
    ASSERT_TRUE(cmdExec({{"PATH", dir.path()}, {"KPNEWKEY", "v"}}, "/usr/bin/env", out, 10000));
    EXPECT_TRUE(out.split('\n').contains("PATH=" + searchPath + ":" + dir.path())) << qPrintable(out);
    EXPECT_TRUE(out.split('\n').contains("KPNEWKEY=v")) << qPrintable(out);
    EXPECT_TRUE(cmdExec({{"PATH", dir.path()}}, "kpfound", out, 10000));
    EXPECT_EQ(out, "found\n");
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

TEST(Lnx2UtilsFind, FindProcessFindsThisProcessByNameExecutableAndArgument) {
    char oldName[16] = {};
    ASSERT_EQ(::prctl(PR_GET_NAME, oldName), 0);
    const QString name = QStringLiteral("kpt%1").arg(::getpid()), argv0 = QCoreApplication::arguments().first();
    ASSERT_EQ(::prctl(PR_SET_NAME, name.toUtf8().constData()), 0);
    const QJsonArray byName = findProcess(name), byExe = findProcess(QCoreApplication::applicationFilePath()),
                     withName = findProcessWith(name), withArg = findProcessWith(argv0),
                     slashed = findProcess("/" + name);
    ::prctl(PR_SET_NAME, oldName);
    // "self" (and "thread-self") name this process too and report pid 0.
    for (const QJsonArray &found : {byName, byExe, withName, withArg}) {
        EXPECT_TRUE(pidsOf(found).contains(::getpid()));
        EXPECT_TRUE(pidsOf(found).contains(0));
    }
    EXPECT_EQ(slashed, QJsonArray());
    const QJsonObject self = withArg.at(pidsOf(withArg).indexOf(::getpid())).toObject();
    EXPECT_EQ(self.value("cmdargs"), QJsonArray::fromStringList(QCoreApplication::arguments()));
    EXPECT_EQ(self.value("cmdline"), QCoreApplication::arguments().join(' '));
}
