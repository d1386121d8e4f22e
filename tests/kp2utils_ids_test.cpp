#include <gtest/gtest.h>

#include <QProcess>
#include <QRandomGenerator>
#include <QSet>

#include "kp2utils.h"

namespace {

TEST(KP2UtilsIds, UuidFoldsTheTextIntoBase36AndBase62) {
    const struct {
        const char *name;
        const char *text;
        const char *base36;
        const char *base62;
    } rows[] = {
        {"one byte, its code 49", "1", "1d", "N"},
        {"two bytes, 49 * 10 + 50", "12", "f0", "8I"},
        {"braces and hyphens dropped", "{1-}", "1d", "N"},
        {"wraps at 2^64", "{00000000-0000-0000-0000-000000000000}", "3205snnvvkrww", "hfzRzdNOwMg"},
        {"longer text", "backup-client-2026", "trdwg7mc1dm", "82lJQTSxPs"},
        {"nothing left after removal", "{-}", "", ""},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(KP2Uuid(QString::fromUtf8(row.text)), QLatin1String(row.base36)) << row.name;
        EXPECT_EQ(KP2Uuid62(QString::fromUtf8(row.text)), QLatin1String(row.base62)) << row.name;
    }
}

TEST(KP2UtilsIds, UuidOfEmptyTextIsFreshEachTime) {
    const QString a = KP2Uuid(QString()), b = KP2Uuid(QString());
    EXPECT_FALSE(a.isEmpty());
    EXPECT_NE(a, b);
    EXPECT_NE(KP2Uuid62(QString()), KP2Uuid62(QString()));
}

TEST(KP2UtilsIds, ToBase62RewritesDigitByDigit) {
    const struct {
        const char *name;
        const char *text;
        const char *expected;
    } rows[] = {
        {"empty", "", ""},
        {"one digit", "1", "1"},
        {"carry emits the low digit first", "99", "B1"},
        {"trimmed, braces and hyphens dropped", " {1-2} ", "c"},
        {"letters take their alphabet position", "abc", "Nm"},
        {"bytes outside the alphabet skipped", "h\xc3\xa9llo", "5C8"},
    };
    for (const auto &row : rows) EXPECT_EQ(KP2ToBase62(QString::fromUtf8(row.text)), row.expected) << row.name;
}

TEST(KP2UtilsIds, RandCodeDrawsEveryCharacterOfItsAlphabet) {
    EXPECT_EQ(randCode(0), QString());
    EXPECT_EQ(randCode(-3), QString());
    EXPECT_EQ(randCode(8).size(), 8);
    // 12,400 draws miss one of 62 characters with probability about 62 * e^-200.
    const QString code = randCode(62 * 200);
    const QSet<QChar> seen(code.begin(), code.end());
    const QString alphabet = QStringLiteral("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(seen, QSet<QChar>(alphabet.begin(), alphabet.end()));
    EXPECT_NE(randCode(16), randCode(16));
}

TEST(KP2UtilsIds, Md5OfKnownTexts) {
    EXPECT_EQ(md5hex(QString()), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5hex(QByteArray()), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5hex(QStringLiteral("abc")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5hex(QStringLiteral("\u00e9")), "66ddcd97cfdeabb2f6fb8a999b4bc76f") << "UTF-8 bytes C3 A9";
}

TEST(KP2UtilsIds, HmacSha1MatchesRfc2202) {
    const struct {
        const char *name;
        QByteArray key;
        QByteArray message;
        const char *expected;
    } rows[] = {
        {"1: 20-byte key", QByteArray(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"2: short key", "Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {"3: 0xdd data", QByteArray(20, '\xaa'), QByteArray(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {"4: 25-byte key", QByteArray::fromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
         QByteArray(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {"5: truncation case", QByteArray(20, '\x0c'), "Test With Truncation",
         "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {"6: 80-byte key is hashed first", QByteArray(80, '\xaa'),
         "Test Using Larger Than Block-Size Key - Hash Key First", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {"7: long key and long data", QByteArray(80, '\xaa'),
         "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const auto &row : rows) EXPECT_EQ(hmacSha1(row.message, row.key), row.expected) << row.name;
}

TEST(KP2UtilsIds, Crc32KnownAnswers) {
    EXPECT_EQ(crc32(QByteArray("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc32(QByteArray("a")), 0xE8B7BE43u);
    EXPECT_EQ(crc32(QByteArray()), 0u);
}

QByteArray gunzip(const QByteArray &member) {
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-dc")});
    if (!gzip.waitForStarted(10000)) return "gzip did not start";
    gzip.write(member);
    gzip.closeWriteChannel();
    if (!gzip.waitForFinished(30000)) return "gzip did not finish";
    if (gzip.exitStatus() != QProcess::NormalExit || gzip.exitCode() != 0)
        return "gzip refused: " + gzip.readAllStandardError();
    return gzip.readAllStandardOutput();
}

TEST(KP2UtilsIds, GnuzipMemberIsReadByGzip) {
    QByteArray random(100000, Qt::Uninitialized);
    QRandomGenerator(42).fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
    const struct {
        const char *name;
        QByteArray data;
    } rows[] = {
        {"empty", QByteArray()},
        {"short text", "hello, gzip\n"},
        {"repetitive, compresses well", QByteArray(300000, 'z')},
        {"random, does not compress", random},
    };
    const QByteArray header = QByteArray::fromHex(
        "1f8b08000000000000"
        "0b");
    for (const auto &row : rows) {
        const QByteArray member = gnuzip(row.data);
        EXPECT_EQ(member.left(10), header) << row.name;
        // gzip checks the CRC-32 and the length in the trailer itself.
        EXPECT_EQ(gunzip(member), row.data) << row.name;
    }
}

TEST(KP2UtilsIds, IdcardValidateChecksCharacterAndOptionalBirthDate) {
    const struct {
        const char *name;
        const char *id;
        bool plain;
        bool withBirthDate;
    } rows[] = {
        {"check character X", "11010519491231002X", true, true},
        {"lower-case x taken as X", "11010519491231002x", true, true},
        {"blanks trimmed", "  440301199001010012\n", true, true},
        {"wrong check character", "110105194912310021", false, false},
        {"17 characters", "11010519491231002", false, false},
        {"19 characters", "11010519491231002X0", false, false},
        {"empty", "", false, false},
        {"month 13", "110105194913310021", true, false},
        {"29 February of a common year", "110105194902290029", true, false},
        {"29 February of a leap year", "110105200002290021", true, true},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(idcardValidate(row.id, false), row.plain) << row.name;
        EXPECT_EQ(idcardValidate(row.id, true), row.withBirthDate) << row.name;
    }
}

TEST(KP2UtilsIds, IqnValidChecksPrefixCharactersAndDate) {
    const struct {
        const char *name;
        const char *text;
        bool expected;
    } rows[] = {
        {"typical name", "iqn.2004-05.lan.store:disk1", true},
        {"nothing after the date", "iqn.2004-05.", true},
        {"upper-case letter", "iqn.2004-05.lan.Store:disk1", false},
        {"upper-case prefix", "IQN.2004-05.lan.store", false},
        {"blank", "iqn.2004-05.lan store", false},
        {"month 13", "iqn.2004-13.lan.store", false},
        {"month 00", "iqn.2004-00.lan.store", false},
        {"year 1900 is not above 1900", "iqn.1900-05.lan.store", false},
        {"no hyphen after the year", "iqn.2004.05.lan.store", false},
        {"no dot after the month", "iqn.2004-05:lan.store", false},
        {"cut short", "iqn.2004-05", false},
        {"other prefix", "eui.02004567a425678d", false},
    };
    for (const auto &row : rows) EXPECT_EQ(iqnValid(QString::fromUtf8(row.text)), row.expected) << row.name;
}

TEST(KP2UtilsIds, Ipv4ValidAcceptsOneToFourPartsOfZeroOr1To255) {
    const struct {
        const char *text;
        bool expected;
    } rows[] = {
        {"192.168.0.1", true}, {"10.0.0", true},     {"7", true},         {"0.0.0.0", true},
        {"01.2.3.4", true},    {"1.2.3.256", false}, {"1..2.3", false},   {"1.2.3.4.5", false},
        {"", false},           {"1.2.3.", false},    {"00.1.2.3", false}, {"1.2.3.-4", false},
        {"+1.2.3.4", false},   {" 1.2.3.4", false},  {"1.2.3.4x", false}, {"99999999999.1", false},
    };
    for (const auto &row : rows) EXPECT_EQ(ipv4Valid(QString::fromUtf8(row.text)), row.expected) << row.text;
}

}  // namespace
