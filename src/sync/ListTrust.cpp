#include "sync/ListTrust.h"

#include <QFile>
#include <QLoggingCategory>
#include <QSaveFile>

namespace {

Q_LOGGING_CATEGORY(lcTrust, "varo.sync", QtInfoMsg)

// The file holds one decimal number; anything longer is not ours.
constexpr qint64 MaxSerialFileSize = 64;

} // namespace

ListTrust::ListTrust(const QString &keyText, const QString &file)
    : required(!keyText.isEmpty())
    , key(SigningKey::fromText(keyText))
    , serialFile(file)
{
}

quint64 ListTrust::highestSerial() const
{
    QFile file(serialFile);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    bool ok = false;
    const quint64 serial = file.read(MaxSerialFileSize).trimmed().toULongLong(&ok);
    return ok ? serial : 0;
}

ListSignature::Verdict ListTrust::accept(const QByteArray &list, const QByteArray &signatureFile)
{
    const quint64 highest = highestSerial();
    ListSignature::Statement statement;
    const ListSignature::Verdict verdict = ListSignature::check(signatureFile, key, list, highest,
                                                                QDateTime::currentDateTimeUtc(), &statement);
    qCDebug(lcTrust) << "[list signature]" << int(verdict) << statement.serial << highest;
    if (verdict != ListSignature::Verdict::Valid || statement.serial == highest)
        return verdict;
    QSaveFile file(serialFile);
    const QByteArray text = QByteArray::number(statement.serial) + '\n';
    // A serial that cannot be kept only weakens the next check; the list
    // itself is the project's.
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        qCWarning(lcTrust) << "[list serial] cannot write" << serialFile << file.errorString();
    return verdict;
}

QString ListTrust::messageText(ListSignature::Verdict verdict)
{
    switch (verdict) {
    case ListSignature::Verdict::Valid:
        return QString();
    case ListSignature::Verdict::Replayed:
        return QStringLiteral("fail serial");
    case ListSignature::Verdict::Expired:
        return QStringLiteral("fail expired");
    case ListSignature::Verdict::Unreadable:
    case ListSignature::Verdict::OtherList:
        break;
    }
    return QStringLiteral("fail signature");
}

QString ListTrust::reasonText(ListSignature::Verdict verdict)
{
    switch (verdict) {
    case ListSignature::Verdict::Valid:
        return QString();
    case ListSignature::Verdict::Replayed:
        return QStringLiteral("список файлов старее уже полученного");
    case ListSignature::Verdict::Expired:
        return QStringLiteral("срок действия списка файлов истёк");
    case ListSignature::Verdict::Unreadable:
    case ListSignature::Verdict::OtherList:
        break;
    }
    return QStringLiteral("подпись списка файлов неверна");
}
