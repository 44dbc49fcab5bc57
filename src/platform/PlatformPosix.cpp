// Stand-ins for the Windows calls on other systems.

#include "platform/Platform.h"
#include "platform/PlatformNative.h"

#ifndef Q_OS_WIN

#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QUrl>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace Platform {

bool isFirstInstance(const QString &name)
{
    // A lock file in the user's runtime folder (one per login session), held
    // with flock: the kernel drops the lock when the process ends, however it
    // ends. The descriptor is never closed and not inherited by children, so
    // a game started by the launcher does not keep the lock alive.
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    QString fileName = name;
    for (QChar &c : fileName) {
        if (!c.isLetterOrNumber())
            c = QLatin1Char('_');
    }
    const QByteArray path = QFile::encodeName(dir + QLatin1Char('/') + fileName + QStringLiteral(".lock"));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return true; // like a failed CreateMutexA: counts as the first
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true; // fd stays open for the life of the process
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return !held;
}

bool systemFreeBytes(const QString &path, quint64 *bytes)
{
    QStorageInfo info(path);
    if (!info.isValid())
        return false;
    const qint64 available = info.bytesAvailable();
    if (available < 0)
        return false;
    *bytes = quint64(available);
    return true;
}

QString documentsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}

void openAddress(const QString &address)
{
    QDesktopServices::openUrl(QUrl::fromUserInput(address));
}

void systemMessageBoxNative(const QString &, const QString &, bool *shown)
{
    *shown = false; // routed to the application's handler or stderr
}

quint32 tickCount()
{
    // The monotonic clock (time since boot on Linux), in milliseconds,
    // wrapping at 32 bits like GetTickCount.
    QElapsedTimer timer;
    timer.start();
    return quint32(timer.msecsSinceReference());
}

FileFault lastFileFault()
{
    switch (errno) {
    case EBUSY:
    case ETXTBSY:
        return FileFault::InUse;
    case EACCES:
    case EPERM:
    case EROFS:
        return FileFault::Denied;
    case ENOSPC:
    case EDQUOT:
        return FileFault::NoSpace;
    default:
        return FileFault::Other;
    }
}

bool replaceFile(const QString &from, const QString &to, FileFault *fault)
{
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (fault)
        *fault = lastFileFault();
    return false;
}

bool removeFile(const QString &path, FileFault *fault)
{
    if (::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT)
        return true;
    if (fault)
        *fault = lastFileFault();
    return false;
}

QString canonicalPath(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

bool isLink(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

void printText(Stream stream, const QString &text)
{
    std::FILE *file = stream == Stream::Output ? stdout : stderr;
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file);
    std::fflush(file);
}

bool openExisting(QFile &file, QIODevice::OpenMode mode)
{
    if (file.isOpen())
        file.close();
    int flags = O_CLOEXEC | O_NOFOLLOW;
    if ((mode & QIODevice::ReadWrite) == QIODevice::ReadWrite)
        flags |= O_RDWR;
    else if (mode & QIODevice::WriteOnly)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (mode & QIODevice::Append)
        flags |= O_APPEND;
    if (mode & QIODevice::Truncate)
        flags |= O_TRUNC;
    const int fd = ::open(QFile::encodeName(file.fileName()).constData(), flags);
    if (fd < 0)
        return false;
    if (file.open(fd, mode, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    return false;
}

bool modificationTime(const QString &path, qint64 *secondsSinceEpoch)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    // Milliseconds first, then seconds, the way Qt rounds file times.
    const qint64 msecs = qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    *secondsSinceEpoch = msecs / 1000;
    return true;
}

bool startDetached(const QString &program, const QStringList &arguments, const QString &workingDirectory)
{
    // posix_spawn rather than QProcess::startDetached: Qt 5.15 builds the
    // argument vector and converts strings in the forked child of this
    // multithreaded process, where an allocator or codec lock that another
    // thread held at the fork is never released and the child (and the
    // caller, waiting for it to report) hangs. Everything is prepared here,
    // and the child only changes folder, starts a session of its own and
    // executes the program.
    std::vector<QByteArray> encoded;
    encoded.reserve(size_t(arguments.size()) + 1);
    encoded.push_back(QFile::encodeName(program));
    for (const QString &argument : arguments)
        encoded.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &item : encoded)
        argv.push_back(item.data());
    argv.push_back(nullptr);
    const QByteArray folder = QFile::encodeName(workingDirectory);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    // The game gets the default signal handling and an empty signal mask,
    // whatever this process set up for itself.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    bool ready = posix_spawnattr_setsigmask(&attributes, &none) == 0
        && posix_spawnattr_setsigdefault(&attributes, &defaults) == 0
        && posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF)
            == 0;
    if (ready && !folder.isEmpty())
        ready = posix_spawn_file_actions_addchdir_np(&actions, folder.constData()) == 0;
    pid_t pid = 0;
    const bool started = ready && posix_spawnp(&pid, argv.front(), &actions, &attributes, argv.data(), environ) == 0;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    // Not waited for: the launcher ends soon after starting the game or the
    // installer, and the system then takes the process over.
    return started;
}

} // namespace Platform

#endif // !Q_OS_WIN
