#include "platform/AppDirectory.h"

#include <QCoreApplication>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex &lock()
{
    static QMutex mutex;
    return mutex;
}

QString &overridePath()
{
    static QString value;
    return value;
}

} // namespace

namespace AppDirectory {

QString path()
{
    {
        QMutexLocker locker(&lock());
        if (!overridePath().isEmpty())
            return overridePath();
    }
    // applicationDirPath needs the application object; without one (a
    // library user that has none yet) the working directory stands in.
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QDir::currentPath();
}

void setPath(const QString &directory)
{
    QString cleaned = directory.isEmpty() ? QString() : QDir::cleanPath(QDir(directory).absolutePath());
    QMutexLocker locker(&lock());
    overridePath() = cleaned;
}

QString filePath(const QString &name)
{
    return path() + name;
}

QString gameDir()
{
    return path() + QStringLiteral("/gtasa");
}

} // namespace AppDirectory
