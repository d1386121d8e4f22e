#include <gtest/gtest.h>

#include <QProcess>
#include <QRandomGenerator>
#include <QSet>

#include "kp2utils.h"

namespace {

struct Row {  // one named case of a conversion
    const char *name, *text, *expected;
};
struct Check {  // one named case of a form check
    const char *name, *text;
    bool valid;
};

TEST(KP2UtilsIds, UuidFoldsTheTextIntoBase36AndBase62) {
    const Row rows[] = {{"one byte, code 49: 1d / N", "1", "1d"},
                        {"braces and hyphens dropped", "{1-2}", "f0"},
                        {"wraps at 2^64", "{00000000-0000-0000-0000-000000000000}", "3205snnvvkrww"}};
    for (const Row &row : rows) EXPECT_EQ(KP2Uuid(QString::fromUtf8(row.text)), row.expected) << row.name;
    EXPECT_EQ(KP2Uuid62("{00000000-0000-0000-0000-000000000000}"), "hfzRzdNOwMg");
    EXPECT_EQ(KP2Uuid62("1"), "N");
    EXPECT_NE(KP2Uuid(QString()), KP2Uuid(QString())) << "a fresh random UUID each time";
}

TEST(KP2UtilsIds, ToBase62RewritesDigitByDigit) {
    const Row rows[] = {{"carry emits the low digit first", "99", "B1"},
                        {"trimmed, braces and hyphens dropped", " {1-2} ", "c"},
                        {"bytes outside the alphabet skipped", "h\xc3\xa9llo", "5C8"}};
    for (const Row &row : rows) EXPECT_EQ(KP2ToBase62(QString::fromUtf8(row.text)), row.expected) << row.name;
}

TEST(KP2UtilsIds, RandCodeDrawsEveryCharacterOfItsAlphabet) {
    EXPECT_EQ(randCode(0), QString());
    // 12,400 draws miss one of 62 characters with probability about 62 * e^-200.
    const QString code = randCode(62 * 200);
    const QString alphabet = QStringLiteral("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(QSet<QChar>(code.begin(), code.end()), QSet<QChar>(alphabet.begin(), alphabet.end()));
}

TEST(KP2UtilsIds, DigestsAndChecksumKnownAnswers) {
    EXPECT_EQ(md5hex(QString()), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5hex(QStringLiteral("\u00e9")), "66ddcd97cfdeabb2f6fb8a999b4bc76f") << "of the UTF-8 bytes C3 A9";
    EXPECT_EQ(crc32(QByteArray("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc32(QByteArray()), 0u);
    // RFC 2202 cases 1, 2, 3 and 6 (a key longer than the block is hashed first).
    EXPECT_EQ(hmacSha1("Hi There", QByteArray(20, '\x0b')), "b617318655057264e28bc0b6fb378c8ef146be00");
    EXPECT_EQ(hmacSha1("what do ya want for nothing?", "Jefe"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    EXPECT_EQ(hmacSha1(QByteArray(50, '\xdd'), QByteArray(20, '\xaa')), "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
    EXPECT_EQ(hmacSha1("Test Using Larger Than Block-Size Key - Hash Key First", QByteArray(80, '\xaa')),
              "aa4ae5e15272d00e95705637ce8a3b55ed402112");
}

TEST(KP2UtilsIds, GnuzipMemberIsReadByGzip) {
    QByteArray random(100000, Qt::Uninitialized);
    QRandomGenerator(42).fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
    for (const QByteArray &data : {QByteArray(), QByteArray(300000, 'z'), random}) {
        const QByteArray member = gnuzip(data);
        EXPECT_STREQ(member.left(10).toHex().constData(), "1f8b080000000000000b");
        QProcess gzip;  // gzip checks the CRC-32 and the length of the trailer itself
        gzip.start(QStringLiteral("gzip"), {QStringLiteral("-dc")});
        gzip.write(member);
        gzip.closeWriteChannel();
        ASSERT_TRUE(gzip.waitForFinished(30000));
        EXPECT_EQ(gzip.exitCode(), 0) << gzip.readAllStandardError().constData();
        EXPECT_EQ(gzip.readAllStandardOutput(), data) << data.size() << " bytes";
    }
}

TEST(KP2UtilsIds, IdcardValidateChecksCharacterAndOptionalBirthDate) {
    const struct {
        const char *name, *id;
        bool valid, validWithBirthDate;
    } rows[] = {{"lower-case x taken as X, blanks trimmed", " 11010519491231002x\n", true, true},
                {"wrong check character", "110105194912310021", false, false},
                {"17 characters", "11010519491231002", false, false},
                {"month 13", "110105194913310021", true, false},
                {"29 February of a common year", "110105194902290029", true, false},
                {"29 February of a leap year", "110105200002290021", true, true}};
    for (const auto &row : rows) {
        EXPECT_EQ(idcardValidate(row.id, false), row.valid) << row.name;
        EXPECT_EQ(idcardValidate(row.id, true), row.validWithBirthDate) << row.name;
    }
}

TEST(KP2UtilsIds, IqnAndIpv4FormChecks) {
    const Check iqns[] = {{"typical", "iqn.2004-05.lan.store:disk1", true},
                          {"upper case", "iqn.2004-05.lan.Store", false},
                          {"month 13", "iqn.2004-13.lan.store", false},
                          {"year 1900", "iqn.1900-05.lan.store", false},
                          {"no hyphen after year", "iqn.2004.05.lan", false},
                          {"no dot after month", "iqn.2004-05:a", false},
                          {"cut short", "iqn.2004-05", false}};
    for (const Check &row : iqns) EXPECT_EQ(iqnValid(row.text), row.valid) << row.name;
    const Check ipv4s[] = {{"four parts", "192.168.0.1", true}, {"three parts", "10.0.0", true},
                           {"leading zero", "01.2.3.4", true},  {"above 255", "1.2.3.256", false},
                           {"empty part", "1..2.3", false},     {"five parts", "1.2.3.4.5", false},
                           {"empty text", "", false},           {"00 is not 0", "00.1.2.3", false},
                           {"sign", "+1.2.3.4", false},         {"blank", " 1.2.3.4", false}};
    for (const Check &row : ipv4s) EXPECT_EQ(ipv4Valid(row.text), row.valid) << row.name;
}

}  // namespace
