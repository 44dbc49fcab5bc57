#include "service/ApiEnvelope.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>

#include <random>

namespace ApiEnvelope {

const char ApiKey[] = "9Rb2Lm5TqW7cHx3N";
const char LauncherVersion[] = "1.0.0.0";

QString makeSalt()
{
    constexpr int SaltBytes = 20;
    // One generator for the process, seeded afresh from the clock each time.
    static QMutex lock;
    static std::mt19937 generator;

    QByteArray bytes(SaltBytes, Qt::Uninitialized);
    {
        QMutexLocker locker(&lock);
        generator.seed(std::mt19937::result_type(QDateTime::currentSecsSinceEpoch()));
        for (int i = 0; i < SaltBytes; ++i)
            bytes[i] = char(generator() & 0xFF);
    }
    return QString::fromLatin1(bytes.toBase64());
}

QString apiSignature(const QString &action, const QString &salt)
{
    const QByteArray signedText = (action + salt).toUtf8() + QByteArray(ApiKey);
    return QString::fromLatin1(QCryptographicHash::hash(signedText, QCryptographicHash::Md5).toHex());
}

QString scriptUrl(const QString &apiBase)
{
    return apiBase + QStringLiteral("/api_v2.php");
}

HttpRequest makeRequest(const QString &apiBase, const QString &action, const QString &version)
{
    return makeRequest(apiBase, action, version, makeSalt());
}

HttpRequest makeRequest(const QString &apiBase, const QString &action, const QString &version, const QString &salt)
{
    HttpRequest request(scriptUrl(apiBase));
    request.addParam(QStringLiteral("data"), action);
    request.addParam(QStringLiteral("hash"), apiSignature(action, salt));
    request.addParam(QStringLiteral("sig"), salt);
    if (!version.isEmpty())
        request.addParam(QStringLiteral("version"), version);
    return request;
}

} // namespace ApiEnvelope
