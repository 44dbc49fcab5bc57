#include "sync/ListingSanitizer.h"

#include "files/FileSystem.h"
#include "files/Listing.h"
#include "files/SafePath.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "sync/FolderTidy.h"

#include <QLoggingCategory>
#include <QSet>

namespace {

Q_LOGGING_CATEGORY(lcSanitize, "varo.sync", QtInfoMsg)

// The largest file an archive record can describe.
constexpr quint64 MaxMemberBytes = quint64(ImgArchive::ArchiveEditor::MaxEntrySectors)
    * quint64(ImgArchive::ArchiveEditor::SectorSize);

// Whether every component of a path is in the form the clean-up gives names.
bool isNormalized(const QString &path)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (FolderTidy::normalizedName(part) != part)
            return false;
    }
    return true;
}

bool isUsablePath(const QString &path)
{
    return SafePath::isSafeRelative(path) && isNormalized(path);
}

// Every folder above path ("a/b/c" gives "a/b" and "a").
void addAncestors(const QString &path, QSet<QString> *folders)
{
    for (int slash = path.lastIndexOf(QLatin1Char('/')); slash > 0;
         slash = path.lastIndexOf(QLatin1Char('/'), slash - 1)) {
        if (folders->contains(path.left(slash)))
            return;
        folders->insert(path.left(slash));
    }
}

} // namespace

int sanitizeListing(Listing &listing)
{
    int marked = 0;
    QSet<QString> folders;
    for (QString &directory : listing.directories) {
        if (directory.isEmpty())
            continue;
        if (isUsablePath(directory)) {
            folders.insert(directory);
            addAncestors(directory, &folders);
            continue;
        }
        qCWarning(lcSanitize).noquote() << "[unsafe directory]" << directory;
        directory.clear();
        ++marked;
    }
    for (ListingEntry &entry : listing.entries) {
        if (entry.isRemoved())
            continue;
        if (!isUsablePath(entry.path)) {
            qCWarning(lcSanitize).noquote() << "[unsafe entry]" << entry.path;
        } else if (entry.kind == EntryKind::AudioFile
                   && (!FileSystem::partsAddUp(entry.size, entry.blockCount, entry.partSize)
                       || (entry.blockCount > 1 && entry.partSize < FileSystem::MinAudioPartSize))) {
            qCWarning(lcSanitize).noquote() << "[unusable entry] parts do not add up:" << entry.path << entry.size
                                            << entry.blockCount << entry.partSize;
        } else if (entry.kind == EntryKind::ImgArchive
                   && (entry.blockCount < 1 || entry.blockCount > FileSystem::MaxImgBlocks)) {
            qCWarning(lcSanitize).noquote() << "[unusable entry] part count:" << entry.path << entry.blockCount;
        } else {
            addAncestors(entry.path, &folders);
            continue;
        }
        entry.name.clear();
        ++marked;
    }
    // A path cannot be a file and a folder at once: the folder stays, since
    // what lies below it needs it.
    for (ListingEntry &entry : listing.entries) {
        if (entry.isRemoved() || !folders.contains(entry.path))
            continue;
        qCWarning(lcSanitize).noquote() << "[unusable entry] also a folder:" << entry.path;
        entry.name.clear();
        ++marked;
    }
    for (auto group = listing.imgGroups.begin(); group != listing.imgGroups.end(); ++group) {
        QSet<QString> names;
        for (ListingEntry &record : group.value()) {
            if (record.isRemoved())
                continue;
            const QString key = record.name.toCaseFolded();
            if (!SafePath::isSafeMemberName(record.name))
                qCWarning(lcSanitize).noquote() << "[unsafe member]" << group.key() << record.name;
            else if (names.contains(key))
                qCWarning(lcSanitize).noquote()
                    << "[unusable member] differs only in case:" << group.key() << record.name;
            else if (record.size == 0 || record.size > MaxMemberBytes)
                qCWarning(lcSanitize).noquote()
                    << "[unusable member] size:" << group.key() << record.name << record.size;
            else {
                names.insert(key);
                continue;
            }
            record.name.clear();
            ++marked;
        }
    }
    return marked;
}
