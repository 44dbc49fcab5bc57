#include "Win32Calls.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <vector>

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

std::wstring personalFolder()
{
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return std::wstring();
    return std::wstring(buffer);
}

void shellOpen(const std::wstring &address)
{
    ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void messageBox(const std::wstring &caption, const std::wstring &text)
{
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

std::uint32_t tickCount()
{
    return std::uint32_t(GetTickCount());
}

bool replaceFile(const std::wstring &from, const std::wstring &to)
{
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        // A target that another program holds open is refused with this
        // code, as a read-only one is; only the first also refuses to be
        // opened for deletion by anybody else, with a sharing violation.
        HANDLE probe = CreateFileW(to.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD probeError = probe == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (probe != INVALID_HANDLE_VALUE)
            CloseHandle(probe);
        SetLastError(probeError == ERROR_SHARING_VIOLATION ? ERROR_SHARING_VIOLATION : error);
    }
    return false;
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

bool isNameSurrogate(const std::wstring &path)
{
    // FindFirstFileW reports the entry itself, with its reparse tag in
    // dwReserved0, without opening (or following) it.
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(path.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return false;
    // Windows always gives the tag; a system that gives none (Wine, for a
    // Unix symbolic link to a folder) is taken at its word that it is a link.
    return data.dwReserved0 == 0 || IsReparseTagNameSurrogate(data.dwReserved0);
}

std::wstring finalPath(const std::wstring &path)
{
    // Opened for no access at all, which folders allow with backup semantics.
    HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::wstring();
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), DWORD(buffer.size()), FILE_NAME_NORMALIZED);
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, buffer.data(), DWORD(buffer.size()), FILE_NAME_NORMALIZED);
    }
    CloseHandle(handle);
    if (length == 0 || length >= buffer.size())
        return std::wstring();
    std::wstring result(buffer.data(), length);
    if (result.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        return L"\\" + result.substr(7); // \\?\UNC\server\share -> \\server\share
    if (result.compare(0, 4, L"\\\\?\\") == 0)
        return result.substr(4);
    return result;
}

bool startProcess(const std::wstring &commandLine, const std::wstring &workingDirectory)
{
    // CreateProcessW may write into the command line, so it gets a copy.
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                                        CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE, nullptr,
                                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup,
                                        &process);
    if (!started)
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

namespace {

HANDLE standardHandle(Stream stream)
{
    return GetStdHandle(stream == Stream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

} // namespace

void writeBytes(Stream stream, const std::string &bytes)
{
    HANDLE handle = standardHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return;
    const char *data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, data, DWORD(left < 65536 ? left : 65536), &written, nullptr) || written == 0)
            return;
        data += written;
        left -= written;
    }
}

bool writeConsole(Stream stream, const std::wstring &text)
{
    HANDLE handle = standardHandle(stream);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return false;
    const wchar_t *data = text.c_str();
    size_t left = text.size();
    while (left > 0) {
        // WriteConsoleW takes at most a few tens of KiB at a time.
        const DWORD chunk = DWORD(left < 8192 ? left : 8192);
        DWORD written = 0;
        if (!WriteConsoleW(handle, data, chunk, &written, nullptr) || written == 0)
            return true; // the console went away; the text is not written elsewhere
        data += written;
        left -= written;
    }
    return true;
}

} // namespace Win32Calls
