#include "kp3httppool.h"

#include <QJsonDocument>

#include "kp3http.h"

KP3HttpPool::KP3HttpPool(QObject *parent, int timeLimitSeconds)
    : QObject(parent), m_timeLimitSeconds(timeLimitSeconds) {
    m_threads.setMaxThreadCount(kMaxThreads);
}

// Waits before the members go: a running task still emits onRespond through this object. The wait has no limit of
// its own; each task ends within its time limit per answer.
KP3HttpPool::~KP3HttpPool() {
    m_threads.waitForDone();
}

void KP3HttpPool::addPost(const QString &url, const QJsonObject &body, QJsonObject *userObject) {
    addPost(url, QJsonDocument(body).toJson(QJsonDocument::Compact), userObject);
}

void KP3HttpPool::addPost(const QString &url, const QByteArray &body, QJsonObject *userObject) {
    // autoDelete is on: the thread pool deletes the task after run().
    m_threads.start(new KP3Http(this, m_timeLimitSeconds * 1000, 1, url, body, userObject));
}

bool KP3HttpPool::waitForDone(int msecs) {
    return m_threads.waitForDone(msecs);
}
