#pragma once

// The Win32 calls of the launcher, behind a plain C++ interface. This header
// and its source include no Qt header, so that they can be compiled on their
// own for 32-bit Windows (see .ci/run).
//
// Texts travel as UTF-16 (std::wstring) and reach the wide (W) calls: the
// ANSI ones lose every character outside the system's code page (a Russian
// message on a Western Windows, a documents folder under a Cyrillic user
// name). Only the mutex keeps its ANSI call: its name is plain ASCII and
// other programs may look for it.

#include <cstdint>
#include <string>

namespace Win32Calls {

// CreateMutexA with initial ownership; the handle is never closed, so the
// name lives exactly as long as the process. Returns false only when
// GetLastError reports ERROR_ALREADY_EXISTS (183).
bool createInstanceMutex(const std::string &nameUtf8);

// GetDiskFreeSpaceExW: the bytes available to the calling user.
bool freeBytesAvailable(const std::wstring &path, unsigned long long &bytes);

// SHGetFolderPathW for the personal (documents) folder, current path, no
// token. Empty on failure.
std::wstring personalFolder();

// ShellExecuteW with the "open" verb, no parameters, no working directory,
// shown normally.
void shellOpen(const std::wstring &address);

// MessageBoxW without owner, one OK button.
void messageBox(const std::wstring &caption, const std::wstring &text);

// GetTickCount: milliseconds since the system started, wrapping at 2^32.
std::uint32_t tickCount();

// MoveFileExW replacing an existing target, written through to disk.
bool replaceFile(const std::wstring &from, const std::wstring &to);

// DeleteFileW; true also when nothing was there.
bool removeFile(const std::wstring &path);

// What GetLastError says of the last failed call of this thread.
enum class ErrorKind { InUse, Denied, NoSpace, Other };
ErrorKind lastErrorKind();

// Whether path itself (not what it leads to) is a reparse point that names
// another place: a symbolic link, a junction or a volume mount point. Other
// reparse points (cloud placeholders, deduplicated files) are ordinary files.
bool isNameSurrogate(const std::wstring &path);

// GetFinalPathNameByHandleW of the file or folder at path: its full path
// with every link and junction on the way resolved, without the "\\?\"
// prefix. Empty when nothing is there.
std::wstring finalPath(const std::wstring &path);

// CreateProcessW with the whole command line as it is (no application name),
// in workingDirectory (empty: the caller's), as a process of its own that is
// not waited for. True when it started.
bool startProcess(const std::wstring &commandLine, const std::wstring &workingDirectory);

// Which standard stream writeConsole writes to.
enum class Stream { Output, Error };

// Writes text with WriteConsoleW when the stream is a console window and
// returns true; returns false, writing nothing, when it is a file, a pipe or
// missing, for the caller to write bytes instead.
bool writeConsole(Stream stream, const std::wstring &text);

// Writes bytes to the stream's handle as they are (WriteFile: no line-end
// translation, unlike the C library's text mode).
void writeBytes(Stream stream, const std::string &bytes);

} // namespace Win32Calls
