// KP2RpcPacket, part one: the packet itself, its datagram framing, the reply helpers and compact JSON text. The
// binary value encoding is in kp2rpcpacket_compact.cpp.
#include "kp2rpcpacket.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QtGlobal>

#include <cstring>

#include "kp2utils.h"

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
    const QJsonDocument document = parseJson(buffer.mid(HeaderSize, int(jsonLength)), &error);
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
    const QJsonDocument document = parseJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) return Malformed;
    QJsonObject::operator=(document.object());
    return 0;
}
