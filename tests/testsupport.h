// Helpers shared by the tests: waiting on a condition with a deadline, files in temporary roots, the stand-in
// programs in the build's bin directory, and requests to a running daemon.
#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <functional>

namespace testsupport {

// Polls done() every few milliseconds until it holds or timeoutMs passes; true when it held.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000);

// A program of the build's bin directory (the daemon, qivctl, the stand-ins).
QString binPath(const QString &name);

// Writes JSON (indented) or bytes, creating missing directories; false on failure.
bool writeJson(const QString &path, const QJsonObject &object);
bool writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);

// Starts the stand-in core agent on socket with the given mode arguments and waits until it listens.
bool startAgent(QProcess &agent, const QString &socket, const QStringList &mode, const QString &log = QString());
// Ends a process started by a test: SIGTERM, then SIGKILL if it lingers.
void stopProcess(QProcess &process);

// One request over the local socket; an empty object when no reply came within timeoutSeconds.
QJsonObject request(const QString &socket, const QJsonObject &request, int timeoutSeconds = 30);

}  // namespace testsupport
