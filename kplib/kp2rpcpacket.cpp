#include "kp2rpcpacket.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QtGlobal>

#include <cstring>

// The constants are plain byte arrays for callers; the decoder compares against the raw bytes below so that it does
// not depend on the order in which static objects of different files are constructed.
namespace {
constexpr char kKeepAliveBytes[4] = {'\0', 'k', 'a', '\0'};
constexpr char kMarkBytes[3] = {'\0', 'k', 'p'};
constexpr char kHeaderFill[3] = {'\xff', '\xff', '\xff'};
constexpr int kKeepAliveSize = 4;
constexpr int kMarkSize = 3;
constexpr int kJsonLengthOffset = 5;
constexpr int kAttachmentLengthOffset = 9;
}  // namespace

const QByteArray PACKET_KEEPALIVE(kKeepAliveBytes, kKeepAliveSize);
const QByteArray PACKET_MARK(kMarkBytes, kMarkSize);

KP2RpcPacket::KP2RpcPacket() = default;
KP2RpcPacket::KP2RpcPacket(const QJsonObject &object) : QJsonObject(object) {}
KP2RpcPacket::KP2RpcPacket(const KP2RpcPacket &other) = default;
KP2RpcPacket &KP2RpcPacket::operator=(const KP2RpcPacket &other) = default;
KP2RpcPacket &KP2RpcPacket::operator=(const QJsonObject &object) {
    QJsonObject::operator=(object);
    return *this;
}
KP2RpcPacket::~KP2RpcPacket() = default;

QByteArray KP2RpcPacket::attachment() const {
    return m_attachment;
}
void KP2RpcPacket::setAttachment(const QByteArray &bytes) {
    m_attachment = bytes;
}
int KP2RpcPacket::pendingSize() const {
    return m_pendingSize;
}

// ---------------------------------------------------------------------------------------------------------------
// Datagram framing

QByteArray KP2RpcPacket::toDatagram() const {
    if (isEmpty()) return keepAlive();
    const QByteArray text = toCompact();
    // 64-bit sum: neither part can wrap it, and anything above the cap is refused by every reader anyway.
    const quint64 total = quint64(HeaderSize) + quint64(text.size()) + quint64(m_attachment.size());
    if (total > MaxDatagramSize) return QByteArray();

    const quint32 jsonLength = quint32(text.size());
    const quint32 attachmentLength = quint32(m_attachment.size());
    QByteArray out;
    out.reserve(int(total));
    out.append(kMarkBytes, kMarkSize);
    out.append('\x01');
    out.append('\x01');
    // Host byte order: both ends of a local socket run on the same machine.
    out.append(reinterpret_cast<const char *>(&jsonLength), 4);
    out.append(reinterpret_cast<const char *>(&attachmentLength), 4);
    out.append(kHeaderFill, 3);
    out.append(text);
    out.append(m_attachment);
    return out;
}

