#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QNetworkReply>

#include <algorithm>
#include <mutex>

#include "httptestserver.h"
#include "kp3http.h"
#include "kp3httppool.h"

namespace {

HttpTestServer::Answer redirectTo(const QByteArray &location) {
    return {HttpTestServer::reply(302, QByteArray(), "Location: " + location + "\r\n")};
}

}  // namespace

// One GET per row against the test's own server, with a short time limit.
TEST(KP3Http, GetFollowsRedirectsAndFailsOnLoopsTimeoutsAndErrors) {
    HttpTestServer server;
    server.route("/a", redirectTo(server.url("/b").toUtf8()));
    server.route("/b", redirectTo(" /c "));  // relative, with blanks around it
    server.route("/c", {HttpTestServer::reply(200, "third")});
    server.route("/loop", redirectTo("/loop"));
    server.route("/slow", {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\npartial", true});
    const struct {
        const char *name;
        QString url;
        bool ok;
        int error;
        QByteArray out;
        int requests;  // how many the server read
    } rows[] = {
        {"two redirects", server.url("/a"), true, QNetworkReply::NoError, "third", 3},
        {"redirect loop", server.url("/loop"), false, QNetworkReply::TooManyRedirectsError, "old", 11},
        {"answer unfinished at the limit", server.url("/slow"), false, QNetworkReply::OperationCanceledError, "old", 1},
        {"not found", server.url("/none"), false, QNetworkReply::ContentNotFoundError, "old", 1},
        {"unreachable port", QStringLiteral("http://127.0.0.1:%1/").arg(HttpTestServer::closedPort()), false,
         QNetworkReply::ConnectionRefusedError, "old", 0},
    };
    const KP3Http http(300);
    for (const auto &row : rows) {
        const int before = server.received().size();
        QByteArray out = "old";
        int error = -1;
        EXPECT_EQ(http.get(out, row.url, &error), row.ok) << row.name;
        EXPECT_EQ(error, row.error) << row.name;
        EXPECT_EQ(out, row.out) << row.name;
        EXPECT_EQ(server.received().size() - before, row.requests) << row.name;
    }
    for (const HttpTestServer::Request &r : server.received().mid(0, 3)) {
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(r.headers.value("user-agent"), "OTTSDK;1.0.8.6;Android;7.1.1;R11");
    }
}

TEST(KP3Http, PostSendsItsHeadersContentTypeAndBody) {
    HttpTestServer server;
    server.route("/p", {HttpTestServer::reply(200, "done")});
    QByteArray out;
    int error = -1;
    ASSERT_TRUE(KP3Http().post(out, server.url("/p"), "a=1&b=2", &error, "text/plain", {{"X-Token", "t1"}}));
    EXPECT_EQ(out, "done");
    EXPECT_EQ(error, 0);
    const HttpTestServer::Request r = server.received().value(0);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.headers.value("x-token"), "t1");
    EXPECT_EQ(r.headers.value("content-type"), "text/plain");
    EXPECT_EQ(r.headers.value("content-length"), "7");
    EXPECT_EQ(r.body, "a=1&b=2");
}

TEST(KP3Http, JsonPostNeedsAnObjectAnswerButAlwaysFillsRaw) {
    HttpTestServer server;
    server.route("/object", {HttpTestServer::reply(200, "{\"r\":1}")});
    server.route("/text", {HttpTestServer::reply(200, "plain words")});
    const KP3Http http;
    QJsonObject out;
    QByteArray raw;
    EXPECT_TRUE(http.post(out, server.url("/object"), QJsonObject{{"q", 2}}, &raw));
    EXPECT_EQ(out, (QJsonObject{{"r", 1}}));
    EXPECT_FALSE(http.post(out, server.url("/text"), QJsonObject{{"q", 2}}, &raw));
    EXPECT_EQ(raw, "plain words");
    const HttpTestServer::Request r = server.received().value(0);
    EXPECT_EQ(r.body, "{\"q\":2}");
    EXPECT_EQ(r.headers.value("content-type"), KP3Http::kFormContentType);
}

// Several posts at once on the pool's threads; the receiver is called directly on those threads.
TEST(KP3HttpPool, RespondsOncePerAnswerThatHasAUserObject) {
    HttpTestServer server;
    server.route("/p", {HttpTestServer::reply(200, "pong")});
    std::mutex lock;
    QList<int> seen;
    KP3HttpPool pool(nullptr, 10);
    QObject::connect(
        &pool, &KP3HttpPool::onRespond, &pool,
        [&](const QJsonObject &user, const QByteArray &data) {
            std::lock_guard<std::mutex> guard(lock);
            seen << (data == "pong" ? user.value("n").toInt() : -1);
        },
        Qt::DirectConnection);
    for (int n = 0; n < 8; ++n) {
        QJsonObject user{{"n", n}};
        if (n % 2)
            pool.addPost(server.url("/p"), QJsonObject{{"n", n}}, &user);
        else
            pool.addPost(server.url("/p"), QByteArray("raw"), &user);
    }
    pool.addPost(server.url("/p"), QByteArray("nobody"), nullptr);
    pool.addPost(server.url("/p"), QJsonObject(), nullptr);
    ASSERT_TRUE(pool.waitForDone(30000));
    std::lock_guard<std::mutex> guard(lock);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, QList<int>({0, 1, 2, 3, 4, 5, 6, 7}));
    QList<QByteArray> bodies;
    for (const HttpTestServer::Request &r : server.received()) {
        EXPECT_EQ(r.headers.value("content-type"), KP3Http::kFormContentType);
        bodies << r.body;
    }
    std::sort(bodies.begin(), bodies.end());
    EXPECT_EQ(bodies, QList<QByteArray>({"nobody", "raw", "raw", "raw", "raw", "{\"n\":1}", "{\"n\":3}", "{\"n\":5}",
                                         "{\"n\":7}", "{}"}));
}
