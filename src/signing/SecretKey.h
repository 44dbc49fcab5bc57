#pragma once

#include "signing/SigningKey.h"

#include <QByteArray>

// The project's secret signing key, for the operators' tools only: it makes
// the signatures that SigningKey verifies. Kept as a small text file
// (toFileText) that belongs offline, never on a web server.
class SecretKey final
{
public:
    SecretKey() = default;
    ~SecretKey();
    SecretKey(const SecretKey &other) = default;
    SecretKey &operator=(const SecretKey &other) = default;

    // A fresh key from the system's random source; not valid when there is
    // none.
    static SecretKey generate();
    // The contents of a key file; a key that is not valid when they are not
    // one.
    static SecretKey fromFileText(const QByteArray &text);

    bool isValid() const { return seed.size() == SeedSize; }
    QByteArray toFileText() const;
    SigningKey publicKey() const;
    // The Ed25519 signature of message (empty when the key is not valid).
    QByteArray sign(const QByteArray &message) const;

private:
    static constexpr int SeedSize = 32;

    QByteArray seed;
};
