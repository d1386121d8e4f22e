// KP3Http: blocking HTTP requests over Qt Network, each with its own time limit, following "Location" redirects.
// Also the task that KP3HttpPool runs on its threads (a QRunnable the pool owns and deletes).
// The request methods are reentrant: each call creates its own network access manager and event loop on the calling
// thread, so one object may serve several threads at once. They block the caller until the answer is in or the time
// limit has passed, up to 11 times over when redirects are followed.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QRunnable>
#include <QString>

#include <atomic>

class KP3HttpPool;

class KP3Http : public QObject, public QRunnable {
    Q_OBJECT
public:
    // The content type of form posts and of the pool's posts.
    static const char *const kFormContentType;  // "application/x-www-form-urlencoded; charset=UTF-8"
    // Redirects followed per request; one more fails with QNetworkReply::TooManyRedirectsError. Only http and https
    // targets are followed: a redirect to any other scheme fails with QNetworkReply::ProtocolUnknownError.
    static constexpr int kMaxRedirects = 10;

    // A request used directly, with a time limit in milliseconds per answer.
    explicit KP3Http(int timeLimitMs = 30000, QObject *parent = nullptr);
    // A pool task: method 1 posts body to url, method 2 gets url. userObject, when not null, is copied and handed
    // back with the answer. pool may be null (nothing is emitted then).
    KP3Http(KP3HttpPool *pool, int timeLimitMs, int method, const QString &url, const QByteArray &body,
            const QJsonObject *userObject);

    int timeLimit() const { return m_timeLimitMs; }
    void setTimeLimit(int ms) { m_timeLimitMs = ms; }

    // GET url with the framework's user agent. True when the final answer came without a network error: out then
    // holds its body; otherwise out stays as it was. error, when given, receives the final QNetworkReply::NetworkError
    // (0 for none). An answer unfinished at the time limit is aborted: false with OperationCanceledError.
    bool get(QByteArray &out, const QString &url, int *error = nullptr) const;
    // POST body with the raw headers and, when not empty, the content type; results as get().
    bool post(QByteArray &out, const QString &url, const QByteArray &body, int *error = nullptr,
              const QString &contentType = QString(),
              const QHash<QByteArray, QByteArray> &headers = QHash<QByteArray, QByteArray>()) const;
    // POSTs body as compact JSON text with kFormContentType. True only when the request succeeded and the answer is a
    // JSON object, which goes to out. raw, when given, receives the answer bytes whenever the request succeeded.
    bool post(QJsonObject &out, const QString &url, const QJsonObject &body, QByteArray *raw = nullptr) const;

    // The pool task: runs the request and, when it succeeded and both a pool and a user object are set, emits the
    // pool's onRespond from the running thread.
    void run() override;

private:
    Q_DISABLE_COPY(KP3Http)
    enum Method { Post = 1, Get = 2 };
    bool request(Method method, QByteArray &out, const QString &url, const QByteArray &body, int *error,
                 const QString &contentType, const QHash<QByteArray, QByteArray> &headers, int redirects) const;

    KP3HttpPool *m_pool = nullptr;
    int m_timeLimitMs = 30000;
    int m_method = Get;
    QString m_url;
    QByteArray m_body;
    bool m_hasUserObject = false;
    QJsonObject m_userObject;
    // Set last by the constructors with release order and read first by run() with acquire order. QThreadPool hands
    // the task to its thread under its own lock already; this pair states that order where ThreadSanitizer, which
    // does not see inside the uninstrumented toolkit, can check it.
    std::atomic<bool> m_built{false};
};
