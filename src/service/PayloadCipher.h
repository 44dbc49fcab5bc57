#pragma once

#include <QByteArray>
#include <QObject>
#include <QtGlobal>

// The symmetric cipher of every cached file (server list, sync state, news
// pictures). A cipher text is the version byte 0x1C, a flags byte and a body
// of one random byte, an optional integrity block (CRC-16 or SHA-1 of the
// payload) and the payload, the plaintext or its qCompress form. The body is
// chained with the key: every output byte is the input byte XOR a key part
// XOR the previous output byte.
//
// It keeps stored files readable across builds, not secret from anyone who
// holds the program: the key is a constant of the program.
class PayloadCipher final
{
    Q_GADGET

public:
    enum CompressionMode { CompressAuto = 0, CompressAlways = 1, CompressNever = 2 };
    Q_ENUM(CompressionMode)

    enum ProtectionMode { ProtectNone = 0, ProtectChecksum = 1, ProtectHash = 2 };
    Q_ENUM(ProtectionMode)

    enum CipherError { NoError = 0, NoKey = 1, BadVersion = 2, IntegrityFailed = 3 };
    Q_ENUM(CipherError)

    // The largest plaintext decrypt gives: far above any cache the program
    // writes (the remembered state of a whole game folder is a few
    // megabytes, a news picture at most 16 MiB).
    static constexpr qint64 MaxPlaintextSize = qint64(64) << 20;

    // The one key of the program. Changing it makes every cache written by
    // an earlier build unreadable (they then read as absent and are rebuilt).
    static constexpr quint64 BuiltInKey = Q_UINT64_C(0x3A9C5E17D4B2608F);

    // Without a key: encrypt and decrypt fail with NoKey until setKey.
    PayloadCipher();
    explicit PayloadCipher(quint64 key);

    // The cipher as every cache of the program uses it: the built-in key,
    // CompressAlways and ProtectHash.
    static PayloadCipher forCache();

    void setKey(quint64 key);
    void setCompressionMode(CompressionMode mode);
    void setProtectionMode(ProtectionMode mode);

    // Empty on failure (see lastError). An empty plaintext still gives a
    // non-empty cipher text.
    QByteArray encrypt(const QByteArray &plaintext);
    QByteArray decrypt(const QByteArray &cipherText);

    CipherError lastError() const;

private:
    quint64 key = 0;
    QByteArray keyParts; // byte i = bits 8*i .. 8*i+7 of key; empty without a key
    CompressionMode compressionMode = CompressAuto;
    ProtectionMode protectionMode = ProtectChecksum;
    CipherError error = NoError;
};
