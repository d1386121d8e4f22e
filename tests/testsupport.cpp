#include "testsupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QThread>

#include "kp2localserver.h"

namespace testsupport {

bool waitUntil(const std::function<bool()> &done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return false;
        QThread::msleep(5);
    }
    return true;
}

QString binPath(const QString &name) {
    return QStringLiteral(QIV_BIN_DIR "/") + name;
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

bool writeJson(const QString &path, const QJsonObject &object) {
    return writeFile(path, QJsonDocument(object).toJson());
}

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool startAgent(QProcess &agent, const QString &socket, const QStringList &mode, const QString &log) {
    QStringList args{QStringLiteral("--socket"), socket};
    args += mode;
    if (!log.isEmpty()) args += QStringList{QStringLiteral("--log"), log};
    agent.start(binPath(QStringLiteral("fake_agent")), args);
    if (!agent.waitForStarted(5000)) return false;
    return waitUntil([&] {
        agent.waitForReadyRead(10);
        return agent.canReadLine() && agent.readLine().startsWith("ready");
    });
}

void stopProcess(QProcess &process) {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

QJsonObject request(const QString &socket, const QJsonObject &req, int timeoutSeconds) {
    QJsonObject reply;
    if (!KP2LocalServer::localRequest(socket, req, &reply, timeoutSeconds)) return QJsonObject();
    return reply;
}

}  // namespace testsupport

// Every test runs with a core application, as the framework's classes expect (processes, sockets, timers).
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
