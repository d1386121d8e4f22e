#include "kp2rpcpacket.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <cstring>

namespace {
QByteArray bytes(const char *text, int size) {
    return QByteArray(text, size);
}

// A data datagram header announcing J bytes of JSON and A bytes of attachment.
QByteArray header(quint32 j, quint32 a) {
    QByteArray h = bytes("\0kp\x01\x01", 5);
    h.append(reinterpret_cast<const char *>(&j), 4).append(reinterpret_cast<const char *>(&a), 4);
    return h.append("\xff\xff\xff", 3);
}

QJsonObject json(const char *text) {
    return QJsonDocument::fromJson(text).object();
}
}  // namespace

TEST(KP2RpcPacket, EncodesCommandAndEmptyObjectByteExact) {
    KP2RpcPacket empty;
    empty.setAttachment("ignored");
    EXPECT_EQ(empty.toDatagram(), bytes("\0ka\0", 4));
    EXPECT_EQ(PACKET_KEEPALIVE, KP2RpcPacket::keepAlive());

    const QByteArray expected = header(11, 0) + R"({"cmd":"x"})";
    EXPECT_EQ(expected.size(), 27);
    EXPECT_EQ(KP2RpcPacket(json(R"({"cmd":"x"})")).toDatagram(), expected);
}

