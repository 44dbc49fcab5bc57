#pragma once

#include <QString>

// Every file the launcher keeps next to itself, and the game folder, named
// from one application directory. Made once at start-up (from the
// executable's directory, or from a directory a tool or a test chooses) and
// handed to whatever reads or writes one of them; nothing below the
// application asks the process where it lives.
class AppPaths
{
public:
    // The directory of the running executable (the working directory when
    // there is no application object yet).
    static AppPaths ofExecutable();

    // directory is made absolute and cleaned; it has no trailing separator.
    explicit AppPaths(const QString &directory);

    QString appDir() const { return dir; }
    // The game folder: appDir() + "/gtasa".
    QString gameDir() const;
    // The launcher's own settings: "user.ini".
    QString userIni() const;
    // The remembered state of the game folder (encrypted): "varo_launcher.bin".
    QString syncState() const;
    // The highest serial of a signed sync list accepted so far:
    // "varo_list_serial.txt". Kept apart from the remembered state, which
    // the repair deletes, so that no step of the player's brings back an
    // older list.
    QString listSerial() const;
    // The last good server list (encrypted): "varo_servers.bin".
    QString serversCache() const;
    // "compressed_cache.bin": nothing here writes it, the repair removes it
    // when a copy of the launcher left one behind.
    QString compressedCache() const;
    // The folder of cached news pictures: "cache".
    QString pictureCache() const;
    // Where a self-update's installer is downloaded: "update_installer.exe".
    QString updateInstaller() const;
    // The launcher's log, "varo_launcher.log", and the previous run's,
    // "varo_launcher.old.log".
    QString launcherLog() const;
    QString previousLauncherLog() const;

private:
    QString filePath(const char *name) const;

    QString dir;
};
