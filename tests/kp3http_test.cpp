#include <gtest/gtest.h>

#include <QNetworkReply>

#include <algorithm>
#include <mutex>

#include "httptestserver.h"
#include "kp3http.h"
#include "kp3httppool.h"

// One GET per row, with a short time limit.
TEST(KP3Http, GetFollowsRedirectsAndFailsOnLoopsTimeoutsAndErrors) {
    HttpTestServer server;
    server.route("/a", HttpTestServer::reply(302, "", "Location: " + server.url("/b").toUtf8() + "\r\n"));
    server.route("/b", HttpTestServer::reply(301, "", "Location:  /c \r\n"));  // relative, blanks around it
    server.route("/c", HttpTestServer::reply(200, "third"));
    server.route("/loop", HttpTestServer::reply(302, "", "Location: /loop\r\n"));
    server.route("/file", HttpTestServer::reply(302, "", "Location: file:///etc/hostname\r\n"));
    server.route("/data", HttpTestServer::reply(301, "", "Location: data:text/plain,made-up\r\n"));
    server.route("/slow", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\npartial", true);
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
        {"redirect to a local file", server.url("/file"), false, QNetworkReply::ProtocolUnknownError, "old", 1},
        {"redirect to data", server.url("/data"), false, QNetworkReply::ProtocolUnknownError, "old", 1},
        {"answer unfinished at the limit", server.url("/slow"), false, QNetworkReply::OperationCanceledError, "old", 1},
        {"not found", server.url("/none"), false, QNetworkReply::ContentNotFoundError, "old", 1},
        {"unreachable port", HttpTestServer().url("/"), false, QNetworkReply::ConnectionRefusedError, "old", 0},
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
    EXPECT_TRUE(server.received().value(2).head.startsWith("GET /c "));
    EXPECT_EQ(server.received().value(2).header("user-agent"), "OTTSDK;1.0.8.6;Android;7.1.1;R11");
}

TEST(KP3Http, PostSendsItsHeadersAndJsonPostNeedsAnObjectAnswerButFillsRawAnyway) {
    HttpTestServer server;
    server.route("/object", HttpTestServer::reply(200, "{\"r\":1}"));
    server.route("/text", HttpTestServer::reply(200, "plain words"));
    const KP3Http http;
    QByteArray out, raw;
    EXPECT_TRUE(http.post(out, server.url("/object"), "a=1", nullptr, "text/plain", {{"X-Token", "t1"}}));
    QJsonObject object;
    EXPECT_TRUE(http.post(object, server.url("/object"), QJsonObject{{"q", 2}}, &raw));
    EXPECT_EQ(object, (QJsonObject{{"r", 1}}));
    EXPECT_FALSE(http.post(object, server.url("/text"), QJsonObject{{"q", 2}}, &raw));
    EXPECT_EQ(raw, "plain words");
    const QList<HttpTestServer::Request> got = server.received();
    ASSERT_EQ(got.size(), 3);
    EXPECT_TRUE(got[0].head.startsWith("POST /object "));
    EXPECT_EQ(got[0].header("x-token"), "t1");
    EXPECT_EQ(got[0].header("content-type"), "text/plain");
    EXPECT_EQ(got[0].body, "a=1");
    EXPECT_EQ(got[1].header("content-type"), KP3Http::kFormContentType);
    EXPECT_EQ(got[1].body, "{\"q\":2}");
    server.route("/file", HttpTestServer::reply(302, "", "Location: file:///etc/hostname\r\n"));
    int error = -1;
    out = "old";
    EXPECT_FALSE(http.post(out, server.url("/file"), "a=1", &error));
    EXPECT_EQ(error, QNetworkReply::ProtocolUnknownError);
    EXPECT_EQ(out, "old");
}

// Several posts at once on the pool's threads; the receiver runs directly on those threads.
TEST(KP3HttpPool, RespondsOncePerSuccessfulPostThatHasAUserObject) {
    HttpTestServer server;
    server.route("/p", HttpTestServer::reply(200, "pong"));
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
    QJsonObject user;
    for (int n = 0; n < 8; ++n) {
        user = {{"n", n}};
        n % 2 ? pool.addPost(server.url("/p"), user, &user) : pool.addPost(server.url("/p"), QByteArray("raw"), &user);
    }
    pool.addPost(server.url("/p"), QByteArray("no user object"), nullptr);
    pool.addPost(server.url("/none"), QByteArray("failing"), &user);
    ASSERT_TRUE(pool.waitForDone(30000));
    std::lock_guard<std::mutex> guard(lock);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, QList<int>({0, 1, 2, 3, 4, 5, 6, 7}));
    QList<QByteArray> bodies;
    for (const HttpTestServer::Request &r : server.received()) bodies << r.body;
    EXPECT_EQ(bodies.size(), 10);
    EXPECT_TRUE(bodies.contains("{\"n\":1}") && bodies.contains("no user object"));
}
