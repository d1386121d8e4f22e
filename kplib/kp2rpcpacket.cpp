#include "kp2rpcpacket.h"

const QByteArray PACKET_KEEPALIVE("\0ka\0", 4);
const QByteArray PACKET_MARK("\0kp", 3);

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

// Work in progress: the framing and encodings follow in the next commit.
QByteArray KP2RpcPacket::toDatagram() const {
    return QByteArray();
}
int KP2RpcPacket::fromDatagram(QByteArray &) {
    return Malformed;
}
QByteArray KP2RpcPacket::keepAlive() {
    return PACKET_KEEPALIVE;
}
bool KP2RpcPacket::isKeepAlive() const {
    return isEmpty();
}
KP2RpcPacket KP2RpcPacket::make(const QString &, int, const QJsonObject &) {
    return KP2RpcPacket();
}
void KP2RpcPacket::copyResponsed(QJsonObject &, const QJsonObject &) {}
void KP2RpcPacket::copyResponsed(QJsonObject &, const QJsonObject &, int, const QString &) {}
KP2RpcPacket KP2RpcPacket::copyResponsed(const QJsonObject &, int, const QString &) {
    return KP2RpcPacket();
}
KP2RpcPacket KP2RpcPacket::copyResponsed(const QJsonObject &) {
    return KP2RpcPacket();
}
void KP2RpcPacket::shrink(const QJsonObject &) {}
void KP2RpcPacket::shrink() {}
bool KP2RpcPacket::takeRouter(int &, int &, QJsonObject &) {
    return false;
}
QByteArray KP2RpcPacket::toCompact() const {
    return QByteArray();
}
int KP2RpcPacket::fromCompact(const QByteArray &) {
    return Malformed;
}
QByteArray KP2RpcPacket::toCompactValue(const QJsonValue &) const {
    return QByteArray();
}
bool KP2RpcPacket::fromCompactValue(QJsonValue &, char, QByteArray &) const {
    return false;
}
QJsonObject KP2RpcPacket::fromCompactObject(QByteArray &) const {
    return QJsonObject();
}
