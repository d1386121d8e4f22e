// KP2LocalServer::localRequest, the client side of the local RPC protocol: one request, one reply, one connection.
#include <QDeadlineTimer>
#include <QFile>
#include <limits>

#include "kp2linux/lnx2socketio.h"
#include "kp2localserver.h"
#include "kp2localserver_p.h"
#include "kp2rpcpacket.h"

namespace {

constexpr qint64 CONNECT_LIMIT_MS = 2000;

}  // namespace

bool KP2LocalServer::localRequest(const QString &serverName, const QJsonObject &request, QJsonObject *reply,
                                  qint64 timeoutSeconds) {
    const QByteArray datagram = KP2RpcPacket(request).toDatagram();
    if (datagram.isEmpty()) return false;  // too large to frame

    const qint64 limitMs = timeoutSeconds <= 0 ? 0
                           : timeoutSeconds >= std::numeric_limits<qint64>::max() / 1000
                               ? std::numeric_limits<qint64>::max()
                               : timeoutSeconds * 1000;
    const bool awaitReply = reply && limitMs > 0;
    // The timeout covers everything from here on. Connecting gets at most 2000 ms of it; without a reply to wait for,
    // those 2000 ms cover writing the request too.
    const QDeadlineTimer deadline(limitMs);
    const QDeadlineTimer connectDeadline(awaitReply ? qMin(CONNECT_LIMIT_MS, limitMs) : CONNECT_LIMIT_MS);
    const int fd = lnx2ConnectWithin(QFile::encodeName(KP2LocalServerPrivate::fullPath(serverName)), connectDeadline);
    if (fd < 0) return false;
    bool ok = lnx2SendAll(fd, datagram, awaitReply ? deadline : connectDeadline);
    if (ok && awaitReply) {
        // A closed connection will never answer and malformed bytes never turn into a reply: both fail at once.
        KP2RpcPacket answer;
        ok = Lnx2DatagramReader().next(fd, answer, deadline) == Lnx2DatagramReader::Packet;
        if (ok) *reply = answer;
    }
    lnx2Close(fd);
    return ok;
}
