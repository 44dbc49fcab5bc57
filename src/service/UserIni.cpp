#include "service/UserIni.h"

#include "platform/AppDirectory.h"

#include <QSettings>

namespace {

QString userIniPath()
{
    return AppDirectory::filePath(QStringLiteral("/user.ini"));
}

int readInt(const char *key, int fallback)
{
    QSettings settings(userIniPath(), QSettings::IniFormat);
    bool ok = false;
    const int value = settings.value(QStringLiteral("SERVERS/") + QLatin1String(key), fallback).toInt(&ok);
    return ok ? value : fallback;
}

} // namespace

namespace UserIni {

int currentServer()
{
    return readInt("Current", -1);
}

void setCurrentServer(int index)
{
    QSettings settings(userIniPath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("SERVERS/Current"), index);
    settings.sync();
}

int noSync()
{
    return readInt("NoSync", 0);
}

} // namespace UserIni
