// Dispatch through the router tree, the server-level fallback for unknown commands and the interface listing.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "kp2cabinet.h"
#include "kp2localserver.h"
#include "kp2todorouter.h"

// Readable failure output for the Qt values compared below.
void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}
void PrintTo(const QStringList &l, std::ostream *os) {
    *os << l.join(", ").toStdString();
}
void PrintTo(const QJsonObject &o, std::ostream *os) {
    *os << QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

namespace {

// Slots mark the reply with the router's name so that a test can see who answered.
class MarkRouter : public KP2TodoRouter {
    Q_OBJECT
public:
    explicit MarkRouter(const QString &mark) : m_mark(mark) {}
    QString m_mark;

protected:
    void mark(QJsonObject *reply, const char *slot) const {
        reply->insert(QStringLiteral("by"), m_mark + QLatin1Char('.') + QLatin1String(slot));
    }
};

class PlainX : public MarkRouter {
    Q_OBJECT
public:
    using MarkRouter::MarkRouter;
public slots:
    void x(QJsonObject *retObject, QJsonObject, KP2Cabinet *envObject) {
        mark(retObject, "x");
        envObject->setErr(0, QString());
    }
};

class CallX : public MarkRouter {
    Q_OBJECT
public:
    using MarkRouter::MarkRouter;
public slots:
    void __LS__x(QJsonObject *retObject, QJsonObject, KP2Cabinet *) { mark(retObject, "__LS__x"); }
};

class DeepY : public MarkRouter {
    Q_OBJECT
public:
    using MarkRouter::MarkRouter;
public slots:
    void y(QJsonObject *retObject, QJsonObject, KP2Cabinet *) { mark(retObject, "y"); }
    // Right name, wrong parameter lists: never a command.
    void z(QJsonObject *retObject, QJsonObject) { mark(retObject, "z"); }
    void w(int, QJsonObject *retObject, QJsonObject, KP2Cabinet *) { mark(retObject, "w"); }
};

// Usage templates for the listing, one slot per case.
class Described : public KP2TodoRouter {
    Q_OBJECT
public slots:
    void only_comment(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *) {
        if (cmdObject.contains(QStringLiteral("help"))) *retObject = QJsonObject{{"comment", "c1"}};
    }
    void with_token(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *) {
        if (cmdObject.contains(QStringLiteral("help")))
            *retObject = QJsonObject{{"comment", "c2"}, {"params", QJsonObject{{"a", "A"}}}, {"token", "tk"}};
    }
    void hidden(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *) {
        if (cmdObject.contains(QStringLiteral("help")))
            *retObject = QJsonObject{{"comment", "c3"}, {"unpublished", true}};
    }
    void hidden_by_text(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *) {
        if (cmdObject.contains(QStringLiteral("help"))) *retObject = QJsonObject{{"unpublished", "Yes"}};
    }
    void shown_unpublished_false(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *) {
        if (cmdObject.contains(QStringLiteral("help")))
            *retObject = QJsonObject{{"comment", "c4"}, {"unpublished", "no"}};
    }
    void empty_template(QJsonObject *retObject, QJsonObject cmdObject, KP2Cabinet *) {
        if (cmdObject.contains(QStringLiteral("help"))) *retObject = QJsonObject();
    }
    void leading(int, QJsonObject *, QJsonObject, KP2Cabinet *) {}
    void _private(QJsonObject *retObject, QJsonObject, KP2Cabinet *) { *retObject = QJsonObject{{"comment", "x"}}; }
    void __LS__secret(QJsonObject *, QJsonObject, KP2Cabinet *) {}
};

// A second router with a command of the same name as one above: the first in tree order is listed.
class Duplicate : public KP2TodoRouter {
    Q_OBJECT
public slots:
    void only_comment(QJsonObject *retObject, QJsonObject, KP2Cabinet *) { *retObject = {{"comment", "second"}}; }
};

QJsonObject request(const QJsonValue &cmd) {
    return QJsonObject{{"cmd", cmd}};
}

// Runs a request through the server-level dispatch as a connection does and returns the reply.
QJsonObject serve(KP2LocalServer &server, const QJsonObject &req, KP2Cabinet &cabinet) {
    cabinet.reset(9999, QString(), QJsonArray());
    QJsonObject reply{{"err", 9999}};
    server.doCall(reply, req, &cabinet);
    cabinet.toRetObject(reply, false);
    return reply;
}

}  // namespace

TEST(KP2TodoRouter, DispatchFollowsTreeOrderAndCallSlotsComeFirst) {
    // root ── a (PlainX "x") ── aa (DeepY "y")
    //      └─ b (PlainX "x", DeepY below)  └─ bb (CallX "__LS__x")
    KP2LocalServer server;
    PlainX a("a"), b("b");
    DeepY aa("aa");
    CallX bb("bb");
    a.add(&aa);
    b.add(&bb);
    server.add(&a);
    server.add(&b);
    KP2Cabinet cabinet;

    // "__LS__x" deep in the second branch beats the plain "x" of the first router.
    EXPECT_EQ(serve(server, request("x"), cabinet).value("by").toString(), "bb.__LS__x");
    // Two levels down.
    EXPECT_EQ(serve(server, request("y"), cabinet).value("by").toString(), "aa.y");
    // Surrounding blanks are not part of the name.
    EXPECT_EQ(serve(server, request("  y\t"), cabinet).value("by").toString(), "aa.y");

    // Without the call slot, a router's own slot beats its children's and the first branch beats the second.
    b.del(&bb);
    EXPECT_EQ(serve(server, request("x"), cabinet).value("by").toString(), "a.x");
    server.root()->del(&a);
    EXPECT_EQ(serve(server, request("x"), cabinet).value("by").toString(), "b.x");
}

TEST(KP2TodoRouter, UnknownCommandsAreAnswered9885WithTheCommand) {
    KP2LocalServer server;
    DeepY deep("d");
    server.add(&deep);
    KP2Cabinet cabinet;
    const QString prefix = QStringLiteral("被调用的方法不存在: ");

    struct Case {
        QJsonObject request;
        QString errmsg;
    } cases[] = {
        {request("nope"), prefix + "nope"},
        {request(" nope "), prefix + " nope "},  // the message quotes "cmd" untrimmed
        {request(""), prefix},
        {QJsonObject{{"params", QJsonObject()}}, prefix},
        {request(42), prefix},
        {request("z"), prefix + "z"},  // right name, parameter list too short
        {request("w"), prefix + "w"},  // right name, an extra leading parameter
        {request("__LS__x"), prefix + "__LS__x"},
        // A parameter list inside the command must not be read as one: no slot has this name.
        {request("y(QJsonObject*,QJsonObject,KP2Cabinet*)"), prefix + "y(QJsonObject*,QJsonObject,KP2Cabinet*)"},
        {request("y z"), prefix + "y z"},
    };
    for (const Case &c : cases) {
        const QJsonObject reply = serve(server, c.request, cabinet);
        EXPECT_EQ(reply.value("err").toInt(), 9885)
            << QJsonValue(c.request).toObject().value("cmd").toString().toStdString();
        EXPECT_EQ(reply.value("errmsg").toString(), c.errmsg);
        EXPECT_FALSE(reply.contains("by"));
    }
}

TEST(KP2TodoRouter, RouterLevelSearchReportsMissWithoutMessage) {
    DeepY router("r");
    QJsonObject reply{{"err", 1}};
    EXPECT_FALSE(router.doSlot(reply, request("missing"), nullptr));
    EXPECT_EQ(reply, (QJsonObject{{"err", 9885}}));
    // An empty command leaves the reply alone.
    QJsonObject untouched{{"err", 1}};
    EXPECT_FALSE(router.doCall(untouched, request("   "), nullptr));
    EXPECT_EQ(untouched, (QJsonObject{{"err", 1}}));
    // A found slot counts as handled whatever it records.
    KP2Cabinet cabinet;
    EXPECT_TRUE(router.doSlot(reply, request("y"), &cabinet));
    EXPECT_EQ(cabinet.err(), 9999);
}

TEST(KP2TodoRouter, ChildrenListKeepsOneEntryPerRouter) {
    KP2TodoRouter root, a, b;
    root.add(&a);
    root.add(&a);
    root.add(nullptr);
    root.add(&b);
    EXPECT_EQ(root.list(), (QList<KP2TodoRouter *>{&a, &b}));
    KP2TodoRouter stranger;
    root.del(&stranger);
    EXPECT_EQ(root.list().size(), 2);
    root.del(&a);
    EXPECT_EQ(root.list(), (QList<KP2TodoRouter *>{&b}));
}

TEST(KP2TodoRouter, InjectSetsMessageOnlyWhenGiven) {
    KP2TodoRouter router;
    QJsonObject reply{{"errmsg", "old"}};
    router.inject(&reply, 5, QString());
    EXPECT_EQ(reply, (QJsonObject{{"err", 5}, {"errmsg", "old"}}));
    router.inject(&reply, 6, "new");
    EXPECT_EQ(reply, (QJsonObject{{"err", 6}, {"errmsg", "new"}}));
    router.inject(nullptr, 7, "ignored");
}

TEST(KP2TodoRouter, HelpInterfacesAnnotatesEveryPublishedCommand) {
    KP2LocalServer server;
    Described described;
    Duplicate duplicate;
    server.add(&described);
    server.add(&duplicate);
    KP2Cabinet cabinet;

    // "params" → "cmd" does not narrow the listing.
    const QJsonObject reply = serve(
        server, QJsonObject{{"cmd", " help_interfaces "}, {"params", QJsonObject{{"cmd", "with_token"}}}}, cabinet);
    EXPECT_EQ(reply.value("err").toInt(), 0);
    const QJsonObject listing = reply.value("results").toObject();

    const QString noParams = QStringLiteral("本接口没有参数");
    const QString tokenText = QStringLiteral("登录成功时返回的token");
    const QString tokenOptional = QStringLiteral("允许不传token，但已登录时建议传入");
    const QJsonObject fallback{{"comment", QStringLiteral("<<此接口没有提供使用说明>>")}};

    EXPECT_EQ(listing.value("help_interfaces").toObject(),
              (QJsonObject{{"cmd", "help_interfaces"},
                           {"comment", QStringLiteral("获取接口的使用说明")},
                           {"params", QJsonObject{{"cmd", QStringLiteral("接口名(可选)")}}},
                           {"params-comment",
                            QJsonObject{{"cmd", QStringLiteral("可选的接口名, 不指定时显示所有接口的使用说明")}}}}));
    EXPECT_EQ(listing.value("only_comment").toObject(), (QJsonObject{{"comment", "c1"},
                                                                     {"params-comment", noParams},
                                                                     {"token-comment", tokenOptional},
                                                                     {"cmd", "only_comment"}}));
    EXPECT_EQ(listing.value("with_token").toObject(), (QJsonObject{{"comment", "c2"},
                                                                   {"params", QJsonObject{{"a", "A"}}},
                                                                   {"token", tokenText},
                                                                   {"token-comment", tokenText},
                                                                   {"cmd", "with_token"}}));
    EXPECT_EQ(listing.value("shown_unpublished_false").toObject().value("comment").toString(), "c4");

    QJsonObject emptyEntry = fallback;
    emptyEntry.insert("cmd", "empty_template");
    EXPECT_EQ(listing.value("empty_template").toObject(), emptyEntry);
    QJsonObject leadingEntry = fallback;
    leadingEntry.insert("cmd", "leading");
    EXPECT_EQ(listing.value("leading").toObject(), leadingEntry);

    EXPECT_EQ(listing.keys(), (QStringList{"empty_template", "help_interfaces", "leading", "only_comment",
                                           "shown_unpublished_false", "with_token"}));
}

TEST(KP2TodoRouter, NameListingCoversTheSubtreeWithoutFiltering) {
    KP2TodoRouter root;
    Described described;
    DeepY deep("d");
    root.add(&described);
    root.add(&deep);
    QStringList names;
    root.allInterfaces(names);
    EXPECT_EQ(names, (QStringList{"help_interfaces", "help_interfaces", "only_comment", "with_token", "hidden",
                                  "hidden_by_text", "shown_unpublished_false", "empty_template", "leading",
                                  "help_interfaces", "y", "w"}));
}

#include "kp2todorouter_test.moc"
