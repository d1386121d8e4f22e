// Fuzzes the datagram decoder the way a connection worker drives it: fromDatagram in a loop over one receive
// buffer, once with all bytes at hand and once with the bytes arriving in chunks. Both must decode the same packets
// and end in the same state, and no call may consume more than the datagram it reports.
#include "kp2rpcpacket.h"

#include <QByteArray>
#include <QJsonObject>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
struct Step {
    int result;
    QJsonObject object;
    QByteArray attachment;
};

void check(bool condition) {
    if (!condition) std::abort();
}

// Runs one decode call and checks its contract; returns the result.
int decodeOnce(KP2RpcPacket &packet, QByteArray &buffer, std::vector<Step> &steps) {
    const QByteArray before = buffer;
    const int result = packet.fromDatagram(buffer);
    switch (result) {
        case KP2RpcPacket::Decoded: {
            const int consumed = before.size() - buffer.size();
            check(consumed >= KP2RpcPacket::HeaderSize && quint32(consumed) <= KP2RpcPacket::MaxDatagramSize);
            check(before.mid(consumed) == buffer);
            check(packet.pendingSize() == 0);
            // What was decoded encodes again into a datagram that decodes to the same packet.
            if (!packet.isEmpty()) {
                QByteArray again = packet.toDatagram();
                KP2RpcPacket copy;
                check(copy.fromDatagram(again) == KP2RpcPacket::Decoded && again.isEmpty());
                check(QJsonObject(copy) == QJsonObject(packet) && copy.attachment() == packet.attachment());
            }
            break;
        }
        case KP2RpcPacket::KeepAlive:
            check(before.size() - buffer.size() == 4 && before.mid(4) == buffer);
            check(packet.isEmpty() && packet.attachment().isEmpty());
            break;
        case KP2RpcPacket::Incomplete:
            check(buffer == before);
            check(packet.pendingSize() == 0 || (packet.pendingSize() > buffer.size() &&
                                                quint32(packet.pendingSize()) <= KP2RpcPacket::MaxDatagramSize));
            break;
        case KP2RpcPacket::Malformed:
            check(buffer == before && buffer.size() >= 4 && packet.pendingSize() == 0);
            break;
        default:
            check(false);
    }
    if (result == KP2RpcPacket::Decoded || result == KP2RpcPacket::KeepAlive) {
        steps.push_back({result, packet, packet.attachment()});
    }
    return result;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the chunk size of the second pass; the rest is what arrives on the socket.
    const int chunk = 1 + data[0] % 32;
    const QByteArray input(reinterpret_cast<const char *>(data + 1), int(size - 1));

    std::vector<Step> whole;
    KP2RpcPacket packet;
    QByteArray buffer = input;
    int last;
    while ((last = decodeOnce(packet, buffer, whole)) <= KP2RpcPacket::KeepAlive) {
    }

    std::vector<Step> chunked;
    KP2RpcPacket other;
    QByteArray received;
    int offset = 0;
    int chunkedLast = KP2RpcPacket::Incomplete;
    while (chunkedLast == KP2RpcPacket::Incomplete && offset < input.size()) {
        received.append(input.mid(offset, chunk));
        offset += chunk;
        while ((chunkedLast = decodeOnce(other, received, chunked)) <= KP2RpcPacket::KeepAlive) {
        }
    }

    check(chunkedLast == last);
    check(chunked.size() == whole.size());
    for (size_t i = 0; i < whole.size(); ++i) {
        check(chunked[i].result == whole[i].result && chunked[i].object == whole[i].object &&
              chunked[i].attachment == whole[i].attachment);
    }
    // What stays undecoded is the same bytes: all of them when more are awaited, a prefix of them (as far as they
    // had arrived) when the front is malformed.
    check(last == KP2RpcPacket::Malformed ? buffer.startsWith(received) : received == buffer);
    return 0;
}
