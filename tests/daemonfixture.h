// DaemonFixture: the fixture of the suites that run the daemon binary (build/bin/qivclient) as a real process.
// Each test gets a fresh temporary appliance root with the stand-in zfs and object-store tool in place (state below
// the root, the bin directory first on PATH, so that no test daemon reaches a real zfs). A daemon still running
// after the test must quit cleanly. Used from the test's own thread, except call(), which any thread may use.
#pragma once

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

class DaemonFixture : public ::testing::Test {
protected:
    void SetUp() override;
    // Sends SIGTERM to a daemon that still runs and expects it to end normally with status 0 (a sanitizer build
    // that found a fault ends otherwise); then stops the core agent.
    void TearDown() override;

    // Starts the daemon with "--root <root>" followed by args, in the root as working directory, and waits until
    // it runs. Forgets the output of an earlier run. ownGroup: the daemon leads a process group (id: its pid).
    ::testing::AssertionResult start(const QStringList &args, bool ownGroup = false);
    // Writes a start-up configuration with debugging on and socket() as "localagentid", starts the daemon with it
    // and waits for its "Local agent: " line, which it prints once it listens.
    ::testing::AssertionResult serve(bool ownGroup = false);
    // Starts the stand-in core agent on the appliance's agent socket, answering with the given serial number.
    bool startAgent(const QString &serial);

    // Everything the daemon has written to standard output so far (after waiting a moment for more).
    QByteArray daemonOutput();
    // One request on socket(), without "params" when they are empty; an empty object when no reply came.
    QJsonObject call(const QString &cmd, const QJsonObject &params = QJsonObject()) const;

    // Runs program (found on env's PATH, as the daemon finds it) with env within a minute; its exit status, -1 for a
    // crash or time-out; its output, both channels, in *out.
    int run(const QString &program, const QStringList &args, QByteArray *out = nullptr) const;
    // Queues a restore (qivclient_remote_restore with params), expecting it accepted, and waits up to a minute until
    // it has ended; its record in the status.
    QJsonObject restore(const QJsonObject &params) const;
    // Writes the daemon's settings: active, complete credentials, the given selection.
    bool writeActiveSettings(const QJsonArray &dmpaths = QJsonArray()) const;

    // An appliance path ("/ovra/...") below the root.
    QString path(const QString &appliancePath) const { return root.path() + appliancePath; }
    // The socket serve() names; its directory does not exist before the daemon starts.
    QString socket() const { return root.filePath(QStringLiteral("run/qiv/qivclient.sock")); }

    QTemporaryDir root;
    QString zfsState;         // the stand-in zfs's datasets, snapshots, failure switches and calls.log
    QString orvState;         // the stand-in object-store tool's objects and calls.log
    QProcessEnvironment env;  // the daemon's environment; also right for running the stand-ins directly
    QProcess daemon;
    QProcess agent;

private:
    QByteArray m_output;
};
