#pragma once

#include <QString>

// The one application directory of the process. Every file that lives next
// to the launcher (user.ini, the encrypted caches, the picture cache, the
// update installer) and the game folder derive from it. By default it is the
// directory of the running executable; tests and tools point it elsewhere.
namespace AppDirectory {

// The directory, without a trailing separator.
QString path();

// Replaces the directory for the rest of the process (or until set again).
// An empty path returns to the default.
void setPath(const QString &directory);

// path() + name, where name begins with "/" (for example "/user.ini").
QString filePath(const QString &name);

// The game folder: path() + "/gtasa".
QString gameDir();

} // namespace AppDirectory
