#include "service/Endpoints.h"

#include <QtGlobal>

namespace {

QString setting(const char *variable, const char *builtIn)
{
    const QString value = qEnvironmentVariable(variable);
    return value.isEmpty() ? QString::fromUtf8(builtIn) : value;
}

} // namespace

namespace Endpoints {

QString launcherApiBase()
{
    return setting("VARO_API_BASE", VARO_BUILTIN_API_BASE);
}

QString primaryMirrorBase()
{
    QString base = setting("VARO_MIRROR_BASE", VARO_BUILTIN_MIRROR_BASE);
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return base;
}

QString monitoringUrl()
{
    return setting("VARO_MONITORING_URL", VARO_BUILTIN_MONITORING_URL);
}

QString gameHost()
{
    return setting("VARO_GAME_HOST", VARO_BUILTIN_GAME_HOST);
}

QString defaultServerAddress()
{
    return setting("VARO_DEFAULT_SERVER", VARO_BUILTIN_DEFAULT_SERVER);
}

int downloadConnections()
{
    constexpr int MaxConnections = 16;
    bool ok = false;
    const int value = qEnvironmentVariableIntValue("VARO_DOWNLOAD_CONNECTIONS", &ok);
    if (ok && value >= 1 && value <= MaxConnections)
        return value;
    return qBound(1, VARO_BUILTIN_DOWNLOAD_CONNECTIONS, MaxConnections);
}

int smallBlockConnections()
{
    constexpr int MaxConnections = 64;
    const int base = downloadConnections();
    if (base == 1)
        return 1;
    bool ok = false;
    int value = qEnvironmentVariableIntValue("VARO_SMALL_BLOCK_CONNECTIONS", &ok);
    if (!ok || value < 1 || value > MaxConnections)
        value = qBound(1, VARO_BUILTIN_SMALL_BLOCK_CONNECTIONS, MaxConnections);
    return qMax(base, value);
}

QString signingPublicKey()
{
#ifdef VARO_TEST_HOOKS
    if (qEnvironmentVariableIsSet("VARO_TEST_SIGNING_PUBLIC_KEY"))
        return qEnvironmentVariable("VARO_TEST_SIGNING_PUBLIC_KEY");
#endif
    return QString::fromLatin1(VARO_BUILTIN_SIGNING_PUBLIC_KEY);
}

} // namespace Endpoints
