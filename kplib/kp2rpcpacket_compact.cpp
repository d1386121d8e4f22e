// KP2RpcPacket, part two: the compact binary value encoding. It lives apart from the framing in kp2rpcpacket.cpp
// because nothing sends it on the wire; the two share only the class.
#include "kp2rpcpacket.h"

#include <QJsonArray>
#include <QtGlobal>

#include <cstring>

// How the decoder reads. It works on a read position over the caller's bytes and removes the consumed prefix from
// the buffer once at the end; removing each piece as it is read would move the rest of the buffer for every value.
// Every read is bounded by the buffer size: truncated input fails or stops, it never reads on.
//
// A body is malformed when its type is unknown, when a number or a string lacks its zero byte, when a number's text
// is empty, when an array ends before its zero byte or holds a byte that is neither a type character nor that zero
// byte, and when a nested object ends before its zero byte or holds a malformed member. A failure anywhere fails the
// whole value, and the position goes back to where its body began.
//
// Decoding runs in time linear in the bytes read: a nested value that fails ends every enclosing array and object,
// so no enclosing level goes on to read its bytes again (see the object case of readValue).

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
