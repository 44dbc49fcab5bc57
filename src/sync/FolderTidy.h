#pragma once

#include <QString>
#include <QStringList>

// The tidying walks of a sync pass over the game folder. None of them
// follows symbolic links into other folders, and hidden or system entries
// are left alone.
namespace FolderTidy {

// Removes every file whose suffix, lower-cased, is "tmp", "lnk" or "link":
// leftovers of interrupted transfers, conversions and stores.
void removeTempFiles(const QString &gameDir);

// Removes the temporary copies that saving path through QSaveFile leaves
// behind when the process dies between writing and renaming: files beside
// it named like it with "." and six letters or digits appended.
void removeSaveLeftovers(const QString &path);

// The launcher's form of a file or folder name: white space trimmed and
// inner runs collapsed, blanks turned into "_", lower case.
QString normalizedName(const QString &name);

// Renames every folder, then every file, whose name is not in normalised
// form. Folders are renamed deepest first, so a renamed parent never hides a
// child from the walk. Renames that fail (the target exists) are skipped.
void normalizeFolderNames(const QString &gameDir);
void normalizeFileNames(const QString &gameDir);

// The IMG archives in the game folder, from one walk, in walk order, as
// absolute paths. Only files with the suffix "img" in any case count, not the
// game's eight special files and nothing under "multiplayer_c/models/".
struct ArchiveSurvey
{
    // Not in the launcher's own archive form yet: the conversion stage
    // turns them into it.
    QStringList toConvert;
    // In the launcher's form but not compact (see
    // ArchiveEditor::isCompactV2StaticHeader): an earlier pass stored or
    // removed members in them and did not get to rebuild them, because it
    // was interrupted or the rebuild failed.
    QStringList toCompact;
};
ArchiveSurvey surveyArchives(const QString &gameDir);

} // namespace FolderTidy
