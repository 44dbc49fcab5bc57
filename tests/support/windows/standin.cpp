// A stand-in for Windows programs in the tests (built only for Windows).
//
//   standin.exe [ANYTHING...]
//     Stands in for the game: writes its working folder and its command line
//     exactly as Windows hands it over (GetCommandLineW) to started.txt next
//     to itself, in UTF-8, and exits.
//   standin.exe --hold FILE SECONDS
//     Stands in for another program that keeps a file open (the game, a
//     virus scanner): opens FILE without sharing, prints "held", and lets
//     go after SECONDS.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::string utf8(const std::wstring &text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

int hold(const wchar_t *path, int seconds)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 2;
    std::puts("held");
    std::fflush(stdout);
    Sleep(DWORD(seconds) * 1000);
    CloseHandle(file);
    return 0;
}

int recordStart()
{
    wchar_t module[32768];
    const DWORD length = GetModuleFileNameW(nullptr, module, 32768);
    if (length == 0 || length >= 32768)
        return 2;
    std::wstring folder(module, length);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    wchar_t cwd[32768];
    const DWORD cwdLength = GetCurrentDirectoryW(32768, cwd);
    const std::string text = "cwd=" + utf8(std::wstring(cwd, cwdLength)) + "\ncmdline=" + utf8(GetCommandLineW())
        + "\n";

    // Written under another name first, so that a reader never sees half.
    const std::wstring part = folder + L"started.txt.part";
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 2;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || !MoveFileExW(part.c_str(), (folder + L"started.txt").c_str(), MOVEFILE_REPLACE_EXISTING))
        return 2;
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 4 && std::wcscmp(argv[1], L"--hold") == 0)
        return hold(argv[2], _wtoi(argv[3]));
    return recordStart();
}
