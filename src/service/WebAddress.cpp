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

} // namespace WebAddress
