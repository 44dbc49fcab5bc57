#include "service/PayloadCipher.h"

#include "service/Compression.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QtDebug>
#include <QtEndian>

#include <random>

namespace {

constexpr char Version = 0x1C;
constexpr char FlagCompressed = 0x01;
constexpr char FlagChecksum = 0x02;
constexpr char FlagHash = 0x04;
constexpr int ChecksumSize = 2;
constexpr int HashSize = 20;
constexpr int KeyPartCount = 8;

// Supplies the random first byte of every body, so that two cipher texts of
// the same plaintext differ. Its quality does not matter.
thread_local std::minstd_rand randomEngine;

void seedRandomEngine()
{
    randomEngine.seed(std::minstd_rand::result_type(QDateTime::currentMSecsSinceEpoch() & 0xFFFF));
}

char randomByte()
{
    return char(randomEngine() & 0xFF);
}

// CRC-16 of ISO 3309 (the X.25 variant).
quint16 checksum(const QByteArray &data)
{
    return qChecksum(data.constData(), uint(data.size()), Qt::ChecksumIso3309);
}

QByteArray sha1(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1);
}

} // namespace

PayloadCipher::PayloadCipher()
{
    seedRandomEngine();
}

PayloadCipher::PayloadCipher(quint64 key)
{
    setKey(key);
    seedRandomEngine();
}

PayloadCipher PayloadCipher::forCache()
{
    PayloadCipher cipher(BuiltInKey);
    cipher.setCompressionMode(CompressAlways);
    cipher.setProtectionMode(ProtectHash);
    return cipher;
}

void PayloadCipher::setKey(quint64 newKey)
{
    key = newKey;
    keyParts.resize(KeyPartCount);
    for (int i = 0; i < KeyPartCount; ++i)
        keyParts[i] = char((key >> (8 * i)) & 0xFF);
}

void PayloadCipher::setCompressionMode(CompressionMode mode)
{
    compressionMode = mode;
}

void PayloadCipher::setProtectionMode(ProtectionMode mode)
{
    protectionMode = mode;
}

PayloadCipher::CipherError PayloadCipher::lastError() const
{
    return error;
}

QByteArray PayloadCipher::encrypt(const QByteArray &plaintext)
{
    if (keyParts.isEmpty()) {
        qWarning("No key set.");
        error = NoKey;
        return {};
    }

    char flags = 0;
    QByteArray payload;
    switch (compressionMode) {
    case CompressAlways:
        payload = Compression::compress(plaintext);
        flags |= FlagCompressed;
        break;
    case CompressAuto:
        payload = Compression::compress(plaintext);
        if (payload.size() < plaintext.size())
            flags |= FlagCompressed;
        else
            payload = plaintext;
        break;
    case CompressNever:
        payload = plaintext;
        break;
    }

    QByteArray block;
    switch (protectionMode) {
    case ProtectChecksum: {
        flags |= FlagChecksum;
        block.resize(ChecksumSize);
        qToBigEndian(checksum(payload), block.data());
        break;
    }
    case ProtectHash:
        flags |= FlagHash;
        block = sha1(payload);
        break;
    case ProtectNone:
        break;
    }

    QByteArray result;
    result.reserve(3 + block.size() + payload.size());
    result.append(Version);
    result.append(flags);
    result.append(randomByte());
    result.append(block);
    result.append(payload);

    auto *body = reinterpret_cast<uchar *>(result.data()) + 2;
    const int bodySize = result.size() - 2;
    const auto *parts = reinterpret_cast<const uchar *>(keyParts.constData());
    uchar previous = 0;
    for (int i = 0; i < bodySize; ++i) {
        previous = uchar(body[i] ^ parts[i % KeyPartCount] ^ previous);
        body[i] = previous;
    }

    error = NoError;
    return result;
}

QByteArray PayloadCipher::decrypt(const QByteArray &cipherText)
{
    if (keyParts.isEmpty()) {
        qWarning("No key set.");
        error = NoKey;
        return {};
    }
    // Version, flags and the random byte at the least. Anything shorter is
    // not a cipher text; say so rather than leave an earlier call's result
    // standing.
    if (cipherText.size() < 3) {
        error = BadVersion;
        return {};
    }
    if (cipherText.at(0) != Version) {
        error = BadVersion;
        qWarning("Invalid version or not a cyphertext.");
        return {};
    }

    const char flags = cipherText.at(1);
    QByteArray body = cipherText.mid(2);
    auto *bytes = reinterpret_cast<uchar *>(body.data());
    const auto *parts = reinterpret_cast<const uchar *>(keyParts.constData());
    uchar previous = 0;
    for (int i = 0; i < body.size(); ++i) {
        const uchar current = bytes[i];
        bytes[i] = uchar(current ^ previous ^ parts[i % KeyPartCount]);
        previous = current;
    }
    body.remove(0, 1); // the random byte

    if (flags & FlagChecksum) {
        if (body.size() < ChecksumSize) {
            error = IntegrityFailed;
            return {};
        }
        const quint16 stored = qFromBigEndian<quint16>(body.constData());
        body.remove(0, ChecksumSize);
        if (stored != checksum(body)) {
            error = IntegrityFailed;
            return {};
        }
    } else if (flags & FlagHash) {
        if (body.size() < HashSize) {
            error = IntegrityFailed;
            return {};
        }
        const QByteArray stored = body.left(HashSize);
        body.remove(0, HashSize);
        if (stored != sha1(body)) {
            error = IntegrityFailed;
            return {};
        }
    }

    if (flags & FlagCompressed) {
        // The unpacker checks the announced size against the stream and
        // against the largest plaintext any cache holds before allocating,
        // so a damaged or hostile header cannot ask for gigabytes: a cache
        // beyond the bound reads as unreadable, and is rebuilt.
        QByteArray unpacked;
        if (!Compression::uncompress(body, &unpacked, -1, MaxPlaintextSize)) {
            error = IntegrityFailed;
            return {};
        }
        body = std::move(unpacked);
    }

    error = NoError;
    return body;
}
