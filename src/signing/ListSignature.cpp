#include "signing/ListSignature.h"

#include "signing/SignedText.h"
#include "signing/SigningKey.h"

#include <QCryptographicHash>

namespace {

const QByteArray Header = QByteArrayLiteral("varo-sync-list-signature 1");

QByteArray timeText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate).toLatin1();
}

// Serial, digest and the optional expiry, in that order, each in its one
// written form.
bool toStatement(const SignedText::Fields &fields, ListSignature::Statement *statement)
{
    if (fields.size() < 2 || fields.size() > 3 || fields.at(0).first != "serial" || fields.at(1).first != "sha256")
        return false;
    bool ok = false;
    const quint64 serial = fields.at(0).second.toULongLong(&ok);
    if (!ok || serial == 0 || QByteArray::number(serial) != fields.at(0).second)
        return false;
    const QByteArray digest = QByteArray::fromHex(fields.at(1).second);
    if (digest.size() != 32 || digest.toHex() != fields.at(1).second)
        return false;
    QDateTime expires;
    if (fields.size() == 3) {
        if (fields.at(2).first != "expires")
            return false;
        expires = QDateTime::fromString(QString::fromLatin1(fields.at(2).second), Qt::ISODate);
        if (!expires.isValid() || timeText(expires) != fields.at(2).second)
            return false;
    }
    statement->serial = serial;
    statement->sha256 = digest;
    statement->expires = expires;
    return true;
}

} // namespace

namespace ListSignature {

QByteArray make(const SecretKey &key, const QByteArray &list, quint64 serial, const QDateTime &expires)
{
    if (serial == 0)
        return QByteArray();
    SignedText::Fields fields{{"serial", QByteArray::number(serial)},
                              {"sha256", QCryptographicHash::hash(list, QCryptographicHash::Sha256).toHex()}};
    if (!expires.isNull()) {
        QDateTime whole = expires.toUTC();
        whole.setTime(QTime(whole.time().hour(), whole.time().minute(), whole.time().second()));
        fields.append({"expires", timeText(whole)});
    }
    return SignedText::make(Header, fields, key);
}

bool read(const QByteArray &signatureFile, Statement *statement)
{
    SignedText::Fields fields;
    return SignedText::parse(signatureFile, Header, &fields) && toStatement(fields, statement);
}

Verdict check(const QByteArray &signatureFile, const SigningKey &key, const QByteArray &list, quint64 highestSerial,
              const QDateTime &now, Statement *statement)
{
    SignedText::Fields fields;
    Statement said;
    if (!SignedText::open(signatureFile, Header, key, &fields) || !toStatement(fields, &said))
        return Verdict::Unreadable;
    if (said.sha256 != QCryptographicHash::hash(list, QCryptographicHash::Sha256))
        return Verdict::OtherList;
    if (said.serial < highestSerial)
        return Verdict::Replayed;
    if (!said.expires.isNull() && now >= said.expires)
        return Verdict::Expired;
    if (statement)
        *statement = said;
    return Verdict::Valid;
}

} // namespace ListSignature
