#include "signing/SecretKey.h"

#include <sodium.h>

#include <QList>

namespace {

// First line of a key file: what it is and the form of what follows.
const QByteArray FileHeader = QByteArrayLiteral("varo-signing-secret-key 1");

} // namespace

SecretKey::~SecretKey()
{
    // Only the last copy wipes the bytes (data() of a shared array would
    // wipe a fresh copy of its own).
    if (seed.isDetached())
        sodium_memzero(seed.data(), size_t(seed.size()));
}

SecretKey SecretKey::generate()
{
    SecretKey key;
    if (!initSodium())
        return key;
    key.seed.resize(SeedSize);
    randombytes_buf(key.seed.data(), size_t(SeedSize));
    return key;
}

SecretKey SecretKey::fromFileText(const QByteArray &text)
{
    SecretKey key;
    const QList<QByteArray> lines = text.trimmed().split('\n');
    if (lines.size() != 2 || lines.at(0).trimmed() != FileHeader)
        return key;
    const auto decoded = QByteArray::fromBase64Encoding(lines.at(1).trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (decoded && decoded.decoded.size() == SeedSize)
        key.seed = *decoded;
    return key;
}

QByteArray SecretKey::toFileText() const
{
    if (!isValid())
        return QByteArray();
    return FileHeader + '\n' + seed.toBase64() + '\n';
}

SigningKey SecretKey::publicKey() const
{
    if (!isValid() || !initSodium())
        return SigningKey();
    unsigned char publicBytes[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretBytes[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicBytes, secretBytes, reinterpret_cast<const unsigned char *>(seed.constData()));
    sodium_memzero(secretBytes, sizeof secretBytes);
    return SigningKey::fromBytes(QByteArray(reinterpret_cast<const char *>(publicBytes), sizeof publicBytes));
}

QByteArray SecretKey::sign(const QByteArray &message) const
{
    if (!isValid() || !initSodium())
        return QByteArray();
    unsigned char publicBytes[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretBytes[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicBytes, secretBytes, reinterpret_cast<const unsigned char *>(seed.constData()));
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(message.constData()), quint64(message.size()),
                         secretBytes);
    sodium_memzero(secretBytes, sizeof secretBytes);
    return signature;
}
