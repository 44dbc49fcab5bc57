#include "service/ApiAnswers.h"

#include "service/WebAddress.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QVariant>

#include <climits>
#include <cmath>

namespace {

// A JSON value as text, numbers and booleans included; missing keys,
// objects and arrays give empty text.
QString text(const QJsonObject &object, const QString &key)
{
    return object.value(key).toVariant().toString();
}

// The low 16 bits of a port given as a JSON number or a numeric string; 0
// for anything that is not a non-negative integer value.
quint16 portValue(const QJsonValue &value)
{
    quint64 number = 0;
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (std::isfinite(d) && d >= 0 && d < 18446744073709551616.0)
            number = quint64(d);
    } else if (value.isString()) {
        bool ok = false;
        number = value.toString().trimmed().toULongLong(&ok);
        if (!ok)
            number = 0;
    }
    return quint16(number & 0xFFFF);
}

// A JSON number that is an integer in the range of int, else 0. Written out
// rather than QJsonValue::toInt(), whose older versions convert
// out-of-range numbers with undefined behaviour.
int integerValue(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d < double(INT_MIN) || d > double(INT_MAX) || d != std::trunc(d))
        return 0;
    return int(d);
}

bool parseArray(const QByteArray &bytes, QJsonArray *array)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return false;
    *array = document.array();
    return true;
}

QJsonObject parseObject(const QByteArray &bytes)
{
    return QJsonDocument::fromJson(bytes).object();
}

} // namespace

namespace ApiAnswers {

QString parsePing(const QByteArray &answer)
{
    const QString named = parseObject(answer).value(QStringLiteral("cdn")).toString();
    return WebAddress::isFetchable(named) ? named : QString();
}

UpdateOffer parseUpdate(const QByteArray &answer)
{
    UpdateOffer offer;
    const QJsonObject object = parseObject(answer);
    if (text(object, QStringLiteral("act")).toLower() != QLatin1String("update"))
        return offer;
    offer.update = true;
    offer.latestVersion = text(object, QStringLiteral("latest_version"));
    offer.downloadUrl = text(object, QStringLiteral("download_url"));
    return offer;
}

bool parseServers(const QByteArray &answer, QVector<ServerEntry> *servers)
{
    servers->clear();
    QJsonArray array;
    if (!parseArray(answer, &array))
        return false;
    servers->reserve(array.size());
    for (const QJsonValue &value : qAsConst(array)) {
        const QJsonObject server = value.toObject();
        servers->append({text(server, QStringLiteral("new_name")), text(server, QStringLiteral("addr")),
                         portValue(server.value(QStringLiteral("port")))});
    }
    return true;
}

QVector<NewsItem> parseNews(const QByteArray &answer)
{
    const QJsonArray array = QJsonDocument::fromJson(answer).array();
    QVector<NewsItem> items;
    items.reserve(array.size());
    for (const QJsonValue &value : array) {
        const QJsonObject item = value.toObject();
        items.append({text(item, QStringLiteral("caption")), text(item, QStringLiteral("text")),
                      text(item, QStringLiteral("date")), text(item, QStringLiteral("link")),
                      text(item, QStringLiteral("image"))});
    }
    return items;
}

MonitoringCounts parseMonitoring(const QByteArray &answer)
{
    MonitoringCounts counts;
    const QJsonObject object = parseObject(answer);
    const QString players = QStringLiteral("numplayers");
    const QString total = QStringLiteral("maxplayers");
    if (!object.contains(players) || !object.contains(total))
        return counts;
    counts.present = true;
    counts.numplayers = quint16(integerValue(object.value(players)));
    counts.maxplayers = quint16(integerValue(object.value(total)));
    return counts;
}

} // namespace ApiAnswers
