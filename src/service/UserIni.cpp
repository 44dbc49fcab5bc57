#include "service/UserIni.h"

#include <QSettings>

int UserIni::readInt(const char *key, int fallback) const
{
    QSettings settings(path, QSettings::IniFormat);
    bool ok = false;
    const int value = settings.value(QStringLiteral("SERVERS/") + QLatin1String(key), fallback).toInt(&ok);
    return ok ? value : fallback;
}

int UserIni::currentServer() const
{
    return readInt("Current", -1);
}

void UserIni::setCurrentServer(int index) const
{
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue(QStringLiteral("SERVERS/Current"), index);
    settings.sync();
}

int UserIni::noSync() const
{
    return readInt("NoSync", 0);
}
