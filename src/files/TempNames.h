#pragma once

#include <QString>

// The names of the files a download builds beside its destination. Each is
// the destination's path, a blank, a word for what the file holds and
// ".tmp", so that the clean-up at the start of every pass removes what an
// interrupted run left. No listed path holds a blank (the list's paths are
// in the form the clean-up gives names, and member names have none), so the
// first blank tells where the destination's path ends: no two items, of
// whatever kind, can share a temporary file.
namespace TempNames {

// A plain file's block as it arrives.
QString block(const QString &destination);
// A plain file unpacked, before it takes its destination's place.
QString unpacked(const QString &destination);
// An archive member's block (a large one, received into a file).
QString member(const QString &archive, const QString &name);
// Part `part` of a file that travels in parts, as it arrives.
QString part(const QString &destination, quint32 part);
// The file the parts are joined into, before it takes its destination's
// place.
QString assembled(const QString &destination);

} // namespace TempNames
