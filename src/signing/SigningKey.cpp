#include "signing/SigningKey.h"

#include <sodium.h>

bool initSodium()
{
    // sodium_init is safe to call again and from several threads; it
    // returns 1 once the library is ready.
    return sodium_init() >= 0;
}

SigningKey SigningKey::fromText(const QString &text)
{
    const QByteArray ascii = text.trimmed().toLatin1();
    QByteArray bytes;
    if (ascii.size() == 2 * Size) {
        bytes = QByteArray::fromHex(ascii);
        // fromHex skips what is not a digit; only 64 real digits make a key.
        if (bytes.toHex() != ascii.toLower())
            bytes.clear();
    } else if (ascii.size() == 44) {
        const auto decoded = QByteArray::fromBase64Encoding(ascii, QByteArray::AbortOnBase64DecodingErrors);
        if (decoded)
            bytes = *decoded;
    }
    return fromBytes(bytes);
}

SigningKey SigningKey::fromBytes(const QByteArray &bytes)
{
    SigningKey result;
    if (bytes.size() == Size)
        result.key = bytes;
    return result;
}

QString SigningKey::toText() const
{
    return QString::fromLatin1(key.toBase64());
}

bool SigningKey::verify(const QByteArray &message, const QByteArray &signature) const
{
    if (!isValid() || signature.size() != SignatureSize || !initSodium())
        return false;
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       quint64(message.size()),
                                       reinterpret_cast<const unsigned char *>(key.constData()))
        == 0;
}
