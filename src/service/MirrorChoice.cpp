#include "service/MirrorChoice.h"

#include "service/ApiAnswers.h"
#include "service/ApiEnvelope.h"
#include "service/HttpRequest.h"
#include "service/ProcessState.h"

namespace {

// Sends the API "ping"; on success *cdn is its "cdn" member when that is
// an http(s) address, else empty.
bool pingApi(const QString &apiBase, QString *cdn, QNetworkAccessManager *network)
{
    HttpRequest request = ApiEnvelope::makeRequest(apiBase, QStringLiteral("ping"));
    request.setNetwork(network);
    if (!request.get(2, 3000))
        return false;
    // Only a web address can be a mirror; anything else counts as missing.
    *cdn = ApiAnswers::parsePing(request.response());
    return true;
}

} // namespace

namespace MirrorChoice {

QString choose(const QString &apiBase, const QString &primaryMirror, QNetworkAccessManager *network)
{
    QString mirror = primaryMirror;
    QString cdn;
    if (pingApi(apiBase, &cdn, network))
        mirror = cdn;
    if (ProcessState::isExitRequested())
        return mirror;

    HttpRequest probe(mirror + QStringLiteral("ping.txt"));
    probe.setNetwork(network);
    const bool mirrorUp = probe.get(2, 3000);
    if (ProcessState::isExitRequested() || mirrorUp)
        return mirror;

    pingApi(apiBase, &cdn, network);
    return primaryMirror;
}

} // namespace MirrorChoice
