// The block cipher is FIPS-197 written out plainly: byte-wise state, table S-box, xtime for the field products.
// Speed is not its purpose (it serves small byte arrays); the code follows the standard's pseudo-code so that each
// step can be checked against it.
#include "kp2aes.h"

#include <cstring>

namespace {

constexpr int kBlock = 16;

// FIPS-197 figure 7.
const quint8 kSbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76, 0xca, 0x82, 0xc9,
    0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0, 0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f,
    0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15, 0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07,
    0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75, 0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3,
    0x29, 0xe3, 0x2f, 0x84, 0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58,
    0xcf, 0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8, 0x51, 0xa3,
    0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2, 0xcd, 0x0c, 0x13, 0xec, 0x5f,
    0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73, 0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88,
    0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb, 0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac,
    0x62, 0x91, 0x95, 0xe4, 0x79, 0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a,
    0xae, 0x08, 0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a, 0x70,
    0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e, 0xe1, 0xf8, 0x98, 0x11,
    0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf, 0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42,
    0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16};

// The inverse S-box is the S-box read backwards; building it once spares a second table to proofread.
struct InverseSbox {
    quint8 t[256];
    InverseSbox() {
        for (int i = 0; i < 256; ++i) t[kSbox[i]] = quint8(i);
    }
};

