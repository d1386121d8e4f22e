// HTTP over libcurl's easy interface (declared in kp2utils.h).
#include <curl/curl.h>

#include <QJsonDocument>

#include <mutex>
#include <thread>

#include "kp2utils.h"

namespace {

// curl_global_init is not thread-safe; the first transfer of the process runs it once. Never cleaned up: detached
// transfers may outlive any owner.
void curlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t collect(char *data, size_t size, size_t count, void *userdata) {
    static_cast<QByteArray *>(userdata)->append(data, static_cast<int>(size * count));
    return size * count;
}

// One transfer: a GET limited to timeoutSeconds when body is null, else a JSON POST.
bool transfer(QByteArray &out, const QString &url, int timeoutSeconds, const QByteArray *body) {
    curlGlobalInit();
    CURL *curl = curl_easy_init();
    if (!curl) return false;
    const QByteArray address = url.toUtf8();
    QByteArray received;
    curl_slist *headers = nullptr;
    curl_easy_setopt(curl, CURLOPT_URL, address.constData());
    // Timeouts through signals are unsafe with threads.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
    if (!body) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeoutSeconds));
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else {
        headers = curl_slist_append(headers, "Content-Type:application/json");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->constData());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
        // A post may take as long as the server needs, but a stalled one (a detached thread among them) must end.
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    }
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    if (code != CURLE_OK) return false;
    const int cut = received.indexOf("\r\n\r\n");
    if (cut > 0) received.remove(0, cut + 4);
    out = received;
    return true;
}

bool toObject(QJsonObject &out, const QByteArray &bytes) {
    const QJsonDocument doc = parseJson(bytes);
    if (!doc.isObject()) return false;
    out = doc.object();
    return true;
}

}  // namespace

bool curlHttpGet(QByteArray &out, const QString &url, int timeoutSeconds) {
    return transfer(out, url, timeoutSeconds, nullptr);
}

bool curlHttpGet(QJsonObject &out, const QString &url, int timeoutSeconds) {
    QByteArray bytes;
    return curlHttpGet(bytes, url, timeoutSeconds) && toObject(out, bytes);
}

bool curlHttpPost(QJsonObject &out, const QString &url, const QJsonObject &body, QByteArray *raw) {
    QByteArray bytes;
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    if (!transfer(bytes, url, 0, &json)) return false;
    if (raw) *raw = bytes;
    return toObject(out, bytes);
}

void curlHttpGet(const QString &url, int timeoutSeconds) {
    std::thread([url, timeoutSeconds] {
        QByteArray ignored;
        curlHttpGet(ignored, url, timeoutSeconds);
    }).detach();
}

void curlHttpPost(const QString &url, const QJsonObject &body) {
    std::thread([url, body] {
        QJsonObject ignored;
        curlHttpPost(ignored, url, body);
    }).detach();
}
