#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QDir>

AppPaths AppPaths::ofExecutable()
{
    // applicationDirPath needs the application object; without one (a
    // library user that has none yet) the working directory stands in.
    if (QCoreApplication::instance())
        return AppPaths(QCoreApplication::applicationDirPath());
    return AppPaths(QDir::currentPath());
}

AppPaths::AppPaths(const QString &directory)
    : dir(QDir::cleanPath(QDir(directory).absolutePath()))
{
}

QString AppPaths::filePath(const char *name) const
{
    return dir + QLatin1Char('/') + QLatin1String(name);
}

QString AppPaths::gameDir() const
{
    return filePath("gtasa");
}

QString AppPaths::userIni() const
{
    return filePath("user.ini");
}

QString AppPaths::syncState() const
{
    return filePath("varo_launcher.bin");
}

QString AppPaths::listSerial() const
{
    return filePath("varo_list_serial.txt");
}

QString AppPaths::serversCache() const
{
    return filePath("varo_servers.bin");
}

QString AppPaths::compressedCache() const
{
    return filePath("compressed_cache.bin");
}

QString AppPaths::pictureCache() const
{
    return filePath("cache");
}

QString AppPaths::updateInstaller() const
{
    return filePath("update_installer.exe");
}

QString AppPaths::launcherLog() const
{
    return filePath("varo_launcher.log");
}

QString AppPaths::previousLauncherLog() const
{
    return filePath("varo_launcher.old.log");
}
