#include "SourceInspector.h"

#include "CanonicalArchive.h"
#include "NameChecker.h"

#include "files/FileSystem.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr int MaxMembers = ImgArchive::ArchiveEditor::MaxRecords - 1;

QString joinPath(const QString &folder, const QString &name)
{
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

} // namespace

SourceInspector::SourceInspector(const QString &gameDir)
    : root(QDir::cleanPath(gameDir))
{
}

void SourceInspector::walk()
{
    walkFolder(QString());
    if (fileCount == 0 && unreadableList.isEmpty())
        problemList << QStringLiteral(".: holds no file; publishing it would make every launcher delete its game");
}

void SourceInspector::walkFolder(const QString &relativeFolder)
{
    const QDir folder(joinPath(root, relativeFolder));
    if (!folder.isReadable()) {
        unreadableList << (relativeFolder.isEmpty() ? QStringLiteral(".") : relativeFolder);
        return;
    }
    const QFileInfoList items =
        folder.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &info : items) {
        const QString path = joinPath(relativeFolder, info.fileName());
        if (info.isSymLink() || Platform::isLink(info.filePath())) {
            skippedList << path + QStringLiteral(" (symbolic link)");
            continue;
        }
        if (info.isHidden()) {
            skippedList << path
                    + (info.isDir() ? QStringLiteral(" (hidden folder, with everything in it)")
                                    : QStringLiteral(" (hidden file)"));
            continue;
        }
        if (!info.isDir() && !info.isFile()) {
            skippedList << path + QStringLiteral(" (not a regular file)");
            continue;
        }
        const QString problem = NameChecker::pathNameProblem(info.fileName(), info.isFile());
        if (!problem.isEmpty()) {
            problemList << path + QStringLiteral(": ") + problem;
            refusedPaths.insert(path.toLower());
        }
        if (info.isDir()) {
            walkFolder(path);
            continue;
        }
        ++fileCount;
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly)) {
            unreadableList << path;
            continue;
        }
        realSizes.insert(path.toLower(), quint64(info.size()));
    }
}

void SourceInspector::checkEntries(const FileSystem &scan, const QSet<QString> &archiveCandidates)
{
    for (const ListingEntry &entry : scan.entries) {
        if (entry.isRemoved() || !realSizes.contains(entry.path))
            continue;
        // A path whose name is refused may differ from its lower-case form
        // on disk; it has been reported and is not looked into.
        bool refused = false;
        for (QString part = entry.path; !part.isEmpty(); part = part.left(qMax(0, part.lastIndexOf(QLatin1Char('/')))))
            refused = refused || refusedPaths.contains(part);
        if (refused)
            continue;

        const quint64 size = realSizes.value(entry.path);
        if (size >= MaxFileSize) {
            problemList << entry.path
                    + QStringLiteral(": is %1 bytes, 4 GiB or more; the launcher keeps sizes in 32 bits").arg(size);
            continue;
        }
        switch (entry.kind) {
        case EntryKind::AudioFile:
            for (quint32 k = 0; k < entry.blockCount; ++k)
                claimRemoteName(entry.path + QStringLiteral(".b%1.compressed").arg(k), entry.path);
            break;
        case EntryKind::ImgArchive:
            checkArchive(entry.path, size);
            break;
        case EntryKind::File:
            if (archiveCandidates.contains(entry.path))
                checkArchiveTurnedFile(entry.path, size);
            if (size > MaxBlockSize) {
                problemList << entry.path
                        + QStringLiteral(": is %1 bytes, more than the %2 bytes of one block")
                              .arg(size)
                              .arg(MaxBlockSize);
            }
            claimRemoteName(entry.path + QStringLiteral(".compressed"), entry.path);
            break;
        }
    }
    checkRemoteFolders();
    problemList.removeDuplicates();
}

