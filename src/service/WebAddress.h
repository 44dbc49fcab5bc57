#pragma once

#include <QString>
#include <QUrl>

namespace WebAddress {

// True for a valid http or https address with a host. Addresses that come
// from servers (mirror, installer, pictures, redirect targets) are fetched
// only when this holds: the network layer would also read file:, qrc: and
// data: addresses, and an answer must never make the launcher read its own
// disk.
bool isFetchable(const QUrl &url);
bool isFetchable(const QString &address);

// True when a redirect from `from` may be followed to `to`: a fetchable
// address that does not give up TLS (https to http would hand the rest of
// the exchange to whoever sits on the path).
bool isFetchableRedirect(const QUrl &from, const QUrl &to);

} // namespace WebAddress
