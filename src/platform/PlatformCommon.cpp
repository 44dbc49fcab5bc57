// Parts of the platform layer that are the same on every system: the
// message-box routing, the free-space test hook (test builds only) and the
// multiplayer client's settings value.

#include "platform/Platform.h"
#include "platform/PlatformNative.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSettings>
#include <QVariant>

#include <atomic>

namespace {

QMutex &handlerLock()
{
    static QMutex mutex;
    return mutex;
}

Platform::MessageBoxHandler &handler()
{
    static Platform::MessageBoxHandler value;
    return value;
}

#ifdef VARO_TEST_HOOKS
qint64 initialFreeBytesOverride()
{
    bool ok = false;
    const qint64 value = qEnvironmentVariable("VARO_TEST_FREE_BYTES").toLongLong(&ok);
    return ok ? value : -1;
}

std::atomic<qint64> &freeBytesOverride()
{
    static std::atomic<qint64> value(initialFreeBytesOverride());
    return value;
}
#endif

// The multiplayer client's key. On Windows this is the registry key
// HKEY_CURRENT_USER\Software\<vendor>\CR-MP\GenerationC; elsewhere the native
// settings store of the current user stands in for it.
QSettings *openClientSettings()
{
#ifdef Q_OS_WIN
    return new QSettings(QStringLiteral("HKEY_CURRENT_USER\\Software\\" VARO_REGISTRY_VENDOR "\\CR-MP\\GenerationC"),
                         QSettings::NativeFormat);
#else
    return new QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral(VARO_REGISTRY_VENDOR "/CR-MP"),
                         QStringLiteral("GenerationC"));
#endif
}

} // namespace

namespace Platform {

#ifdef VARO_TEST_HOOKS
void setFreeBytesOverride(qint64 bytes)
{
    freeBytesOverride().store(bytes);
}
#endif

bool freeBytes(const QString &path, quint64 *bytes)
{
#ifdef VARO_TEST_HOOKS
    const qint64 fixed = freeBytesOverride().load();
    if (fixed >= 0) {
        *bytes = quint64(fixed);
        return true;
    }
#endif
    return systemFreeBytes(path, bytes);
}

void setMessageBoxHandler(MessageBoxHandler newHandler)
{
    QMutexLocker locker(&handlerLock());
    handler() = std::move(newHandler);
}

void systemMessageBox(const QString &caption, const QString &text)
{
    MessageBoxHandler current;
    {
        QMutexLocker locker(&handlerLock());
        current = handler();
    }
    if (current) {
        current(caption, text);
        return;
    }
    bool shown = false;
    systemMessageBoxNative(caption, text, &shown);
    if (!shown)
        printMessageBox(caption, text);
}

void printMessageBox(const QString &caption, const QString &text)
{
    printText(Stream::Error, QStringLiteral("[message box] %1: %2\n").arg(caption, text));
}

bool createFresh(QFile &file, QIODevice::OpenMode mode)
{
    if (file.isOpen())
        file.close();
    QFile::remove(file.fileName());
    return file.open(mode | QIODevice::NewOnly);
}

QString playerName()
{
    QScopedPointer<QSettings> settings(openClientSettings());
    return settings->value(QStringLiteral("player_name"), QString()).toString();
}

void setPlayerName(const QString &name)
{
    QScopedPointer<QSettings> settings(openClientSettings());
    settings->setValue(QStringLiteral("player_name"), name);
    settings->sync();
}

} // namespace Platform
