#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

class FileSystem;

// Looks through a game folder, without changing it, for everything that the
// launcher could not carry to the player's disk unchanged: names it would
// rename or delete, files too large for 32-bit sizes or for one block,
// archives whose members it would drop, remote names that two files would
// share. Hidden entries, symbolic links and special files are passed over,
// as the launcher's own scan passes them over, and listed as skipped.
class SourceInspector final
{
public:
    // Files of this size or more do not fit the listing's 32-bit sizes.
    static constexpr quint64 MaxFileSize = quint64(1) << 32;
    // Largest plain file sent as one block. The launcher, a 32-bit program,
    // holds a whole block and its unpacked content in memory at once.
    static constexpr quint64 MaxBlockSize = quint64(512) << 20;

    explicit SourceInspector(const QString &gameDir);

    // Walks the folder: names, readability, real sizes, skipped entries.
    void walk();
    // Checks the scan of the same folder (after scanFiles and
    // readImgDirectories): sizes by kind, archive members, remote names.
    // archiveCandidates are the paths that scanFiles classed as archives.
    void checkEntries(const FileSystem &scan, const QSet<QString> &archiveCandidates);

    // "path: reason" lines for what must be fixed before publishing.
    const QStringList &problems() const { return problemList; }
    // Files and folders that cannot be read.
    const QStringList &unreadable() const { return unreadableList; }
    // Entries passed over, with the reason.
    const QStringList &skipped() const { return skippedList; }
    // Things worth knowing that do not stop the publication.
    const QStringList &notices() const { return noticeList; }

private:
    void walkFolder(const QString &relativeFolder);
    void checkArchive(const QString &path, quint64 fileSize);
    void checkArchiveTurnedFile(const QString &path, quint64 fileSize);
    void claimRemoteName(const QString &remoteName, const QString &owner);
    void checkRemoteFolders();

    QString root;
    // Real sizes (not cut to 32 bits) by lower-case relative path.
    QHash<QString, quint64> realSizes;
    // Paths whose names are refused; they are not looked into further.
    QSet<QString> refusedPaths;
    // Remote name -> the path that needs it.
    QHash<QString, QString> remoteNames;
    int fileCount = 0;
    QStringList problemList;
    QStringList unreadableList;
    QStringList skippedList;
    QStringList noticeList;
};
