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

// The IMG files that the conversion stage turns into the launcher's own
// archive form: suffix "img" in any case, not one of the game's eight
// special files, not under "multiplayer_c/models/", and not converted yet.
// Absolute paths, in walk order.
QStringList archivesToConvert(const QString &gameDir);

// The archives in the launcher's own form that are not compact (see
// ArchiveEditor::isCompactV2StaticHeader): an earlier pass stored or removed
// members in them and did not get to rebuild them, because it was
// interrupted or the rebuild failed. The same selection as above otherwise.
// Absolute paths, in walk order.
QStringList archivesToCompact(const QString &gameDir);

// Both lists above from one walk of the folder.
struct ArchiveSurvey
{
    QStringList toConvert;
    QStringList toCompact;
};
ArchiveSurvey surveyArchives(const QString &gameDir);

} // namespace FolderTidy
