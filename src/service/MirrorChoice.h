#pragma once

#include <QString>

class QNetworkAccessManager;

// The choice of the file mirror at start-up: the mirror the launcher API
// names in the "cdn" member of its "ping" answer when that mirror answers
// "ping.txt", the built-in primary mirror in every other case (no answer,
// no member, a mirror that does not answer). When the probe fails the API
// is pinged once more, its answer ignored.
//
// Blocks the calling thread for the requests; an exit request ends the
// choice after the request under way, returning what was chosen so far.
namespace MirrorChoice {

// apiBase is the launcher API base, primaryMirror the built-in mirror base
// ending in "/". The result ends in "/" unless the API named one without.
// The requests go through network when one is given (HttpRequest::setNetwork).
QString choose(const QString &apiBase, const QString &primaryMirror, QNetworkAccessManager *network = nullptr);

} // namespace MirrorChoice
