#include "Win32Calls.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

namespace Win32Calls {

bool createInstanceMutex(const std::string &nameUtf8)
{
    // The handle is deliberately kept open for the life of the process.
    HANDLE handle = CreateMutexA(nullptr, TRUE, nameUtf8.c_str());
    (void)handle;
    return GetLastError() != ERROR_ALREADY_EXISTS; // 183
}

bool freeBytesAvailable(const std::wstring &path, unsigned long long &bytes)
{
    ULARGE_INTEGER available;
    ULARGE_INTEGER total;
    ULARGE_INTEGER totalFree;
    if (!GetDiskFreeSpaceExW(path.c_str(), &available, &total, &totalFree))
        return false;
    bytes = available.QuadPart;
    return true;
}

std::string personalFolder()
{
    char buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return std::string();
    return std::string(buffer);
}

void shellOpen(const std::string &address)
{
    ShellExecuteA(nullptr, "open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void messageBox(const std::string &caption, const std::string &text)
{
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

unsigned long tickCount()
{
    return GetTickCount();
}

bool replaceFile(const std::wstring &from, const std::wstring &to)
{
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool removeFile(const std::wstring &path)
{
    if (DeleteFileW(path.c_str()) != 0)
        return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

ErrorKind lastErrorKind()
{
    switch (GetLastError()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return ErrorKind::InUse;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return ErrorKind::Denied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ErrorKind::NoSpace;
    default:
        return ErrorKind::Other;
    }
}

} // namespace Win32Calls
