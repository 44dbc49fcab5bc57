#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

// The JSON answers of the launcher API and of the monitoring service, read
// into plain values. The bytes come from the network: anything that is not
// the expected shape reads as "nothing" (empty text, no entries, port 0),
// never as a failure of the caller.
namespace ApiAnswers {

// One game server of the "servers" answer.
struct ServerEntry
{
    QString name; // "new_name"
    QString addr;
    quint16 port = 0; // low 16 bits of "port", a JSON number or numeric string
};

// One item of the "news" answer; missing keys give empty text.
struct NewsItem
{
    QString caption;
    QString text;
    QString date;
    QString link;
    QString image;
};

// The "updates" answer.
struct UpdateOffer
{
    bool update = false; // "act" is "update" in any letter case
    QString latestVersion;
    QString downloadUrl;
};

// The monitoring answer for one server slot.
struct MonitoringCounts
{
    bool present = false; // both "numplayers" and "maxplayers" were there
    quint16 numplayers = 0;
    quint16 maxplayers = 0;
};

// "cdn" of the "ping" answer when it is an http(s) address (only a web
// address can be a mirror), else empty.
QString parsePing(const QByteArray &answer);

// An offer only when "act" says "update"; the other fields are then read
// as text, whatever they hold.
UpdateOffer parseUpdate(const QByteArray &answer);

// True when the answer is a JSON array; its elements go to *servers in
// array order (elements that are no object give empty values).
bool parseServers(const QByteArray &answer, QVector<ServerEntry> *servers);

// The items of a JSON array in array order; anything else gives none.
QVector<NewsItem> parseNews(const QByteArray &answer);

// The two counts, each an integral JSON number kept in 16 bits (other
// values read as 0).
MonitoringCounts parseMonitoring(const QByteArray &answer);

} // namespace ApiAnswers
