// The Windows side of the platform layer: Qt types in, Win32 calls out.

#include "platform/Platform.h"
#include "platform/PlatformNative.h"

#ifdef Q_OS_WIN

#include "platform/win32/Win32Calls.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <cstdio>
#include <iterator>

namespace {

// How long a file that another program holds open is waited for: a virus
// scanner or an indexer lets go within a second or two; the game or an
// editor does not, and the caller then gets InUse.
const int InUseRetryDelaysMs[] = {100, 200, 300, 400, 500, 500, 500, 500};

// Runs a file operation again while it fails because the file is in use.
template<typename Operation>
bool retryWhileInUse(Operation operation, Platform::FileFault *fault)
{
    Platform::FileFault last = Platform::FileFault::None;
    for (int attempt = 0;; ++attempt) {
        if (operation())
            return true;
        last = Platform::lastFileFault();
        if (last != Platform::FileFault::InUse || attempt == int(std::size(InUseRetryDelaysMs)))
            break;
        QThread::msleep(static_cast<unsigned>(InUseRetryDelaysMs[attempt]));
    }
    if (fault)
        *fault = last;
    return false;
}

// One argument of a Windows command line, quoted the way the C runtime's
// parser (CommandLineToArgvW) reads it back.
QString quoteArgument(const QString &argument)
{
    if (!argument.isEmpty() && !argument.contains(QRegularExpression(QStringLiteral("[\\s\"]"))))
        return argument;
    QString quoted = QStringLiteral("\"");
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        // Backslashes in front of a quote are doubled, and the quote escaped.
        quoted += QString(c == QLatin1Char('"') ? backslashes * 2 + 1 : backslashes, QLatin1Char('\\'));
        backslashes = 0;
        quoted += c;
    }
    // Backslashes before the closing quote are doubled too.
    quoted += QString(backslashes * 2, QLatin1Char('\\'));
    return quoted + QLatin1Char('"');
}

} // namespace

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
    return QString::fromStdWString(Win32Calls::personalFolder());
}

void openAddress(const QString &address)
{
    Win32Calls::shellOpen(address.toStdWString());
}

void systemMessageBoxNative(const QString &caption, const QString &text, bool *shown)
{
    // MessageBoxW may be called from any thread and blocks it until closed.
    Win32Calls::messageBox(caption.toStdWString(), text.toStdWString());
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
    const std::wstring source = QDir::toNativeSeparators(from).toStdWString();
    const std::wstring target = QDir::toNativeSeparators(to).toStdWString();
    return retryWhileInUse([&] { return Win32Calls::replaceFile(source, target); }, fault);
}

bool removeFile(const QString &path, FileFault *fault)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    return retryWhileInUse([&] { return Win32Calls::removeFile(native); }, fault);
}

QString canonicalPath(const QString &path)
{
    // QFileInfo::canonicalFilePath of Qt 5.15 resolves no link on Windows.
    return QDir::fromNativeSeparators(
        QString::fromStdWString(Win32Calls::finalPath(QDir::toNativeSeparators(QDir::cleanPath(path)).toStdWString())));
}

bool isLink(const QString &path)
{
    return Win32Calls::isNameSurrogate(QDir::toNativeSeparators(path).toStdWString());
}

bool openExisting(QFile &file, QIODevice::OpenMode mode)
{
    if (file.isOpen())
        file.close();
    // A symbolic link (or other reparse point) at the name is refused; the
    // open itself never creates the file.
    const QFileInfo info(file.fileName());
    if (info.isSymLink() || isLink(file.fileName()) || !info.exists())
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
    // CreateProcessW rather than QProcess::startDetached, which turns every
    // "/" of a whole command line into "\\" and appends a blank to it.
    QString commandLine;
    if (arguments.isEmpty() && program.startsWith(QLatin1Char('"'))) {
        commandLine = program; // a whole command line, handed over unchanged
    } else {
        commandLine = quoteArgument(QDir::toNativeSeparators(program));
        for (const QString &argument : arguments)
            commandLine += QLatin1Char(' ') + quoteArgument(argument);
    }
    return Win32Calls::startProcess(commandLine.toStdWString(),
                                    QDir::toNativeSeparators(workingDirectory).toStdWString());
}

void printText(Stream stream, const QString &text)
{
    // Whatever the C library still buffers goes first, to keep the order.
    std::fflush(stream == Stream::Output ? stdout : stderr);
    const auto native = stream == Stream::Output ? Win32Calls::Stream::Output : Win32Calls::Stream::Error;
    if (!Win32Calls::writeConsole(native, text.toStdWString()))
        Win32Calls::writeBytes(native, text.toUtf8().toStdString());
}

} // namespace Platform

#endif // Q_OS_WIN
