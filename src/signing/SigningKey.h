#pragma once

#include <QByteArray>
#include <QString>

// The project's public key: verifies what its secret key (SecretKey) signed.
// Ed25519, 32 bytes, written as base64 or hex.
//
// A key that could not be read verifies nothing, so that a launcher built or
// started with a broken key refuses everything instead of trusting it.
class SigningKey final
{
public:
    static constexpr int Size = 32;
    static constexpr int SignatureSize = 64;

    SigningKey() = default;
    // 44 characters of standard base64 or 64 hex digits; anything else gives
    // a key that is not valid.
    static SigningKey fromText(const QString &text);
    static SigningKey fromBytes(const QByteArray &bytes);

    bool isValid() const { return key.size() == Size; }
    // Base64, the form the build and README use.
    QString toText() const;
    QByteArray bytes() const { return key; }

    // True when signature is this key's Ed25519 signature of message.
    bool verify(const QByteArray &message, const QByteArray &signature) const;

private:
    QByteArray key;
};

// Readies libsodium for this process (idempotent, any thread). False when the
// library cannot work here: nothing is then signed or trusted.
bool initSodium();
