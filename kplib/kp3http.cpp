#include "kp3http.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>

#include <memory>

#include "kp2utils.h"
#include "kp3httppool.h"

const char *const KP3Http::kFormContentType = "application/x-www-form-urlencoded; charset=UTF-8";

KP3Http::KP3Http(int timeLimitMs, QObject *parent) : QObject(parent), m_timeLimitMs(timeLimitMs) {
    m_built.store(true, std::memory_order_release);
}

KP3Http::KP3Http(KP3HttpPool *pool, int timeLimitMs, int method, const QString &url, const QByteArray &body,
                 const QJsonObject *userObject)
    : m_pool(pool),
      m_timeLimitMs(timeLimitMs),
      m_method(method),
      m_url(url),
      m_body(body),
      m_hasUserObject(userObject != nullptr),
      m_userObject(userObject ? *userObject : QJsonObject()) {
    m_built.store(true, std::memory_order_release);
}

bool KP3Http::get(QByteArray &out, const QString &url, int *error) const {
    return request(Get, out, url, QByteArray(), error, QString(), QHash<QByteArray, QByteArray>(), 0);
}

bool KP3Http::post(QByteArray &out, const QString &url, const QByteArray &body, int *error, const QString &contentType,
                   const QHash<QByteArray, QByteArray> &headers) const {
    return request(Post, out, url, body, error, contentType, headers, 0);
}

bool KP3Http::post(QJsonObject &out, const QString &url, const QJsonObject &body, QByteArray *raw) const {
    QByteArray answer;
    if (!post(answer, url, QJsonDocument(body).toJson(QJsonDocument::Compact), nullptr,
              QString::fromLatin1(kFormContentType)))
        return false;
    if (raw) *raw = answer;
    const QJsonDocument doc = parseJson(answer);
    if (!doc.isObject()) return false;
    out = doc.object();
    return true;
}

// One answer per call; a redirect repeats the whole request for the new address with a fresh manager, so every hop
// gets the full time limit. redirects counts the hops taken so far.
bool KP3Http::request(Method method, QByteArray &out, const QString &url, const QByteArray &body, int *error,
                      const QString &contentType, const QHash<QByteArray, QByteArray> &headers, int redirects) const {
    QNetworkRequest req{QUrl(url)};
    if (url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)) {
        // The servers this talks to use self-signed certificates and old protocol versions.
        QSslConfiguration ssl = req.sslConfiguration();
        ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
        ssl.setProtocol(QSsl::TlsV1SslV3);
        req.setSslConfiguration(ssl);
    }
    if (method == Get) {
        req.setRawHeader("User-Agent", "OTTSDK;1.0.8.6;Android;7.1.1;R11");
    } else {
        for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) req.setRawHeader(it.key(), it.value());
        if (!contentType.isEmpty()) req.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
        req.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    }

    QNetworkAccessManager manager;
    // Deleted here rather than through deleteLater: a pool thread runs no event loop after the task.
    std::unique_ptr<QNetworkReply> reply(method == Get ? manager.get(req) : manager.post(req, body));
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(m_timeLimitMs);
    if (!reply->isFinished()) loop.exec();
    // An answer still arriving at the limit would otherwise pass for a complete one: abort it, which reports
    // OperationCanceledError.
    if (!reply->isFinished()) reply->abort();

    int code = reply->error();
    const QByteArray location = reply->rawHeader("Location").trimmed();
    bool ok = false;
    if (!location.isEmpty()) {
        const QUrl target = QUrl(url).resolved(QUrl::fromEncoded(location));
        const QString scheme = target.scheme().toLower();
        if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
            // A server must not turn a request into a read of a local file (file:) or of text it made up (data:).
            code = QNetworkReply::ProtocolUnknownError;
        } else if (redirects < kMaxRedirects) {
            const QString next = target.toString();
            int nextCode = QNetworkReply::NoError;
            ok = request(method, out, next, body, &nextCode, contentType, headers, redirects + 1);
            code = nextCode;
        } else {
            // A chain of redirects that does not end (a "Location" pointing back at itself) fails here.
            code = QNetworkReply::TooManyRedirectsError;
        }
    } else if (code == QNetworkReply::NoError) {
        out = reply->readAll();
        ok = true;
    }
    if (error) *error = code;
    return ok;
}

void KP3Http::run() {
    if (!m_built.load(std::memory_order_acquire)) return;  // never: the constructors set it
    QByteArray out;
    const bool ok =
        m_method == Get ? get(out, m_url) : post(out, m_url, m_body, nullptr, QString::fromLatin1(kFormContentType));
    if (ok && m_pool && m_hasUserObject) emit m_pool->onRespond(m_userObject, out);
}
