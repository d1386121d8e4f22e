#include "kp2aes.h"

#include <gtest/gtest.h>

namespace {

const QByteArray Fips = QByteArray::fromHex("00112233445566778899aabbccddeeff");

QByteArray keyOf(int length) {
    QByteArray key;
    for (int i = 0; i < length; ++i) key.append(char(i));
    return key;
}

// The first block of the FIPS rows is the vector of appendix C; the rest were checked with another implementation.
TEST(KP2Aes, EachBlockIsTheFipsCipherOfThePaddedInput) {
    const struct {
        const char *name;
        QByteArray key, plain;
        const char *cipher;
    } rows[] = {
        {"AES-128 appendix C.1, then a whole block of padding", keyOf(16), Fips,
         "69c4e0d86a7b0430d8cdb78070b4c55a954f64f2e4e86e9eee82d20216684899"},
        {"AES-192 appendix C.2, then 8 bytes of 8 and the zero fill", keyOf(24), Fips,
         "dda97ca4864cdfe06eaf70a0ec0d7191024b5ad1a5fa179b7c8b715fa15e3934"},
        {"AES-256 appendix C.3, then 16 bytes of 16", keyOf(32), Fips,
         "8ea2b7ca516745bfeafc49904b4960899f3b7504926f8bd36e3118e903a4cd4a"},
        {"AES-256: one byte and 31 bytes of 31", keyOf(32), "A",
         "a87473c20d163fc2edeadfcc5215348799795322d91d5b212d618765a1a45b70"},
        {"a 20-byte key selects AES-128 with its first 16", keyOf(20), Fips,
         "69c4e0d86a7b0430d8cdb78070b4c55a954f64f2e4e86e9eee82d20216684899"},
        {"a 28-byte key selects AES-192 with its first 24", keyOf(28), Fips,
         "dda97ca4864cdfe06eaf70a0ec0d7191024b5ad1a5fa179b7c8b715fa15e3934"},
        {"a 3-byte key is filled with zeros to 16", "abc", Fips,
         "904bf86816dd5168eb4ef44d76c72f47f389c94a3796f702b9c4bdf3b2a5885c"},
    };
    for (const auto &row : rows) {
        KP2Aes aes;
        aes.setKey(row.key);
        EXPECT_EQ(aes.key(), row.key) << row.name;
        EXPECT_EQ(aes.encrypt(row.plain).toHex(), QByteArray(row.cipher)) << row.name;
        EXPECT_EQ(aes.decrypt(QByteArray::fromHex(row.cipher)), row.plain) << row.name;
    }
}

// Every padding count, and with 24-byte keys the padded lengths that carry 8 bytes of zero fill.
TEST(KP2Aes, DecryptRecoversEveryLengthForEveryKeySize) {
    for (const int keySize : {16, 24, 32}) {
        KP2Aes aes;
        aes.setKey(keyOf(keySize));
        for (int length = 0; length <= 100; ++length) {
            const QByteArray plain(length, char(length % 7 + 1));
            const QByteArray cipher = aes.encrypt(plain);
            EXPECT_EQ(cipher.size(), (length + keySize - length % keySize + 15) / 16 * 16);
            EXPECT_EQ(aes.decrypt(cipher), plain) << "key " << keySize << " length " << length;
        }
    }
}

TEST(KP2Aes, BlankKeyLeavesDataUnchangedAndBadLengthsDecryptToNothing) {
    KP2Aes aes;
    aes.setKey(" \t\n ");
    EXPECT_FALSE(aes.hasKey());
    EXPECT_TRUE(aes.key().isEmpty());
    EXPECT_EQ(aes.encrypt("plain"), "plain");
    EXPECT_EQ(aes.decrypt("plain"), "plain");

    aes.setKey(keyOf(16));
    EXPECT_TRUE(aes.hasKey());
    EXPECT_TRUE(aes.decrypt(QByteArray(17, 'x')).isEmpty());
    EXPECT_TRUE(aes.decrypt(QByteArray()).isEmpty());
}

}  // namespace