TEST(KP2RpcPacket, DatagramWithAttachmentRoundTrips) {
    KP2RpcPacket sent(json(R"({"cmd":"x","params":{"n":1}})"));
    sent.setAttachment(bytes("\0raw\xff", 5));
    QByteArray buffer = sent.toDatagram();
    buffer[3] = 'Z';  // bytes 3, 4 and 13-15 are not checked
    buffer[14] = 'Z';
    KP2RpcPacket received;
    ASSERT_EQ(received.fromDatagram(buffer), KP2RpcPacket::Decoded);
    EXPECT_EQ(QJsonObject(received), QJsonObject(sent));
    EXPECT_EQ(received.attachment(), sent.attachment());
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(KP2RpcPacket, BuffersShorterThanFourBytesAreIncomplete) {
    for (const QByteArray &buffer : {bytes("\0", 1), bytes("\0k", 2), bytes("\0ka", 3), bytes("\0kp", 3), bytes("x", 1),
                                     bytes("\xff\xff\xff", 3), QByteArray()}) {
        QByteArray copy = buffer;
        KP2RpcPacket packet;
        EXPECT_EQ(packet.fromDatagram(copy), KP2RpcPacket::Incomplete) << buffer.toHex().constData();
        EXPECT_EQ(copy, buffer);
        EXPECT_EQ(packet.pendingSize(), 0);
    }
}

TEST(KP2RpcPacket, TwoDatagramsInOneBufferDecodeOneAtATime) {
    const QByteArray second = KP2RpcPacket(json(R"({"cmd":"b"})")).toDatagram();
    QByteArray buffer = KP2RpcPacket(json(R"({"cmd":"a"})")).toDatagram() + second;
    KP2RpcPacket packet;
    ASSERT_EQ(packet.fromDatagram(buffer), KP2RpcPacket::Decoded);
    EXPECT_EQ(packet.value("cmd").toString(), "a");
    EXPECT_EQ(buffer, second);
    ASSERT_EQ(packet.fromDatagram(buffer), KP2RpcPacket::Decoded);
    EXPECT_EQ(packet.value("cmd").toString(), "b");
    EXPECT_EQ(packet.fromDatagram(buffer), KP2RpcPacket::Incomplete);
}

TEST(KP2RpcPacket, CutDatagramIsPendingUntilItsLastByte) {
    const QByteArray text = R"({"cmd":"abcdefghijklmnopqrst"})";
    ASSERT_EQ(text.size(), 30);
    const QByteArray whole = header(30, 0) + text;
    QByteArray buffer = whole.left(20);
    KP2RpcPacket packet;
    EXPECT_EQ(packet.fromDatagram(buffer), KP2RpcPacket::Incomplete);
    EXPECT_EQ(packet.pendingSize(), 46);
    EXPECT_EQ(buffer, whole.left(20));

    // Arriving one byte at a time, as a request split over several writes does.
    buffer.clear();
    for (int i = 0; i < whole.size() - 1; ++i) {
        buffer.append(whole[i]);
        ASSERT_EQ(packet.fromDatagram(buffer), KP2RpcPacket::Incomplete) << i;
    }
    buffer.append(whole.right(1));
    EXPECT_EQ(packet.fromDatagram(buffer), KP2RpcPacket::Decoded);
    EXPECT_EQ(packet.pendingSize(), 0);
}

TEST(KP2RpcPacket, KeepAliveThenDataDecodeInTurn) {
    QByteArray buffer = KP2RpcPacket::keepAlive() + KP2RpcPacket(json(R"({"cmd":"x"})")).toDatagram();
    KP2RpcPacket packet(json(R"({"old":1})"));
    EXPECT_EQ(packet.fromDatagram(buffer), KP2RpcPacket::KeepAlive);
    EXPECT_TRUE(packet.isKeepAlive());
    EXPECT_EQ(buffer.size(), 27);
    EXPECT_EQ(packet.fromDatagram(buffer), KP2RpcPacket::Decoded);
    EXPECT_FALSE(packet.isKeepAlive());
}

TEST(KP2RpcPacket, JsonThatIsNoObjectDecodesAsEmptyObject) {
    QByteArray buffer = header(3, 0) + "[1]";
    KP2RpcPacket packet(json(R"({"old":1})"));
    EXPECT_EQ(packet.fromDatagram(buffer), KP2RpcPacket::Decoded);
    EXPECT_TRUE(packet.isEmpty());
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(KP2RpcPacket, MalformedInputIsRefusedAndNotConsumed) {
    const quint32 cap = KP2RpcPacket::MaxDatagramSize;
    const struct {
        const char *name;
        QByteArray buffer;
    } rows[] = {
        {"garbage", QByteArray("GET / HTTP/1.0\r\n\r\n")},
        {"invalid json", header(5, 0) + "{cmd:"},
        {"empty json", header(0, 0)},
        {"json not at its end", header(9, 0) + R"({"a":1}xx)"},
        {"repeated member name", header(23, 0) + R"({"cmd":{"a":[1],"a":2}})"},
        {"J all ones", header(0xFFFFFFFF, 0) + QByteArray(64, '{')},
        {"A all ones", header(2, 0xFFFFFFFF) + "{}" + QByteArray(64, 'a')},
        // In 32 bits 16 + J + A wraps to 32, and a 64-byte buffer would look complete.
        {"total wraps", header(0xFFFFFFF0, 0x20) + QByteArray(48, 'x')},
        {"one byte over the cap", header(cap - 16, 1)},
    };
    for (const auto &row : rows) {
        QByteArray buffer = row.buffer;
        KP2RpcPacket packet(json(R"({"old":1})"));
        EXPECT_EQ(packet.fromDatagram(buffer), KP2RpcPacket::Malformed) << row.name;
        EXPECT_EQ(buffer, row.buffer) << row.name;
        EXPECT_EQ(packet.value("old").toInt(), 1) << row.name;
        EXPECT_EQ(packet.pendingSize(), 0) << row.name;
    }
    QByteArray atCap = header(cap - 16, 0);
    KP2RpcPacket packet;
    EXPECT_EQ(packet.fromDatagram(atCap), KP2RpcPacket::Incomplete);
    EXPECT_EQ(quint32(packet.pendingSize()), cap);
}

TEST(KP2RpcPacket, PacketOverTheCapIsNotEncoded) {
    KP2RpcPacket packet(json(R"({"cmd":"x"})"));
    packet.setAttachment(QByteArray(int(KP2RpcPacket::MaxDatagramSize), Qt::Uninitialized));
    EXPECT_TRUE(packet.toDatagram().isEmpty());
}

TEST(KP2RpcPacket, AssignmentFromObjectKeepsAttachment) {
    KP2RpcPacket packet(json(R"({"a":1})"));
    packet.setAttachment("att");
    KP2RpcPacket copy(packet);
    EXPECT_EQ(copy.attachment(), "att");
    copy = json(R"({"b":2})");
    EXPECT_EQ(copy.attachment(), "att");
    EXPECT_EQ(QJsonObject(copy), json(R"({"b":2})"));
}

TEST(KP2RpcPacket, ReplyHelpersCarryRoutingKeys) {
    const QJsonObject request = json(R"({"cmd":"a","seq":1,"routers":[],"_x":2,"params":{},"Cmd":3})");
    KP2RpcPacket packet(request);
    packet.shrink();
    EXPECT_EQ(QJsonObject(packet), json(R"({"cmd":"a","seq":1,"_x":2})"));
    packet.shrink(request);
    EXPECT_EQ(QJsonObject(packet), json(R"({"cmd":"a","seq":1,"_x":2,"routers":[]})"));
    EXPECT_EQ(QJsonObject(KP2RpcPacket::copyResponsed(request)), QJsonObject(packet));

    QJsonObject reply = json(R"({"seq":9,"results":[1]})");
    KP2RpcPacket::copyResponsed(reply, request, 5, QString());
    EXPECT_EQ(reply, json(R"({"cmd":"a","seq":1,"_x":2,"routers":[],"results":[1],"err":5})"));
    EXPECT_EQ(QJsonObject(KP2RpcPacket::copyResponsed(json(R"({"cno":"c","x":1})"), 7, "bad")),
              json(R"({"cno":"c","err":7,"errmsg":"bad"})"));

    EXPECT_EQ(QJsonObject(KP2RpcPacket::make("c", 0)), json(R"({"cmd":"c","err":0})"));
    EXPECT_EQ(QJsonObject(KP2RpcPacket::make("c", 1, json(R"({"p":1})"))),
              json(R"({"cmd":"c","err":1,"params":{"p":1}})"));
}

TEST(KP2RpcPacket, TakeRouterPopsMostRecentHop) {
    QJsonObject request = json(R"({"cmd":"a","routers":[{"fd":1,"session":2},{"fd":3}]})");
    int fd = -1, session = -1;
    ASSERT_TRUE(KP2RpcPacket::takeRouter(fd, session, request));
    EXPECT_EQ(fd, 3);
    EXPECT_EQ(session, 0);
    EXPECT_EQ(request.value("routers").toArray().size(), 1);
    ASSERT_TRUE(KP2RpcPacket::takeRouter(fd, session, request));
    EXPECT_EQ(fd, 1);
    EXPECT_EQ(session, 2);
    EXPECT_FALSE(request.contains("routers"));

    for (const char *text : {R"({"cmd":"a"})", R"({"routers":[]})", R"({"routers":{"fd":1}})"}) {
        QJsonObject other = json(text);
        fd = session = -1;
        EXPECT_FALSE(KP2RpcPacket::takeRouter(fd, session, other)) << text;
        EXPECT_EQ(other, json(text));
        EXPECT_EQ(fd, -1);
    }
}

TEST(KP2RpcPacket, CompactTextRoundTripsObjectsOnly) {
    KP2RpcPacket packet(json(R"({"a":[1,"é"]})"));
    EXPECT_EQ(packet.toCompact(), QByteArray(R"({"a":[1,"é"]})"));
    KP2RpcPacket other;
    EXPECT_EQ(other.fromCompact(packet.toCompact()), 0);
    EXPECT_EQ(QJsonObject(other), QJsonObject(packet));
    EXPECT_EQ(other.fromCompact("[1]"), KP2RpcPacket::Malformed);
    EXPECT_EQ(other.fromCompact("{nope"), KP2RpcPacket::Malformed);
    EXPECT_EQ(QJsonObject(other), QJsonObject(packet));
}

TEST(KP2RpcPacket, CompactValueEncodings) {
    const struct {
        QJsonValue value;
        QByteArray encoded;
    } rows[] = {
        {true, bytes("?t\0", 3)},
        {false, bytes("?f\0", 3)},
        {2.5, bytes("=2.5\0", 5)},
        {1, bytes("=1\0", 3)},
        {1e20, bytes("=1e+20\0", 7)},
        {0.1 + 0.2, bytes("=0.3\0", 5)},
        {"ab", bytes("|ab\0", 4)},
        {QJsonArray(), bytes(":\0", 2)},
        {QJsonObject(), bytes(">\0", 2)},
        {json(R"({"a":[1,"x"],"b":false})"), bytes("\x3E\x61\x3A\x3D\x31\x00\x7C\x78\x00\x00\x62\x3F\x66\x00\x00", 15)},
        // Nulls have no encoding and are left out; a null member takes its key with it.
        {QJsonValue(), QByteArray()},
        {json(R"({"a":null,"b":[null,1]})"), bytes(">b:=1\0\0\0", 8)},
        // Keys and strings the format cannot carry make the whole value unencodable.
        {json(R"({"a|b":1})"), QByteArray()},
        {QJsonArray{QString(QChar(0))}, QByteArray()},
    };
    KP2RpcPacket packet;
    for (const auto &row : rows) {
        EXPECT_EQ(packet.toCompactValue(row.value), row.encoded) << row.encoded.toHex().constData();
        if (row.encoded.isEmpty()) continue;
        QByteArray buffer = row.encoded.mid(1) + "rest";
        QJsonValue decoded;
        ASSERT_TRUE(packet.fromCompactValue(decoded, row.encoded[0], buffer)) << row.encoded.toHex().constData();
        EXPECT_EQ(buffer, "rest");
        EXPECT_EQ(packet.toCompactValue(decoded), row.encoded);
    }
}

TEST(KP2RpcPacket, CompactObjectRoundTripsRichValues) {
    const QJsonObject object = json(R"({"名字":"备份 ✓","n":-1.25e-7,"nested":{"":[[],{},true,{"k":"v"}]},"z":0})");
    KP2RpcPacket packet;
    QByteArray buffer = packet.toCompactValue(object);
    ASSERT_EQ(buffer.at(0), '>');
    buffer.remove(0, 1);
    EXPECT_EQ(packet.fromCompactObject(buffer), object);
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(KP2RpcPacket, CompactDecodingOfTruncatedOrBadBodies) {
    const struct {
        char type;
        QByteArray body;
        bool ok;
        QJsonValue value;
        QByteArray rest;
    } rows[] = {
        {'?', bytes("T\0r", 3), true, true, "r"},
        {'?', QByteArray(), true, false, QByteArray()},
        {'?', "tru", true, true, QByteArray()},
        {'=', bytes("abc\0", 4), true, 0, QByteArray()},
        {'=', bytes("inf\0", 4), true, 0, QByteArray()},
        {'=', "12", false, {}, "12"},
        {'=', bytes("\0", 1), false, {}, bytes("\0", 1)},
        {'|', "ab", false, {}, "ab"},
        {'|', bytes("\0", 1), true, "", QByteArray()},
        {':', bytes("=1\0x", 4), false, {}, bytes("=1\0x", 4)},
        {':', bytes("=1\0", 3), false, {}, bytes("=1\0", 3)},
        {':', QByteArray(), false, {}, QByteArray()},
        {':',
         QByteArray(KP2RpcPacket::MaxCompactDepth + 10, ':'),
         false,
         {},
         QByteArray(KP2RpcPacket::MaxCompactDepth + 10, ':')},
        {'x', bytes("\0", 1), false, {}, bytes("\0", 1)},
        {'>', bytes("a=1\0", 4), false, {}, bytes("a=1\0", 4)},
        {'>', bytes("a>b=\0\0", 6), false, {}, bytes("a>b=\0\0", 6)},
    };
    KP2RpcPacket packet;
    for (const auto &row : rows) {
        QByteArray buffer = row.body;
        QJsonValue out = "untouched";
        EXPECT_EQ(packet.fromCompactValue(out, row.type, buffer), row.ok) << row.type << row.body.toHex().constData();
        EXPECT_EQ(out, row.ok ? row.value : QJsonValue("untouched")) << row.type << row.body.toHex().constData();
        EXPECT_EQ(buffer, row.rest) << row.type << row.body.toHex().constData();
    }
}

TEST(KP2RpcPacket, CompactObjectStopsAtBadMembers) {
    KP2RpcPacket packet;
    QByteArray buffer = bytes("a=1\0b=", 6);  // b's number is cut off: its key and type go, the rest stays
    EXPECT_EQ(packet.fromCompactObject(buffer), json(R"({"a":1})"));
    EXPECT_TRUE(buffer.isEmpty());

    // A nested object with a bad member fails its member as a whole; the array around it does not read on into it.
    buffer = bytes("a?t\0b:>c=\0\0\0", 12);
    EXPECT_EQ(packet.fromCompactObject(buffer), json(R"({"a":true})"));
    EXPECT_EQ(buffer, bytes(">c=\0\0\0", 6));

    buffer = bytes("a?t\0a?f\0tail", 12);  // no type character follows "tail": it stays unread
    EXPECT_EQ(packet.fromCompactObject(buffer), json(R"({"a":false})"));
    EXPECT_EQ(buffer, "tail");

    QByteArray deep =
        QByteArray(KP2RpcPacket::MaxCompactDepth - 1, ':') + QByteArray(KP2RpcPacket::MaxCompactDepth - 1, '\0');
    buffer = "k" + deep + bytes("\0", 1);
    EXPECT_EQ(packet.fromCompactObject(buffer).value("k").type(), QJsonValue::Array);
    EXPECT_TRUE(buffer.isEmpty());
}
