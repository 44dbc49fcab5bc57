#include "service/WebAddress.h"

namespace WebAddress {

bool isFetchable(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool isFetchable(const QString &address)
{
    return isFetchable(QUrl(address));
}

bool isFetchableRedirect(const QUrl &from, const QUrl &to)
{
    if (!isFetchable(to))
        return false;
    return from.scheme().toLower() != QLatin1String("https") || to.scheme().toLower() == QLatin1String("https");
}

} // namespace WebAddress
