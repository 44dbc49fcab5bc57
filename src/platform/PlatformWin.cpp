// The Windows side of the platform layer: Qt types in, Win32 calls out.

#include "platform/Platform.h"
#include "platform/PlatformNative.h"

#ifdef Q_OS_WIN

#include "platform/win32/Win32Calls.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace Platform {

bool isFirstInstance(const QString &name)
{
    return Win32Calls::createInstanceMutex(name.toUtf8().toStdString());
}

bool systemFreeBytes(const QString &path, quint64 *bytes)
{
    unsigned long long value = 0;
    if (!Win32Calls::freeBytesAvailable(QDir::toNativeSeparators(path).toStdWString(), value))
        return false;
    *bytes = value;
    return true;
}

QString documentsFolder()
{
    return QString::fromLocal8Bit(Win32Calls::personalFolder().c_str());
}

void openAddress(const QString &address)
{
    Win32Calls::shellOpen(address.toLocal8Bit().toStdString());
}

void systemMessageBoxNative(const QString &caption, const QString &text, bool *shown)
{
    // MessageBoxA may be called from any thread and blocks it until closed.
    Win32Calls::messageBox(caption.toLocal8Bit().toStdString(), text.toLocal8Bit().toStdString());
    *shown = true;
}

quint32 tickCount()
{
    return quint32(Win32Calls::tickCount());
}

FileFault lastFileFault()
{
    switch (Win32Calls::lastErrorKind()) {
    case Win32Calls::ErrorKind::InUse:
        return FileFault::InUse;
    case Win32Calls::ErrorKind::Denied:
        return FileFault::Denied;
    case Win32Calls::ErrorKind::NoSpace:
        return FileFault::NoSpace;
    case Win32Calls::ErrorKind::Other:
        break;
    }
    return FileFault::Other;
}

bool replaceFile(const QString &from, const QString &to, FileFault *fault)
{
    if (Win32Calls::replaceFile(QDir::toNativeSeparators(from).toStdWString(),
                                QDir::toNativeSeparators(to).toStdWString()))
        return true;
    if (fault)
        *fault = lastFileFault();
    return false;
}

bool removeFile(const QString &path, FileFault *fault)
{
    if (Win32Calls::removeFile(QDir::toNativeSeparators(path).toStdWString()))
        return true;
    if (fault)
        *fault = lastFileFault();
    return false;
}

bool openExisting(QFile &file, QIODevice::OpenMode mode)
{
    if (file.isOpen())
        file.close();
    // A symbolic link (or other reparse point) at the name is refused; the
    // open itself never creates the file.
    const QFileInfo info(file.fileName());
    if (info.isSymLink() || !info.exists())
        return false;
    return file.open(mode | QIODevice::ExistingOnly);
}

bool modificationTime(const QString &path, qint64 *secondsSinceEpoch)
{
    // Local time conversions are cheap here; Qt's own reading is kept.
    const QDateTime modified = QFileInfo(path).lastModified();
    if (!modified.isValid())
        return false;
    *secondsSinceEpoch = modified.toSecsSinceEpoch();
    return true;
}

bool startDetached(const QString &program, const QStringList &arguments, const QString &workingDirectory)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(workingDirectory);
    return process.startDetached();
}

} // namespace Platform

#endif // Q_OS_WIN
