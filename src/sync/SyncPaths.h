#pragma once

#include <QString>

// The path checks of the sync's decisions, each logging what it refuses:
// paths in the listings come from the network or from a file on disk, and a
// refused one is left alone rather than acted on.
namespace SyncPaths {

// SafePath::isSafeRelative(path), logged when false.
bool isSafe(const QString &path);

// SafePath::inside(gameDir, path), logged when empty.
QString inside(const QString &gameDir, const QString &path);

} // namespace SyncPaths
