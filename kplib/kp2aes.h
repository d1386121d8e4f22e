// KP2Aes: encrypts and decrypts byte arrays with AES (FIPS-197) in electronic-codebook mode, with the framework's
// own padding. The key length picks AES-128, AES-192 or AES-256. ECB shows equal blocks as equal cipher text, and
// nothing authenticates the data: this is a compatibility format for stored data and peers, not a modern cipher.
// Const methods may run on several threads at once; setKey must not run concurrently with anything else.
#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <memory>

class KP2AesPrivate;

class KP2Aes {
public:
    // No key: encrypt and decrypt return their input unchanged.
    KP2Aes();
    ~KP2Aes();

    bool hasKey() const;
    // The key bytes exactly as given to setKey; empty without a key.
    QByteArray key() const;
    // Drops the previous key. A key that is empty or only white space leaves the object without a key. Otherwise:
    // 32 bytes or more select AES-256 with the first 32 bytes, 24 to 31 bytes AES-192 with the first 24, anything
    // shorter AES-128 with the first 16 bytes (fewer are filled up with zero bytes).
    void setKey(const QByteArray &key);

    // Pads data to a multiple of the cipher's key size K with K - (n mod K) bytes of that value (a whole unit of K
    // bytes when n is already a multiple), then encrypts each 16-byte block on its own; a last partial block is
    // filled up with zero bytes first. The result's length is the padded length rounded up to a multiple of 16.
    QByteArray encrypt(QByteArray data) const;
    // The inverse of encrypt: data of a length that is 0 or not a multiple of 16 gives an empty result. Padding that
    // does not check out (the last h bytes not all h) is left in place, so foreign data still decrypts block by
    // block.
    QByteArray decrypt(const QByteArray &data) const;

private:
    Q_DISABLE_COPY(KP2Aes)
    std::unique_ptr<KP2AesPrivate> d;
    // There is no operation that turns it off; it stays a member so that the format's rule has a name.
    bool m_padding = true;
};
