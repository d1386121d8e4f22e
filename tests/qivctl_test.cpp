// qivctl against a real server started by the test: request building, printed reply and exit status.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <cstring>

#include "kp2serverharness.h"

namespace {

struct Outcome {
    int exitCode = -1;
    QJsonObject reply;
    QString out;
    QString err;
};

Outcome qivctl(const QStringList &args, const QString &envSocket = QString()) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QIVCTL_SOCKET"));
    if (!envSocket.isEmpty()) env.insert(QStringLiteral("QIVCTL_SOCKET"), envSocket);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(QIV_BIN_DIR "/qivctl"), args);
    Outcome run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    run.reply = QJsonDocument::fromJson(run.out.toUtf8()).object();
    return run;
}

class Qivctl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("rpc.sock"));
        m_server = std::make_unique<harness::ServerThread>(m_path);
        ASSERT_TRUE(m_server->listening());
    }
    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<harness::ServerThread> m_server;
};

}  // namespace

TEST_F(Qivctl, ParametersBecomeStringsUnlessGivenAsJson) {
    // Words that contain a "-" further on are parameters, not options.
    const Outcome run = qivctl({"--socket", m_path, "echo", "dmpath=tank/data", "n=5", "m:=5", "list:=[1,\"a\"]",
                                "eq=a=b", "dmpath=tank/other", "neg:=-5", "dash=-x", "opt=--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QJsonObject expected{
        {"dmpath", "tank/other"}, {"n", "5"},       {"m", 5}, {"list", QJsonArray{1, "a"}}, {"eq", "a=b"}, {"neg", -5},
        {"dash", "-x"},           {"opt", "--json"}};
    EXPECT_EQ(run.reply.value("results").toObject(), expected) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("\n    \"err\": 0")) << "indented output: " << run.out.toStdString();
}

TEST_F(Qivctl, ExitStatusFollowsTheReply) {
    struct Case {
        QStringList args;
        int exitCode;
        int err;
    } cases[] = {
        {{"echo"}, 0, 0},
        {{"--json", R"({"cmd":"echo","params":{"a":1}})"}, 0, 0},
        {{"fail"}, 1, 9995},
        {{"--json", R"({"cmd":"fail"})"}, 1, 9995},
        {{"no_such_command"}, 1, 9885},
        {{"--json", R"({"cmd":"help","help":1})"}, 1, 9999},
        {{"echo", "--timeout", "5"}, 0, 0},  // options may follow the command
        {{"--", "-odd"}, 1, 9885},           // after "--" a command may begin with "-"
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const Outcome run = qivctl(QStringList{"--socket", m_path} + c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
        EXPECT_EQ(run.reply.value("err").toInt(-1), c.err);
    }
    // The socket may come from the environment instead.
    EXPECT_EQ(qivctl({"--timeout=5", "echo"}, m_path).exitCode, 0);
}

TEST_F(Qivctl, NoReplyExitsTwoAndSaysWhy) {
    const Outcome missing = qivctl({"--socket", m_dir.filePath("missing.sock"), "echo"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.out.isEmpty());
    EXPECT_TRUE(missing.err.contains("missing.sock")) << missing.err.toStdString();

    // A socket that accepts connections and never answers.
    const QByteArray path = QFile::encodeName(m_dir.filePath("silent.sock"));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    const Outcome silent = qivctl({"--socket", QString::fromLocal8Bit(path), "--timeout", "1", "echo"});
    ::close(fd);
    EXPECT_EQ(silent.exitCode, 2);
    EXPECT_TRUE(silent.err.contains("within 1 s")) << silent.err.toStdString();
}

TEST_F(Qivctl, CommandLineMistakesAreRefused) {
    const QStringList bad[] = {
        {"echo"},  // no socket anywhere
        {"--socket", m_path},
        {"--socket", m_path, "echo", "novalue"},
        {"--socket", m_path, "echo", "n:=nojson"},
        {"--socket", m_path, "--json", "[1]"},
        {"--socket", m_path, "--json", R"({"cmd":"echo"})", "extra"},
        {"--socket", m_path, "--timeout", "0", "echo"},
        {"--socket", m_path, "--bogus", "echo"},
        {"--socket", m_path, "echo", "-5"},
        {"--socket", m_path, "--timeout", "soon", "echo"},
        {"echo", "--socket"},
    };
    for (const QStringList &args : bad) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const Outcome run = qivctl(args);
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_FALSE(run.err.isEmpty());
    }
    const Outcome help = qivctl({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char *word : {"--socket", "QIVCTL_SOCKET", "--json", "--timeout", "KEY:=JSON", "Exit status"})
        EXPECT_TRUE(help.out.contains(word)) << word;
    // The short form after a command, with no socket anywhere, gives the same text.
    const Outcome shortHelp = qivctl({"echo", "-h"});
    EXPECT_EQ(shortHelp.exitCode, 0);
    EXPECT_EQ(shortHelp.out, help.out);
}

#include "moc_kp2serverharness.cpp"
