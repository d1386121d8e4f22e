#include <gtest/gtest.h>

#include <QJsonObject>

#include "httptestserver.h"
#include "kp2utils.h"
#include "testsupport.h"

// One blocking GET per row; the answer's body is what the header cut sees.
TEST(KP2UtilsCurl, GetReturnsTheBodyAfterTheHeaderCutAndFailsWithoutACompleteTransfer) {
    HttpTestServer server;
    server.route("/plain", HttpTestServer::reply(200, "hello"));
    server.route("/cut", HttpTestServer::reply(200, "head\r\n\r\ntail\r\n\r\nend"));
    server.route("/lead", HttpTestServer::reply(200, "\r\n\r\nx"));
    server.route("/slow", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\npartial", true);
    const struct {
        const char *name;
        QString url;
        bool ok;
        QByteArray out;
    } rows[] = {
        {"plain body", server.url("/plain"), true, "hello"},
        {"cut after the first empty line", server.url("/cut"), true, "tail\r\n\r\nend"},
        {"empty line at the start stays", server.url("/lead"), true, "\r\n\r\nx"},
        {"error status is still a transfer", server.url("/none"), true, "not found"},
        {"unfinished at the limit", server.url("/slow"), false, "old"},
        {"unreachable port", HttpTestServer().url("/"), false, "old"},
    };
    for (const auto &row : rows) {
        QByteArray out = "old";
        EXPECT_EQ(curlHttpGet(out, row.url, 1), row.ok) << row.name;
        EXPECT_EQ(out, row.out) << row.name;
    }
}

TEST(KP2UtilsCurl, JsonFormsNeedAnObjectAnswerAndPostFillsRawAnyway) {
    HttpTestServer server;
    server.route("/object", HttpTestServer::reply(200, "{\"r\":1}"));
    server.route("/array", HttpTestServer::reply(200, "[1]"));
    QJsonObject out;
    QByteArray raw;
    EXPECT_TRUE(curlHttpGet(out, server.url("/object"), 5));
    EXPECT_FALSE(curlHttpGet(out, server.url("/array"), 5));
    EXPECT_TRUE(curlHttpPost(out, server.url("/object"), QJsonObject{{"q", 2}}, &raw));
    EXPECT_EQ(out, (QJsonObject{{"r", 1}}));
    EXPECT_FALSE(curlHttpPost(out, server.url("/array"), QJsonObject{{"q", 2}}, &raw));
    EXPECT_EQ(raw, "[1]");
    const HttpTestServer::Request post = server.received().value(2);
    EXPECT_TRUE(post.head.startsWith("POST /object "));
    EXPECT_EQ(post.header("content-type"), "application/json");
    EXPECT_EQ(post.body, "{\"q\":2}");
}

TEST(KP2UtilsCurl, DetachedFormsReturnAtOnceAndStillSendTheirRequest) {
    HttpTestServer server;
    curlHttpGet(server.url("/get"), 5);  // the caller's url and body are temporaries: the threads keep copies
    curlHttpPost(server.url("/post"), QJsonObject{{"k", "v"}});
    ASSERT_TRUE(testsupport::waitUntil([&] { return server.received().size() == 2; }));
    QList<QByteArray> got;
    for (const HttpTestServer::Request &r : server.received()) got << r.head.split(' ').value(1) + " " + r.body;
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, QList<QByteArray>({"/get ", "/post {\"k\":\"v\"}"}));
}
