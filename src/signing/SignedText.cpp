#include "signing/SignedText.h"

#include "signing/SecretKey.h"
#include "signing/SigningKey.h"

#include <QSet>

namespace {

const QByteArray SignatureName = QByteArrayLiteral("signature");

bool isName(const QByteArray &name)
{
    if (name.isEmpty())
        return false;
    for (const char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    }
    return true;
}

bool isValue(const QByteArray &value)
{
    if (value.isEmpty())
        return false;
    for (const char c : value) {
        if (c < '!' || c > '~')
            return false;
    }
    return true;
}

// Splits text into the signed part and the signature; false when it does not
// have the form.
bool split(const QByteArray &text, const QByteArray &header, QByteArray *statement, QByteArray *signature,
           SignedText::Fields *fields)
{
    if (text.size() > SignedText::MaxSize || !text.endsWith('\n') || text.contains('\r'))
        return false;
    const int lastLine = text.lastIndexOf('\n', text.size() - 2) + 1;
    if (lastLine <= 0)
        return false;
    const QByteArray signatureLine = text.mid(lastLine, text.size() - lastLine - 1);
    if (!signatureLine.startsWith(SignatureName + ' '))
        return false;
    const QByteArray encoded = signatureLine.mid(SignatureName.size() + 1);
    const auto decoded = QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
    // One spelling only, the one the tools write (padded): a text that reads
    // as a signature file is exactly what signing its fields gives.
    if (!decoded || decoded.decoded.size() != SigningKey::SignatureSize || decoded.decoded.toBase64() != encoded)
        return false;

    *statement = text.left(lastLine);
    const QList<QByteArray> lines = statement->left(statement->size() - 1).split('\n');
    if (lines.first() != header)
        return false;
    SignedText::Fields parsed;
    QSet<QByteArray> names;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const int blank = line.indexOf(' ');
        const QByteArray name = line.left(blank);
        const QByteArray value = blank < 0 ? QByteArray() : line.mid(blank + 1);
        if (!isName(name) || name == SignatureName || !isValue(value) || names.contains(name))
            return false;
        names.insert(name);
        parsed.append({name, value});
    }
    *signature = *decoded;
    *fields = parsed;
    return true;
}

} // namespace

namespace SignedText {

QByteArray make(const QByteArray &header, const Fields &fields, const SecretKey &key)
{
    QByteArray statement = header + '\n';
    for (const auto &field : fields) {
        if (!isName(field.first) || field.first == SignatureName || !isValue(field.second))
            return QByteArray();
        statement += field.first + ' ' + field.second + '\n';
    }
    const QByteArray signature = key.sign(statement);
    if (signature.isEmpty())
        return QByteArray();
    return statement + SignatureName + ' ' + signature.toBase64() + '\n';
}

bool parse(const QByteArray &text, const QByteArray &header, Fields *fields)
{
    QByteArray statement;
    QByteArray signature;
    return split(text, header, &statement, &signature, fields);
}

bool open(const QByteArray &text, const QByteArray &header, const SigningKey &key, Fields *fields)
{
    QByteArray statement;
    QByteArray signature;
    Fields parsed;
    if (!split(text, header, &statement, &signature, &parsed) || !key.verify(statement, signature))
        return false;
    *fields = parsed;
    return true;
}

} // namespace SignedText
