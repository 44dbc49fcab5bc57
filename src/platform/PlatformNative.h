#pragma once

// Internal to the platform layer: the per-system halves that the shared code
// of PlatformCommon.cpp builds on.

#include <QString>
#include <QtGlobal>

namespace Platform {

// The system's own free-space figure for the volume holding path.
bool systemFreeBytes(const QString &path, quint64 *bytes);

// Shows the system's own message box where there is one (Windows) and sets
// shown; elsewhere leaves shown false so the caller routes the message.
void systemMessageBoxNative(const QString &caption, const QString &text, bool *shown);

} // namespace Platform