const quint8 *inverseSbox() {
    static const InverseSbox inverse;  // thread-safe initialisation
    return inverse.t;
}

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
quint8 xtime(quint8 a) {
    return quint8((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
}

quint8 multiply(quint8 a, quint8 b) {
    quint8 product = 0;
    for (; b; b >>= 1, a = xtime(a))
        if (b & 1) product ^= a;
    return product;
}

}  // namespace

// The state is the 16-byte block itself, column by column: row r of column c is block[4 * c + r].
class KP2AesPrivate {
public:
    // cipherKey holds 16, 24 or 32 bytes.
    KP2AesPrivate(const QByteArray &given, const QByteArray &cipherKey);

    void encryptBlock(quint8 *s) const;
    void decryptBlock(quint8 *s) const;

    const QByteArray givenKey;
    const int keySize;  // K: 16, 24 or 32 bytes

private:
    void addRoundKey(quint8 *s, int round) const {
        for (int i = 0; i < kBlock; ++i) s[i] ^= m_roundKeys[round * kBlock + i];
    }
    static void shiftRows(quint8 *s, bool inverse);
    static void mixColumns(quint8 *s, bool inverse);

    int m_rounds;             // Nr: 10, 12 or 14
    quint8 m_roundKeys[240];  // Nb * (Nr + 1) words of the key schedule
};

KP2AesPrivate::KP2AesPrivate(const QByteArray &given, const QByteArray &cipherKey)
    : givenKey(given), keySize(cipherKey.size()), m_rounds(keySize / 4 + 6) {
    const int nk = keySize / 4;
    const int words = 4 * (m_rounds + 1);
    std::memcpy(m_roundKeys, cipherKey.constData(), size_t(keySize));
    quint8 rcon = 1;
    for (int i = nk; i < words; ++i) {
        quint8 t[4];
        std::memcpy(t, m_roundKeys + 4 * (i - 1), 4);
        if (i % nk == 0) {
            const quint8 first = t[0];  // RotWord, SubWord, then Rcon on the first byte
            t[0] = quint8(kSbox[t[1]] ^ rcon);
            t[1] = kSbox[t[2]];
            t[2] = kSbox[t[3]];
            t[3] = kSbox[first];
            rcon = xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            for (quint8 &b : t) b = kSbox[b];
        }
        for (int j = 0; j < 4; ++j) m_roundKeys[4 * i + j] = quint8(m_roundKeys[4 * (i - nk) + j] ^ t[j]);
    }
}

void KP2AesPrivate::shiftRows(quint8 *s, bool inverse) {
    quint8 old[kBlock];
    std::memcpy(old, s, kBlock);
    // Row r moves r columns to the left (to the right when inverse).
    for (int r = 1; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            const int shifted = 4 * ((c + r) % 4) + r;
            if (inverse)
                s[shifted] = old[4 * c + r];
            else
                s[4 * c + r] = old[shifted];
        }
}

void KP2AesPrivate::mixColumns(quint8 *s, bool inverse) {
    // The first row of the circulant matrix: {02 03 01 01}, or {0e 0b 0d 09} for the inverse.
    const quint8 m[4] = {quint8(inverse ? 0x0e : 0x02), quint8(inverse ? 0x0b : 0x03), quint8(inverse ? 0x0d : 0x01),
                         quint8(inverse ? 0x09 : 0x01)};
    for (int c = 0; c < 4; ++c) {
        quint8 *col = s + 4 * c;
        const quint8 a[4] = {col[0], col[1], col[2], col[3]};
        for (int r = 0; r < 4; ++r)
            col[r] = quint8(multiply(a[0], m[(4 - r) % 4]) ^ multiply(a[1], m[(5 - r) % 4]) ^
                            multiply(a[2], m[(6 - r) % 4]) ^ multiply(a[3], m[(7 - r) % 4]));
    }
}

void KP2AesPrivate::encryptBlock(quint8 *s) const {
    addRoundKey(s, 0);
    for (int round = 1; round <= m_rounds; ++round) {
        for (int i = 0; i < kBlock; ++i) s[i] = kSbox[s[i]];
        shiftRows(s, false);
        if (round < m_rounds) mixColumns(s, false);
        addRoundKey(s, round);
    }
}

void KP2AesPrivate::decryptBlock(quint8 *s) const {
    const quint8 *inverse = inverseSbox();
    addRoundKey(s, m_rounds);
    for (int round = m_rounds - 1; round >= 0; --round) {
        shiftRows(s, true);
        for (int i = 0; i < kBlock; ++i) s[i] = inverse[s[i]];
        addRoundKey(s, round);
        if (round > 0) mixColumns(s, true);
    }
}

KP2Aes::KP2Aes() = default;
KP2Aes::~KP2Aes() = default;

bool KP2Aes::hasKey() const {
    return d != nullptr;
}

QByteArray KP2Aes::key() const {
    return d ? d->givenKey : QByteArray();
}

void KP2Aes::setKey(const QByteArray &key) {
    d.reset();
    if (key.trimmed().isEmpty()) return;
    QByteArray cipherKey;
    if (key.size() >= 32)
        cipherKey = key.left(32);
    else if (key.size() >= 24)
        cipherKey = key.left(24);
    else
        cipherKey = key.left(16).leftJustified(16, '\0');
    d.reset(new KP2AesPrivate(key, cipherKey));
}

QByteArray KP2Aes::encrypt(QByteArray data) const {
    if (!d) return data;
    if (m_padding) {
        const int count = d->keySize - data.size() % d->keySize;
        data.append(QByteArray(count, char(count)));
    }
    // With a 24-byte key the padded length need not be a multiple of 16; the last block is then filled with zeros.
    if (data.size() % kBlock) data.append(QByteArray(kBlock - data.size() % kBlock, '\0'));
    quint8 *bytes = reinterpret_cast<quint8 *>(data.data());
    for (int at = 0; at < data.size(); at += kBlock) d->encryptBlock(bytes + at);
    return data;
}

QByteArray KP2Aes::decrypt(const QByteArray &data) const {
    if (!d) return data;
    if (data.isEmpty() || data.size() % kBlock) return QByteArray();
    QByteArray plain = data;
    quint8 *bytes = reinterpret_cast<quint8 *>(plain.data());
    for (int at = 0; at < plain.size(); at += kBlock) d->decryptBlock(bytes + at);
    if (!m_padding) return plain;
    // With a 24-byte key the padded text ends at the largest multiple of 24 within the cipher text; beyond it lies
    // the zero fill of the last block (8 bytes when the padded length is an odd multiple of 24), which would hide the
    // padding. Only zeros are dropped, so data that did not come from encrypt keeps its bytes. With 16 and 32 bytes
    // the padded text fills the cipher text exactly.
    const int tail = d->keySize == 24 ? plain.size() % 24 : 0;
    if (tail && plain.endsWith(QByteArray(tail, '\0'))) plain.chop(tail);
    const int count = plain.isEmpty() ? 0 : quint8(plain.back());
    if (count == 0 || count > plain.size()) return plain;
    for (int i = plain.size() - count; i < plain.size(); ++i)
        if (quint8(plain[i]) != count) return plain;
    plain.chop(count);
    return plain;
}