int KP2RpcPacket::fromDatagram(QByteArray &buffer) {
    m_attachment.clear();
    m_pendingSize = 0;
    const char *data = buffer.constData();
    const int size = buffer.size();

    if (size >= kKeepAliveSize && std::memcmp(data, kKeepAliveBytes, kKeepAliveSize) == 0) {
        buffer.remove(0, kKeepAliveSize);
        QJsonObject::operator=(QJsonObject());
        return KeepAlive;
    }
    // Fewer than 4 bytes can still grow into either kind of datagram, so they are never judged.
    if (size < kMarkSize || std::memcmp(data, kMarkBytes, kMarkSize) != 0) return size < 4 ? Incomplete : Malformed;
    if (size < HeaderSize) return Incomplete;

    quint32 jsonLength = 0;
    quint32 attachmentLength = 0;
    std::memcpy(&jsonLength, data + kJsonLengthOffset, 4);
    std::memcpy(&attachmentLength, data + kAttachmentLengthOffset, 4);
    // The total is summed in 64 bits: in 32 bits a huge J or A would wrap to a small total and the slices below
    // would reach past the buffer. Lengths beyond the cap are refused before anything is buffered for them.
    const quint64 total = quint64(HeaderSize) + jsonLength + attachmentLength;
    if (jsonLength > MaxDatagramSize || attachmentLength > MaxDatagramSize || total > MaxDatagramSize) {
        return Malformed;
    }
    if (quint64(size) < total) {
        m_pendingSize = int(total);
        return Incomplete;
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(buffer.mid(HeaderSize, int(jsonLength)), &error);
    if (error.error != QJsonParseError::NoError) return Malformed;

    // A top-level array is valid JSON but carries no request: it decodes as an empty object.
    QJsonObject::operator=(document.isObject() ? document.object() : QJsonObject());
    if (attachmentLength != 0) m_attachment = buffer.mid(HeaderSize + int(jsonLength), int(attachmentLength));
    buffer.remove(0, int(total));
    return Decoded;
}

QByteArray KP2RpcPacket::keepAlive() {
    return QByteArray(kKeepAliveBytes, kKeepAliveSize);
}

bool KP2RpcPacket::isKeepAlive() const {
    return isEmpty();
}

// ---------------------------------------------------------------------------------------------------------------
// Reply building and routing keys

namespace {
const QString kKeySeq = QStringLiteral("seq");
const QString kKeyCno = QStringLiteral("cno");
const QString kKeyCmd = QStringLiteral("cmd");
const QString kKeyRouters = QStringLiteral("routers");

// The keys a reply keeps of its request ("routers" aside, which only the copying operations carry).
bool isIdentificationKey(const QString &key) {
    return key == kKeySeq || key == kKeyCno || key == kKeyCmd || key.startsWith(QLatin1Char('_'));
}

bool isRoutingKey(const QString &key) {
    return isIdentificationKey(key) || key == kKeyRouters;
}
}  // namespace

KP2RpcPacket KP2RpcPacket::make(const QString &cmd, int err, const QJsonObject &params) {
    KP2RpcPacket packet;
    packet.insert(QStringLiteral("cmd"), cmd);
    packet.insert(QStringLiteral("err"), err);
    if (!params.isEmpty()) packet.insert(QStringLiteral("params"), params);
    return packet;
}

void KP2RpcPacket::copyResponsed(QJsonObject &reply, const QJsonObject &request) {
    for (auto it = request.constBegin(); it != request.constEnd(); ++it) {
        if (isRoutingKey(it.key())) reply.insert(it.key(), it.value());
    }
}

void KP2RpcPacket::copyResponsed(QJsonObject &reply, const QJsonObject &request, int err, const QString &errmsg) {
    copyResponsed(reply, request);
    reply.insert(QStringLiteral("err"), err);
    if (!errmsg.isEmpty()) reply.insert(QStringLiteral("errmsg"), errmsg);
}

KP2RpcPacket KP2RpcPacket::copyResponsed(const QJsonObject &request, int err, const QString &errmsg) {
    QJsonObject reply;
    copyResponsed(reply, request, err, errmsg);
    return KP2RpcPacket(reply);
}

KP2RpcPacket KP2RpcPacket::copyResponsed(const QJsonObject &request) {
    KP2RpcPacket packet;
    packet.shrink(request);
    return packet;
}

void KP2RpcPacket::shrink(const QJsonObject &source) {
    QJsonObject::operator=(QJsonObject());
    copyResponsed(*this, source);
}

void KP2RpcPacket::shrink() {
    for (auto it = begin(); it != end();) {
        if (isIdentificationKey(it.key())) {
            ++it;
        } else {
            it = erase(it);
        }
    }
}

bool KP2RpcPacket::takeRouter(int &fd, int &session, QJsonObject &request) {
    QJsonArray routers = request.value(kKeyRouters).toArray();  // absent or not an array: empty
    if (routers.isEmpty()) return false;
    const QJsonObject hop = routers.last().toObject();
    routers.removeLast();
    fd = hop.value(QStringLiteral("fd")).toInt();
    session = hop.value(QStringLiteral("session")).toInt();
    if (routers.isEmpty()) {
        request.remove(kKeyRouters);
    } else {
        request.insert(kKeyRouters, routers);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Compact JSON text

QByteArray KP2RpcPacket::toCompact() const {
    return QJsonDocument(*this).toJson(QJsonDocument::Compact);
}

int KP2RpcPacket::fromCompact(const QByteArray &text) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return Malformed;
    QJsonObject::operator=(document.object());
    return 0;
}

// ---------------------------------------------------------------------------------------------------------------
// Compact binary value encoding
//
// The decoder works on a read position over the caller's bytes and removes the consumed prefix from the buffer once
// at the end; removing each piece as it is read would move the rest of the buffer for every value. Every read is
// bounded by the buffer size: truncated input fails or stops, it never reads on.

namespace {
constexpr char kTypeBool = '?';
constexpr char kTypeNumber = '=';
constexpr char kTypeString = '|';
constexpr char kTypeArray = ':';
constexpr char kTypeObject = '>';

bool isTypeChar(char c) {
    return c == kTypeBool || c == kTypeNumber || c == kTypeString || c == kTypeArray || c == kTypeObject;
}

// A key ends at the first type character when read back, and a zero byte ends an object.
bool isRepresentableKey(const QByteArray &key) {
    for (char c : key) {
        if (c == '\0' || isTypeChar(c)) return false;
    }
    return true;
}

// Appends the encoding of value to out; null and undefined append nothing. False when the value holds a key or a
// string that the format cannot carry; out is then partly written and must be discarded.
bool encodeValue(const QJsonValue &value, QByteArray &out) {
    switch (value.type()) {
        case QJsonValue::Null:
        case QJsonValue::Undefined:
            return true;
        case QJsonValue::Bool:
            out.append(kTypeBool);
            out.append(value.toBool() ? 't' : 'f');
            out.append('\0');
            return true;
        case QJsonValue::Double:
            out.append(kTypeNumber);
            out.append(QByteArray::number(value.toDouble(), 'g', 15));
            out.append('\0');
            return true;
        case QJsonValue::String: {
            const QByteArray text = value.toString().toUtf8();
            if (text.contains('\0')) return false;
            out.append(kTypeString);
            out.append(text);
            out.append('\0');
            return true;
        }
        case QJsonValue::Array: {
            out.append(kTypeArray);
            const QJsonArray array = value.toArray();
            for (const QJsonValue &element : array) {
                if (!encodeValue(element, out)) return false;
            }
            out.append('\0');
            return true;
        }
        case QJsonValue::Object: {
            out.append(kTypeObject);
            const QJsonObject object = value.toObject();
            for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
                const QJsonValue member = it.value();
                // A null member has no value bytes, so its key would run into the next key: leave it out whole.
                if (member.isNull() || member.isUndefined()) continue;
                const QByteArray key = it.key().toUtf8();
                if (!isRepresentableKey(key)) return false;
                out.append(key);
                if (!encodeValue(member, out)) return false;
            }
            out.append('\0');
            return true;
        }
    }
    return false;
}

class CompactReader {
public:
    explicit CompactReader(const QByteArray &buffer) : m_data(buffer.constData()), m_size(buffer.size()) {}

    int position() const { return m_pos; }

    // Reads the body of one value of the given type. depth counts the arrays and objects that enclose it. On failure
    // the position is back where the body began.
    bool value(QJsonValue &out, char type, int depth) {
        const int start = m_pos;
        if (!readValue(out, type, depth)) {
            m_pos = start;
            return false;
        }
        return true;
    }

    // Reads object members into result up to and including the closing zero byte; true when that byte was reached.
    // Otherwise the members ended early: at the end of the bytes, where no type character follows (the position
    // stays before those bytes), or at a malformed member (the position stays after its key and type character).
    // depth counts this object too.
    bool object(QJsonObject &result, int depth) {
        while (m_pos < m_size) {
            if (m_data[m_pos] == '\0') {
                ++m_pos;
                return true;
            }
            int typeAt = m_pos;
            while (typeAt < m_size && !isTypeChar(m_data[typeAt])) ++typeAt;
            if (typeAt == m_size) return false;
            const QString key = QString::fromUtf8(m_data + m_pos, typeAt - m_pos);
            const char type = m_data[typeAt];
            m_pos = typeAt + 1;
            QJsonValue member;
            if (!value(member, type, depth)) return false;
            result.insert(key, member);  // a repeated key keeps its last value
        }
        return false;
    }

private:
    // The offset of the next zero byte at or after the position, or -1.
    int nextZero() const {
        const void *zero = std::memchr(m_data + m_pos, '\0', size_t(m_size - m_pos));
        return zero ? int(static_cast<const char *>(zero) - m_data) : -1;
    }

    bool readValue(QJsonValue &out, char type, int depth) {
        switch (type) {
            case kTypeBool: {
                const bool truth = m_pos < m_size && (m_data[m_pos] == 't' || m_data[m_pos] == 'T');
                const int zero = nextZero();
                m_pos = zero < 0 ? m_size : zero + 1;
                out = truth;
                return true;
            }
            case kTypeNumber: {
                const int zero = nextZero();
                if (zero <= m_pos) return false;  // no terminator (truncated) or an empty text
                bool ok = false;
                double number = QByteArray(m_data + m_pos, zero - m_pos).toDouble(&ok);
                // JSON has no infinities or NaN; such texts count as "not a number" like any other.
                if (!ok || !qIsFinite(number)) number = 0;
                m_pos = zero + 1;
                out = number;
                return true;
            }
            case kTypeString: {
                const int zero = nextZero();
                if (zero < 0) return false;
                out = QString::fromUtf8(m_data + m_pos, zero - m_pos);
                m_pos = zero + 1;
                return true;
            }
            case kTypeArray: {
                // Refusing deep nesting keeps hostile input from exhausting the stack.
                if (depth >= KP2RpcPacket::MaxCompactDepth) return false;
                QJsonArray array;
                while (m_pos < m_size) {
                    const char c = m_data[m_pos++];
                    if (c == '\0') {
                        out = array;
                        return true;
                    }
                    if (!isTypeChar(c)) return false;
                    QJsonValue element;
                    if (!value(element, c, depth + 1)) return false;
                    array.append(element);
                }
                return false;  // the array's zero byte is missing
            }
            case kTypeObject: {
                if (depth >= KP2RpcPacket::MaxCompactDepth) return false;
                // A nested object must end at its own zero byte, like an array. Were it to stop quietly at a bad
                // member, the enclosing array would go on to read that member's bytes as elements of its own, and
                // every level of nesting would read the same bytes again: exponential time on hostile input.
                QJsonObject object;
                if (!this->object(object, depth + 1)) return false;
                out = object;
                return true;
            }
            default:
                return false;
        }
    }

    const char *m_data;
    int m_size;
    int m_pos = 0;
};
}  // namespace

QByteArray KP2RpcPacket::toCompactValue(const QJsonValue &value) const {
    QByteArray out;
    if (!encodeValue(value, out)) return QByteArray();
    return out;
}

bool KP2RpcPacket::fromCompactValue(QJsonValue &out, char type, QByteArray &buffer) const {
    CompactReader reader(buffer);
    QJsonValue decoded;
    if (!reader.value(decoded, type, 0)) return false;
    buffer.remove(0, reader.position());
    out = decoded;
    return true;
}

QJsonObject KP2RpcPacket::fromCompactObject(QByteArray &buffer) const {
    CompactReader reader(buffer);
    QJsonObject object;
    reader.object(object, 1);  // at the top level the members read so far stand even when the object ends early
    buffer.remove(0, reader.position());
    return object;
}
