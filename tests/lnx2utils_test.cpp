#include "kp2linux/lnx2utils.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace {

// Runs `printf '[%s]' WORD` through /bin/sh in dir; two words would print two bracket pairs.
QByteArray printThroughShell(const QString &word, const QString &dir) {
    QProcess sh;
    sh.setWorkingDirectory(dir);
    sh.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf '[%s]' ") + word});
    if (!sh.waitForFinished(30000)) return QByteArrayLiteral("<sh did not finish>");
    return sh.readAllStandardOutput();
}

}  // namespace

TEST(Lnx2Utils, ShellArgEscapedReachesTheProgramAsOneUnchangedWord) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QStringList texts = {
        QString(),
        QStringLiteral("plain"),
        QStringLiteral("two words"),
        QStringLiteral("'"),
        QStringLiteral("''"),
        QStringLiteral("it's"),
        QStringLiteral("'\"'\"'"),
        QStringLiteral("a \"quoted\" b"),
        QStringLiteral("a;touch semicolon"),
        QStringLiteral("$(touch dollar)"),
        QStringLiteral("`touch backquote`"),
        QStringLiteral("$HOME ${PATH} $1 $$"),
        QStringLiteral("* ? [a-z] ~ ~root"),
        QStringLiteral("back\\slash \\n \\\\"),
        QStringLiteral("line\nbreak\ttab"),
        QStringLiteral("| & > < ( ) { } # !"),
        QStringLiteral("中文 数据集"),
        QStringLiteral("-n"),
    };
    for (const QString &text : texts) {
        const QString word = toShellArgEscaped(text);
        EXPECT_EQ(printThroughShell(word, dir.path()), "[" + text.toUtf8() + "]") << text.toStdString();
    }
    for (const char *marker : {"semicolon", "dollar", "backquote"})
        EXPECT_FALSE(QFileInfo::exists(QDir(dir.path()).filePath(QLatin1String(marker)))) << marker;
}

TEST(Lnx2Utils, ShellArgEscapedQuotesEachSingleQuoteSeparately) {
    EXPECT_EQ(toShellArgEscaped(QString()), QStringLiteral("''"));
    EXPECT_EQ(toShellArgEscaped(QStringLiteral("it's")), QStringLiteral("'it'\\''s'"));
}
