// Fuzzes the compact binary decoder: fromCompactObject over arbitrary bytes must consume only a prefix of them and
// return an object whose encoding is stable: encoding it, decoding that and encoding again gives the same bytes.
// The first input byte also picks a type for one fromCompactValue call on the same bytes.
#include "kp2rpcpacket.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <cstdint>
#include <cstdlib>

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const KP2RpcPacket packet;

    QByteArray buffer = input;
    const QJsonObject object = packet.fromCompactObject(buffer);
    check(buffer.size() <= input.size() && input.endsWith(buffer));

    // Keys read back may hold a zero byte, which the encoder refuses; everything else must re-encode.
    const QByteArray encoded = packet.toCompactValue(object);
    if (!encoded.isEmpty()) {
        check(encoded.at(0) == '>');
        QByteArray again = encoded.mid(1);
        const QJsonObject decoded = packet.fromCompactObject(again);
        check(again.isEmpty());
        check(packet.toCompactValue(decoded) == encoded);
    }

    if (!input.isEmpty()) {
        static const char types[] = {'?', '=', '|', ':', '>', 'x'};
        QByteArray body = input.mid(1);
        const QByteArray bodyBefore = body;
        QJsonValue value;
        if (packet.fromCompactValue(value, types[uint8_t(input[0]) % sizeof types], body)) {
            check(body.size() <= bodyBefore.size() && bodyBefore.endsWith(body));
        } else {
            check(body == bodyBefore && value.isNull());
        }
    }
    return 0;
}
