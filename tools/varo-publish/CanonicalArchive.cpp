#include "CanonicalArchive.h"

#include "files/FileSystem.h"
#include "files/imgarchive/ArchiveEditor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Not one of the game's data files that merely end in ".img", so that the
// scan takes the copy for an archive.
const char CopyName[] = "canonical.img";

} // namespace

CanonicalArchive::CanonicalArchive(const QString &workFolder)
    : folder(workFolder)
    , copyPath(workFolder + QLatin1Char('/') + QLatin1String(CopyName))
{
}

CanonicalArchive::~CanonicalArchive()
{
    discard();
}

void CanonicalArchive::discard()
{
    if (ownCopy)
        QFile::remove(copyPath);
    copyPath = folder + QLatin1Char('/') + QLatin1String(CopyName);
    ownCopy = true;
    byteSize = 0;
    memberList.clear();
}

bool CanonicalArchive::keptAsIs(const QString &relativePath, int memberCount)
{
    return relativePath.startsWith(QLatin1String("multiplayer_c/models/"))
        && memberCount > ImgArchive::ArchiveEditor::MaxRecords - 1;
}

bool CanonicalArchive::adopt(const QString &sourcePath)
{
    discard();
    const QFileInfo source(sourcePath);
    ListingEntry entry;
    entry.kind = EntryKind::ImgArchive;
    entry.name = source.fileName();
    entry.path = source.fileName();
    FileSystem scan;
    scan.setRoot(source.absolutePath());
    scan.entries.append(entry);
    scan.readImgDirectories();
    scan.hashImgItems();
    if (scan.entries.at(0).kind != EntryKind::ImgArchive) {
        error = QStringLiteral("%1 holds no readable archive directory").arg(sourcePath);
        return false;
    }
    memberList = scan.imgGroups.value(scan.entries.at(0).imgId);
    for (const ListingEntry &member : qAsConst(memberList)) {
        if (member.md5.isEmpty()) {
            error = QStringLiteral("cannot read the members of %1").arg(sourcePath);
            memberList.clear();
            return false;
        }
    }
    copyPath = sourcePath;
    ownCopy = false;
    byteSize = quint64(source.size());
    return true;
}

bool CanonicalArchive::build(const QString &sourcePath)
{
    discard();
    if (!QDir().mkpath(folder) || !QFile::copy(sourcePath, copyPath)) {
        error = QStringLiteral("cannot copy %1 to %2").arg(sourcePath, copyPath);
        return false;
    }
    // The copy must be writable whatever the source's permissions were.
    QFile::setPermissions(copyPath, QFile::ReadOwner | QFile::WriteOwner);

    if (!ImgArchive::ArchiveEditor::convertToV2StaticHeader(copyPath)) {
        error = QStringLiteral("cannot convert a copy of %1 to the V2SH form").arg(sourcePath);
        return false;
    }
    {
        ImgArchive::ArchiveEditor editor(copyPath);
        if (!editor.open() || !editor.close()) {
            error = QStringLiteral("cannot sort the directory of a copy of %1").arg(sourcePath);
            return false;
        }
    }
    if (!ImgArchive::ArchiveEditor::convertToV2StaticHeader(copyPath)) {
        error = QStringLiteral("cannot pack a copy of %1").arg(sourcePath);
        return false;
    }

    // The members as the launcher's own scan reads them.
    FileSystem scan;
    scan.setRoot(folder);
    scan.scanFiles();
    scan.readImgDirectories();
    scan.hashImgItems();
    const int index = scan.firstArchiveIndex(QLatin1String(CopyName));
    if (index < 0) {
        error = QStringLiteral("the copy of %1 holds no readable archive directory").arg(sourcePath);
        return false;
    }
    memberList = scan.imgGroups.value(scan.entries.at(index).imgId);
    for (const ListingEntry &member : qAsConst(memberList)) {
        if (member.md5.isEmpty()) {
            error = QStringLiteral("cannot read the members of a copy of %1").arg(sourcePath);
            memberList.clear();
            return false;
        }
    }
    byteSize = quint64(QFileInfo(copyPath).size());
    return true;
}
