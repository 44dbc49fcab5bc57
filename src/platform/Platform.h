#pragma once

#include <QFile>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

// The launcher's operating-system layer. On Windows each function makes the
// system call the launcher was designed around; elsewhere it uses a faithful
// stand-in so the launcher can be built, tested and demonstrated on Linux.
namespace Platform {

// Takes the named single-instance lock and keeps it until the process ends,
// however it ends. Returns false only when another live process holds it.
bool isFirstInstance(const QString &name);

// Bytes available to the calling user on the volume that holds path.
// Returns false when the figure cannot be read.
bool freeBytes(const QString &path, quint64 *bytes);

#ifdef VARO_TEST_HOOKS
// Test hook, in test builds only: a fixed figure that freeBytes reports
// instead of asking the system; a negative value returns to the real figure.
// The environment variable VARO_TEST_FREE_BYTES sets it for whole processes
// (tools, tests).
void setFreeBytesOverride(qint64 bytes);
#endif

// The current user's documents folder, in native form; empty when unknown.
QString documentsFolder();

// Opens an address (web link) with the system's "open" action.
void openAddress(const QString &address);

// An owner-less system message box with one OK button. Safe to call from a
// worker thread; it blocks the caller until the box is closed.
void systemMessageBox(const QString &caption, const QString &text);

// Where the message box goes instead of the system's own: a program with a
// GUI but no system box (not Windows) installs a handler that shows a box on
// the GUI thread and returns when it has been closed; a program without
// windows installs printMessageBox. Without a handler Windows shows its own
// box and other systems write the message to stderr.
using MessageBoxHandler = std::function<void(const QString &caption, const QString &text)>;
void setMessageBoxHandler(MessageBoxHandler handler);

// Writes the box's caption and text to stderr as one line.
void printMessageBox(const QString &caption, const QString &text);

// Milliseconds since an arbitrary fixed point (system start on Windows),
// wrapping at 2^32 like the Windows tick count.
quint32 tickCount();

// The multiplayer client's string value "player_name" in its settings key
// under the current user (the registry on Windows).
QString playerName();
void setPlayerName(const QString &name);

// Why a file operation failed, as far as the player is told.
enum class FileFault {
    None,
    InUse,   // another program holds the file open (Windows' sharing rules)
    Denied,  // no permission, or a read-only file, folder or medium
    NoSpace, // the volume is full
    Other,
};

// The fault of the calling thread's last failed system call (errno,
// GetLastError). Call it right after the call that failed, before any other
// file work.
FileFault lastFileFault();

// Renames from over to, replacing an existing file in one step, so that a
// reader sees either the old or the new file, never none. On failure *fault
// (when given) tells why. On Windows a file that another program holds open
// (InUse: a virus scanner, an editor, the game) is tried again for a few
// seconds before the call gives up.
bool replaceFile(const QString &from, const QString &to, FileFault *fault = nullptr);

// Removes the file (or the symbolic link itself, never what it points to)
// at path. True when nothing stands there afterwards; on failure *fault
// (when given) tells why. Retried like replaceFile while the file is in use.
bool removeFile(const QString &path, FileFault *fault = nullptr);

// The absolute path of the file or folder at path with every link on the way
// (symbolic links, and on Windows also junctions) resolved; empty when
// nothing is there.
QString canonicalPath(const QString &path);

// Whether path itself is a link to another place: a symbolic link, and on
// Windows also a junction or a volume mount point. Never follows it.
bool isLink(const QString &path);
// Opens the existing file that file names in mode, without following a
// symbolic link at the name itself: a link there makes the open fail. For
// files edited in place (archives), so that a link planted at the name
// cannot send the writes to whatever it points to. The file is never
// created.
bool openExisting(QFile &file, QIODevice::OpenMode mode);

// Opens file (its name set) as a new file that nothing else stands at:
// whatever is at the name is removed first (a symbolic link as a link, never
// what it points to), then the file is created exclusively, which fails
// rather than follow a link planted in between. For temporary and received
// files, whose names an earlier run or anything else may have occupied.
bool createFresh(QFile &file, QIODevice::OpenMode mode = QIODevice::WriteOnly);

// Last modification of the file or folder at path (symbolic links followed),
// in whole seconds since 1970-01-01 UTC, as QFileInfo::lastModified() gives
// it. False when nothing is there. Made for scans of thousands of files: on
// Linux the QDateTime way converts to local time and back, and every step
// re-reads the time zone (a stat of /etc/localtime apiece).
bool modificationTime(const QString &path, qint64 *secondsSinceEpoch);

// Starts program with arguments in workingDirectory as a process that
// outlives the launcher; nothing of it is watched. True when it started.
// On Windows program may be a whole command line with empty arguments; it
// then reaches the new process unchanged.
bool startDetached(const QString &program, const QStringList &arguments, const QString &workingDirectory);

// Writes text to the process's standard output or error. A Windows console
// gets it as Unicode (its code page would turn Cyrillic into question
// marks); a file or a pipe gets the text's bytes as they are: in UTF-8 on
// Windows (not in the ANSI code page, and without turning "\n" into
// "\r\n"), in the system's 8-bit encoding elsewhere, so that what is
// redirected reads the same on every system.
enum class Stream { Output, Error };
void printText(Stream stream, const QString &text);

} // namespace Platform
