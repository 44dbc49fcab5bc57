#pragma once

// The Win32 calls of the launcher, behind a plain C++ interface. This header
// and its source include no Qt header, so that they can be compiled on their
// own for 32-bit Windows (see .ci/run).

#include <string>

namespace Win32Calls {

// CreateMutexA with initial ownership; the handle is never closed, so the
// name lives exactly as long as the process. Returns false only when
// GetLastError reports ERROR_ALREADY_EXISTS (183).
bool createInstanceMutex(const std::string &nameUtf8);

// GetDiskFreeSpaceExW: the bytes available to the calling user.
bool freeBytesAvailable(const std::wstring &path, unsigned long long &bytes);

// SHGetFolderPathA for the personal (documents) folder, current path, no
// token. Empty on failure. The text is in the ANSI code page.
std::string personalFolder();

// ShellExecuteA with the "open" verb, no parameters, no working directory,
// shown normally. The address is in the ANSI code page.
void shellOpen(const std::string &address);

// MessageBoxA without owner, one OK button. Texts in the ANSI code page.
void messageBox(const std::string &caption, const std::string &text);

// GetTickCount.
unsigned long tickCount();

// MoveFileExW replacing an existing target, written through to disk.
bool replaceFile(const std::wstring &from, const std::wstring &to);

// DeleteFileW; true also when nothing was there.
bool removeFile(const std::wstring &path);

// What GetLastError says of the last failed call of this thread.
enum class ErrorKind { InUse, Denied, NoSpace, Other };
ErrorKind lastErrorKind();

} // namespace Win32Calls
