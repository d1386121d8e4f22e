// KP2RpcPacket: one request or reply of the local RPC service — a JSON object plus optional raw bytes (the
// attachment) — together with its datagram framing on the socket and a compact binary encoding of JSON values.
// Not thread-safe: a packet is a value used by one thread at a time; the static helpers are reentrant.
// Everything returned is returned by value; the packet owns nothing outside itself.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>

// The whole keep-alive datagram: 00 6B 61 00 (a zero byte, "ka", a zero byte).
extern const QByteArray PACKET_KEEPALIVE;
// The first three bytes of every data datagram: 00 6B 70 (a zero byte, "kp").
extern const QByteArray PACKET_MARK;

// Datagram layout (lengths are 32-bit in host byte order; both ends share the host):
//   offset 0  size 3  PACKET_MARK
//   offset 3  size 1  0x01
//   offset 4  size 1  0x01
//   offset 5  size 4  J, length of the JSON text
//   offset 9  size 4  A, length of the attachment
//   offset 13 size 3  FF FF FF
//   offset 16 size J  the object as compact JSON text (UTF-8)
//   offset 16+J size A  the attachment
// The keep-alive is the 4 bytes of PACKET_KEEPALIVE alone. Readers check only the mark and the two lengths.
class KP2RpcPacket : public QJsonObject {
public:
    // Results of fromDatagram().
    enum DatagramResult {
        Decoded = 0,     // one data datagram decoded and removed from the buffer
        KeepAlive = 1,   // one keep-alive removed from the buffer; the object is now empty
        Incomplete = 2,  // more bytes are needed; nothing consumed
        Malformed = 4,   // the front of the buffer is not a valid datagram; nothing consumed, never resynchronised
    };

    static constexpr int HeaderSize = 16;
    // Largest datagram (header + JSON text + attachment) that is written or accepted. A header announcing more, or a
    // JSON text or attachment longer than this, is Malformed; receivers need never buffer more than this many bytes
    // for one datagram.
    static constexpr quint32 MaxDatagramSize = 64u * 1024u * 1024u;

    KP2RpcPacket();
    KP2RpcPacket(const QJsonObject &object);  // NOLINT: implicit on purpose, a packet is a JSON object
    KP2RpcPacket(const KP2RpcPacket &other);
    KP2RpcPacket &operator=(const KP2RpcPacket &other);
    // Replaces only the object; attachment and pending size stay.
    KP2RpcPacket &operator=(const QJsonObject &object);
    ~KP2RpcPacket();

    QByteArray attachment() const;
    void setAttachment(const QByteArray &bytes);
    // After fromDatagram() returned Incomplete with a complete header: the total size of the awaited datagram.
    // 0 after every other outcome (also Incomplete before the 16 header bytes are in).
    int pendingSize() const;

    // --- datagram framing -------------------------------------------------------------------------------------

    // The keep-alive bytes when the object is empty (the attachment is then not sent); otherwise the data datagram.
    // Returns an empty byte array when the datagram would exceed MaxDatagramSize: such a packet cannot be sent.
    QByteArray toDatagram() const;
    // Decodes at most one datagram from the front of buffer and removes exactly the bytes of that datagram.
    // Returns a DatagramResult. On Decoded the object and attachment are replaced (a JSON text whose top level is
    // not an object gives an empty object, which callers treat like a keep-alive); on KeepAlive the object is empty.
    // The attachment is cleared on every call. On Incomplete and Malformed the object is unchanged and buffer is
    // untouched. A buffer of fewer than 4 bytes is always Incomplete. Callers loop while the result is Decoded or
    // KeepAlive.
    int fromDatagram(QByteArray &buffer);
    static QByteArray keepAlive();
    // True when the object is empty.
    bool isKeepAlive() const;

    // --- reply building and routing keys -------------------------------------------------------------------
    // Routing keys are "seq", "cno", "cmd", "routers" and every key starting with "_" (case-sensitive).