void SourceInspector::checkArchive(const QString &path, quint64 fileSize)
{
    QVector<ImgDirEntry> records;
    if (!ImgArchive::ArchiveEditor::readDirectory(joinPath(root, path), &records)) {
        problemList << path + QStringLiteral(": its archive directory cannot be read");
        return;
    }
    const bool asIs = CanonicalArchive::keptAsIs(path, records.size());
    if (records.size() > MaxMembers && !asIs) {
        problemList << path
                + QStringLiteral(": holds %1 members, more than the %2 an archive directory can hold")
                      .arg(records.size())
                      .arg(MaxMembers);
        return;
    }
    const quint64 fileSectors = (fileSize + FileSystem::SectorSize - 1) / FileSystem::SectorSize;
    quint64 canonicalSize = FileSystem::ImgDirectoryAreaSize;
    QHash<QString, QString> seen; // lower-case name -> name
    for (const ImgDirEntry &record : qAsConst(records)) {
        // Records without data are not members (the scan leaves them out)
        // and carry nothing that could be lost.
        if (record.sectors() == 0)
            continue;
        const QString member = path + QStringLiteral(": member \"") + record.name + QStringLiteral("\" ");
        const QString problem = NameChecker::memberNameProblem(record.name);
        if (!problem.isEmpty()) {
            problemList << member + problem;
            continue;
        }
        if (quint64(record.startSector) + record.sectors() > fileSectors) {
            problemList << member + QStringLiteral("lies past the end of the archive");
            continue;
        }
        const QString key = record.name.toLower();
        if (seen.contains(key)) {
            problemList << member
                    + QStringLiteral("appears twice (also as \"%1\"; the launcher compares names ignoring case)")
                          .arg(seen.value(key));
            continue;
        }
        seen.insert(key, record.name);
        canonicalSize += quint64(record.sectors()) * FileSystem::SectorSize;
        claimRemoteName(path + QStringLiteral("_img/") + record.name + QStringLiteral(".compressed"), path);
    }
    if (asIs)
        canonicalSize = fileSize; // travels as it is
    if (canonicalSize >= MaxFileSize) {
        problemList << path
                + QStringLiteral(": would be %1 bytes when rebuilt, 4 GiB or more; the launcher keeps sizes in 32 bits")
                      .arg(canonicalSize);
        return;
    }
    const quint64 parts = (canonicalSize + FileSystem::ImgBlockSize - 1) / FileSystem::ImgBlockSize;
    for (quint64 k = 0; k < parts; ++k)
        claimRemoteName(path + QStringLiteral(".b%1.compressed").arg(k), path);
}

void SourceInspector::checkArchiveTurnedFile(const QString &path, quint64 fileSize)
{
    QVector<ImgDirEntry> records;
    qint32 count = 0;
    ImgArchive::ArchiveEditor::readDirectory(joinPath(root, path), &records, &count);
    // A directory that fits the file but holds more records than the
    // directory area: a real archive that the launcher could never rebuild.
    if (count > ImgArchive::ArchiveEditor::MaxRecords && 8 + 32 * quint64(count) <= fileSize) {
        problemList << path
                + QStringLiteral(": its directory holds %1 records, more than the %2 an archive can hold")
                      .arg(count)
                      .arg(ImgArchive::ArchiveEditor::MaxRecords);
        return;
    }
    noticeList << path + QStringLiteral(": holds no readable archive directory; published as a plain file");
}

void SourceInspector::claimRemoteName(const QString &remoteName, const QString &owner)
{
    const auto found = remoteNames.constFind(remoteName);
    if (found != remoteNames.constEnd() && found.value() != owner) {
        problemList << owner
                + QStringLiteral(": needs the mirror name %1, which %2 needs too").arg(remoteName, found.value());
        return;
    }
    remoteNames.insert(remoteName, owner);
}

void SourceInspector::checkRemoteFolders()
{
    // A block may not stand where another block's folder must be.
    for (auto it = remoteNames.constBegin(); it != remoteNames.constEnd(); ++it) {
        QString folder = it.key();
        for (int slash = folder.lastIndexOf(QLatin1Char('/')); slash > 0;
             slash = folder.lastIndexOf(QLatin1Char('/'))) {
            folder.truncate(slash);
            const auto clash = remoteNames.constFind(folder);
            if (clash != remoteNames.constEnd()) {
                problemList << clash.value()
                        + QStringLiteral(": its mirror name %1 is the folder of %2").arg(folder, it.key());
            }
        }
    }
}
