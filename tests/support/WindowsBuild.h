#pragma once

#include <QString>
#include <QStringList>

class QProcess;

// The Windows setting of the end-to-end suites. With VARO_WINDOWS_BUILD
// naming a 64-bit Windows build (scripts/build-windows --tests x86_64), the
// suites of the Linux build run the player's programs of that build (the
// launcher, varo-sync) under wine64 instead of their own, against the same
// servers on 127.0.0.1; varo-publish stays the Linux one, so that both
// builds synchronise from the same mirror.
namespace WindowsBuild {

// The Windows build folder; empty outside the Windows setting.
QString folder();

// path, below folder(), of the Windows executable for a Linux one below the
// Linux build (".../tools/varo-sync/varo-sync" -> ".../varo-sync.exe").
QString executable(const QString &linuxExecutable);

// Starts program with arguments; a Windows executable under wine64. Every
// Windows program of this process runs in one Wine prefix, made on first
// use and removed at exit, as the programs of one Windows logon share the
// named mutex and the registry.
void start(QProcess &process, const QString &program, const QStringList &arguments);

// Runs a Windows command (e.g. {"reg", "query", ...}) in that prefix to its
// end and returns its standard output.
QString run(const QStringList &commandLine);

// The Windows form of a Linux path, as the programs under Wine see it
// ("Z:\tmp\x").
QString windowsPath(const QString &linuxPath);

} // namespace WindowsBuild
