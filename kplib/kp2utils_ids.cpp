// Identifiers, digests, checksums, the gzip wrapping and the form checks of kp2utils.h. Digests come from Qt,
// CRC-32 and deflate from zlib; nothing here keeps state between calls.
#include <zlib.h>

#include <limits>

#include <QCryptographicHash>
#include <QDate>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QUuid>

#include "kp2utils.h"

namespace {

const char kBase36[] = "0123456789abcdefghijklmnopqrstuvwxyz";
const char kBase62[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
// The random codes order the cases the other way round.
const char kRandomCodeChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

QByteArray withoutBracesAndHyphens(QByteArray bytes) {
    bytes.replace('{', QByteArray()).replace('-', QByteArray()).replace('}', QByteArray());
    return bytes;
}

// The fold behind both identifier forms; unsigned arithmetic wraps modulo 2^64 as intended.
QString foldedIdentifier(const QString &s, const char *digits, quint64 base) {
    const QByteArray bytes =
        withoutBracesAndHyphens(s.isEmpty() ? QUuid::createUuid().toString().toUtf8() : s.toUtf8());
    quint64 v = 0;
    for (char c : bytes) v = v * 10 + static_cast<unsigned char>(c);
    QByteArray out;
    for (; v > 0; v /= base) out.prepend(digits[v % base]);
    return QString::fromLatin1(out);
}

int code(QChar c) {
    return c.unicode();
}
int code(char c) {
    return static_cast<unsigned char>(c);
}

// Reads a non-empty run of ASCII digits; signs, blanks and anything else are refused, so that a form check never
// accepts what only a lenient number parser would read. The value saturates at 999999, far above every bound
// checked here, so that a long run of digits cannot overflow.
template <typename Text>
bool readDigits(const Text &text, int *value) {
    if (text.isEmpty()) return false;
    int v = 0;
    for (const auto ch : text) {
        const int c = code(ch);
        if (c < '0' || c > '9') return false;
        v = qMin(v * 10 + (c - '0'), 999999);
    }
    *value = v;
    return true;
}

}  // namespace

QString KP2Uuid(const QString &s) {
    return foldedIdentifier(s, kBase36, 36);
}

QString KP2Uuid62(const QString &s) {
    return foldedIdentifier(s, kBase62, 62);
}

QString KP2ToBase62(const QString &s) {
    const QByteArray bytes = withoutBracesAndHyphens(s.trimmed().toUtf8());
    const QByteArray alphabet = QByteArray::fromRawData(kBase62, 62);
    // v stays below 62 between bytes, so v * 10 + k never exceeds 671.
    int v = 0;
    QByteArray out;
    for (char c : bytes) {
        const int k = alphabet.indexOf(c);
        if (k < 0) continue;
        for (v = v * 10 + k; v >= 62; v /= 62) out.append(kBase62[v % 62]);
    }
    for (; v > 0; v /= 62) out.append(kBase62[v % 62]);
    return QString::fromLatin1(out);
}

QString randCode(int n) {
    if (n <= 0) return QString();
    QByteArray out;
    out.reserve(n);
    QRandomGenerator *random = QRandomGenerator::global();
    // (r * 62) >> 32 maps a 32-bit r onto 0..61 with no division; every position gets 2^32 / 62 values, rounded
    // up or down, so the characters are equally likely to within about 1 part in 7 * 10^7.
    for (int i = 0; i < n; ++i) out.append(kRandomCodeChars[(quint64(random->generate()) * 62) >> 32]);
    return QString::fromLatin1(out);
}

QString md5hex(const QString &s) {
    return md5hex(s.toUtf8());
}

QString md5hex(const QByteArray &b) {
    return QString::fromLatin1(QCryptographicHash::hash(b, QCryptographicHash::Md5).toHex());
}

QString hmacSha1(const QByteArray &message, const QByteArray &key) {
    return QString::fromLatin1(QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha1).toHex());
}

quint32 crc32(const QByteArray &b) {
    // zlib's own crc32 (a C overload of this name) starts from 0 and applies the initial and final complements.
    return static_cast<quint32>(::crc32(0L, reinterpret_cast<const Bytef *>(b.constData()), uInt(b.size())));
}

QByteArray gnuzip(const QByteArray &b) {
    // Window bits 16 + 15 make zlib write the gzip wrapper: the header from gzHeader (no name, time 0, OS byte 11;
    // the flags byte is 0 at the default level), then the CRC-32 and the length.
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    gz_header gzHeader{};
    gzHeader.os = 11;
    // deflateBound counts the wrapper set by deflateSetHeader.
    const uLong bound = deflateSetHeader(&stream, &gzHeader) == Z_OK ? deflateBound(&stream, uLong(b.size())) : 0;
    if (bound == 0 || bound > uLong(std::numeric_limits<int>::max())) {  // the member would not fit a QByteArray
        deflateEnd(&stream);
        return QByteArray();
    }
    QByteArray out(int(bound), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(b.constData()));
    stream.avail_in = uInt(b.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    // deflateBound leaves room for the whole member, so one Z_FINISH call ends it.
    const int rc = deflate(&stream, Z_FINISH);
    const uLong written = stream.total_out;
    deflateEnd(&stream);
    if (rc != Z_STREAM_END) return QByteArray();
    out.resize(int(written));
    return out;
}

bool idcardValidate(const QByteArray &id, bool checkBirthDate) {
    static const int weights[17] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
    static const char checks[] = "10X98765432";
    const QByteArray number = id.trimmed().toUpper();
    if (number.size() != 18) return false;
    int sum = 0;
    for (int i = 0; i < 17; ++i) sum += (code(number.at(i)) - '0') * weights[i];
    // A non-digit can drive the sum below zero; the check character needs the non-negative remainder.
    const int remainder = (sum % 11 + 11) % 11;
    if (number.at(17) != checks[remainder]) return false;
    if (!checkBirthDate) return true;
    int year = 0, month = 0, day = 0;
    return readDigits(number.mid(6, 4), &year) && readDigits(number.mid(10, 2), &month) &&
           readDigits(number.mid(12, 2), &day) && QDate::isValid(year, month, day);
}

bool iqnValid(const QString &s) {
    static const QString allowed = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789.:-");
    for (const QChar c : s)
        if (!allowed.contains(c)) return false;
    // "iqn." yyyy "-" mm "." : the date ends at index 11.
    if (!s.startsWith(QLatin1String("iqn.")) || s.size() < 12) return false;
    int year = 0, month = 0;
    return readDigits(s.mid(4, 4), &year) && year > 1900 && s.at(8) == QLatin1Char('-') &&
           readDigits(s.mid(9, 2), &month) && month >= 1 && month <= 12 && s.at(11) == QLatin1Char('.');
}

bool ipv4Valid(const QString &s) {
    const QStringList parts = s.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.isEmpty() || parts.size() > 4) return false;
    for (const QString &part : parts) {
        if (part == QLatin1String("0")) continue;
        int value = 0;
        if (!readDigits(part, &value) || value < 1 || value > 255) return false;
    }
    return true;
}
