#pragma once

#include <QString>

// The rules a name must follow to reach the player's disk unchanged. The
// launcher lower-cases file and folder names and turns blanks into "_" on
// the player's disk, deletes files ending in .tmp, .lnk or .link at every
// pass, runs on Windows, and asks the mirror for every block by an address
// built from the name. A name that breaks one of these rules would be
// renamed, deleted or never fetched, and the launcher would download it
// again at every start.
class NameChecker final
{
public:
    // Why a file or folder name (one path component) cannot be published as
    // it is; empty when it can.
    static QString pathNameProblem(const QString &name, bool isFile);

    // Why the name of a file inside an IMG archive cannot be published;
    // empty when it can.
    static QString memberNameProblem(const QString &name);

    // Longest member name, in UTF-8 bytes, that fits a directory record.
    static constexpr int MaxMemberNameBytes = 23;
};
