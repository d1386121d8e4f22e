// KP3HttpPool: runs HTTP posts (KP3Http tasks) on up to four threads of its own and signals each successful answer.
// addPost may be called from any thread. onRespond is emitted from the pool thread that ran the task; receivers in
// other threads get it as a queued call. The pool owns its tasks; its destructor waits until every queued task has
// run, each within its time limit per answer.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QThreadPool>

class KP3HttpPool : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxThreads = 4;

    // timeLimitSeconds bounds each answer of every task.
    KP3HttpPool(QObject *parent, int timeLimitSeconds);
    ~KP3HttpPool() override;

    // Queues a POST of body's compact JSON text, or of body as given, with KP3Http::kFormContentType. userObject,
    // when not null, is copied and handed back by onRespond; without one the answer is dropped.
    void addPost(const QString &url, const QJsonObject &body, QJsonObject *userObject);
    void addPost(const QString &url, const QByteArray &body, QJsonObject *userObject);

    // Blocks up to msecs (no limit for -1) until no task is queued or running; true when none is.
    bool waitForDone(int msecs);

signals:
    void onRespond(QJsonObject userObject, QByteArray data);

private:
    Q_DISABLE_COPY(KP3HttpPool)
    QThreadPool m_threads;
    int m_timeLimitSeconds;
};
