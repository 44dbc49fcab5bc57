#pragma once

#include <QString>
#include <QtGlobal>

// The launcher's diagnostic lines (download rejections, retries, the mirror
// chosen, failures) in a file next to it, with times, for a player to send
// to support: a GUI program on Windows has no console, and they would
// otherwise vanish. Every line still goes where it went before as well.
// Nothing personal is logged: the launcher's log lines never carry the
// nickname.
namespace LogFile {

// What one run writes at most; a line that would pass the bound ends the
// file with a note instead.
constexpr qint64 DefaultMaxBytes = 2 * 1024 * 1024;

// Keeps the previous run's file as previousPath (replacing an older one),
// starts path afresh and sends every message there from now on. Call once,
// on the GUI thread, after the single-instance check (a refused second
// launcher must not touch the first one's log). False when the file cannot
// be written; the launcher then runs without it.
bool install(const QString &path, const QString &previousPath, qint64 maxBytes = DefaultMaxBytes);

// Stops writing and closes the file; messages go only where they went before.
void uninstall();

} // namespace LogFile