    // {"cmd": cmd, "err": err}, plus "params": params when params is not empty.
    static KP2RpcPacket make(const QString &cmd, int err, const QJsonObject &params = QJsonObject());
    // Copies every routing key of request into reply, overwriting same-named keys.
    static void copyResponsed(QJsonObject &reply, const QJsonObject &request);
    // As above, then reply "err" = err and, when errmsg is not empty, "errmsg" = errmsg.
    static void copyResponsed(QJsonObject &reply, const QJsonObject &request, int err, const QString &errmsg);
    // A new packet built by the overload above from an empty reply.
    static KP2RpcPacket copyResponsed(const QJsonObject &request, int err, const QString &errmsg);
    // A new packet holding only the routing keys of request.
    static KP2RpcPacket copyResponsed(const QJsonObject &request);
    // Clears the object, then copies the routing keys of source into it ("routers" included).
    void shrink(const QJsonObject &source);
    // Keeps only "seq", "cno", "cmd" and keys starting with "_" ("routers" is removed).
    void shrink();
    // Pops the most recent hop (the last element) of request "routers": fd and session become its "fd" and
    // "session" as integers (0 when absent or not an integer). "routers" is removed when it becomes empty.
    // Returns false and changes nothing when "routers" is absent, not an array, or empty.
    static bool takeRouter(int &fd, int &session, QJsonObject &request);

    // --- compact JSON text --------------------------------------------------------------------------------

    // The object as compact JSON text (UTF-8, no white space), without header or attachment.
    QByteArray toCompact() const;
    // When text is JSON with an object at the top level, the object becomes it and 0 is returned; otherwise
    // Malformed (4) is returned and the packet is unchanged.
    int fromCompact(const QByteArray &text);

    // --- compact binary value encoding (kp2rpcpacket_compact.cpp) --------------------------------------------
    // A shorter, self-delimiting byte encoding of JSON values; datagrams never carry it. Each value is a type
    // character and a body:
    //   '?' boolean  "t" or "f", then a zero byte
    //   '=' number   the number as text, 'g' format with 15 significant digits, then a zero byte
    //   '|' string   the UTF-8 bytes, then a zero byte
    //   ':' array    the encodings of the elements in order, then a zero byte
    //   '>' object   per member in key order: the key's UTF-8 bytes directly followed by the value's encoding;
    //                then a zero byte
    // Null and undefined values have no encoding: a top-level null encodes as no bytes, and null array elements
    // and object members with a null value are left out altogether (key included), so that the output always
    // decodes and a round trip gives the value without its nulls.
    static constexpr int MaxCompactDepth = 512;  // arrays and objects nested deeper than this do not decode

    // The encoding of value, type character included. Empty for null or undefined, and for a value that the format
    // cannot carry: one holding a key with a zero byte or a type character, or a string with a zero byte.
    QByteArray toCompactValue(const QJsonValue &value) const;
    // Decodes the body of one value of the given type from the front of buffer (type character already removed),
    // removes what it read and stores the value in out. Returns false, leaving buffer and out unchanged, when the
    // body is malformed or truncated at any depth, or nested deeper than MaxCompactDepth. A boolean never fails: its
    // value is true when the first byte is 't' or 'T', and it takes the bytes up to and including the next zero byte
    // (all of buffer when there is none). A number text that is not a finite number gives 0.
    bool fromCompactValue(QJsonValue &out, char type, QByteArray &buffer) const;
    // Decodes object members from the front of buffer (the '>' already removed), removes what it read and returns
    // the members decoded so far; a repeated key keeps its last value. Never fails: it stops after the object's zero
    // byte, at the end of buffer, before bytes that hold no type character (they stay in buffer), or at a malformed
    // member, of which only the key and type character are removed.
    QJsonObject fromCompactObject(QByteArray &buffer) const;

private:
    QByteArray m_attachment;
    int m_pendingSize = 0;
};

Q_DECLARE_METATYPE(KP2RpcPacket)
