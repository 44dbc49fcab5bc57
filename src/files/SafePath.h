#pragma once

#include <QString>

// Paths that come from the network or from a cache file are untrusted. These
// checks keep every file operation of the synchronisation inside the game
// folder.
namespace SafePath {

// Whether a relative path from a listing may name something in the game
// folder: not empty, "/"-separated, no leading "/", no drive or colon, no
// backslash, no NUL or other control character, no empty component and none
// that begins with "." ("." and ".." included: hidden names are never seen
// by the scan or the clean-up, so the launcher could neither check nor
// remove what it stored under one), and every component a portable name
// (below).
bool isSafeRelative(const QString &relativePath);

// Whether a name inside an IMG archive may be used: not empty, at most 23
// bytes in UTF-8, no "/", "\", space or control character, not "." or "..",
// a portable name (below), and not the name of the record that marks the
// launcher's own archive form (a member of that name would be taken for it
// and vanish).
bool isSafeMemberName(const QString &name);

// Whether one name means the same file on every system the launcher runs
// on, so that a list gives the same folder on Windows and elsewhere. Windows
// reads some names as something else: a device (isReservedDeviceName), a
// name ending in "." or " " as the name without them ("gta_sa.exe." is
// "gta_sa.exe"), and it refuses the characters < > : " | ? * (':' also
// names an alternate data stream).
bool isPortableName(const QString &name);

// Whether Windows takes name for a device: con, prn, aux, nul, conin$,
// conout$, com1 to com9 and lpt1 to lpt9 (also with the superscript digits
// 1, 2 and 3), in any case, alone or followed by an extension ("nul.txt",
// "con .tar.gz").
bool isReservedDeviceName(const QString &name);

// root + "/" + relativePath when the relative path is safe and no existing
// folder on the way is a symbolic link that leads out of root; otherwise an
// empty string. The target itself need not exist.
QString inside(const QString &root, const QString &relativePath);
// The same with root's canonical path (Platform::canonicalPath) found
// beforehand, for callers that check many paths below one root: resolving
// it costs a system call per folder of its path. Empty: found now.
QString inside(const QString &root, const QString &relativePath, const QString &canonicalRoot);

} // namespace SafePath
