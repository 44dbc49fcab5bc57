// The scan's reading of archive directories (FileSystem::readImgDirectories
// and hashImgItems): the input is an archive in the game folder, of either
// form or of neither (encoded as ArchiveInput describes). What the scan
// builds must be a listing that its own text form carries unchanged.
#include "ArchiveInput.h"
#include "FuzzSupport.h"

#include "files/FileSystem.h"

#include <QDir>

namespace {

constexpr quint32 MaxMemberSize = 65535u * FileSystem::SectorSize;
constexpr quint64 HashBudget = 8 * 1024 * 1024;

ListingEntry archiveEntry(const QString &path)
{
    ListingEntry entry;
    entry.kind = EntryKind::ImgArchive;
    entry.path = path;
    entry.name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    return entry;
}

QString rootDir()
{
    static const QString root = [] {
        const QString path = FuzzSupport::scratchPath(QStringLiteral("root"));
        QDir().mkpath(path + QStringLiteral("/models"));
        return path;
    }();
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString root = rootDir();
    const QByteArray input = FuzzSupport::bytes(data, size);
    FUZZ_CHECK(ArchiveInput::writeDecoded(root + QStringLiteral("/models/gta3.img"), input));
    const quint64 archiveSize = quint64(ArchiveInput::decodedSize(input));

    FileSystem scan;
    scan.setRoot(root);
    // The same archive twice around one that is missing: the missing one
    // becomes a plain file and uses up no group number.
    scan.entries << archiveEntry(QStringLiteral("models/gta3.img"))
                 << archiveEntry(QStringLiteral("models/missing.img"))
                 << archiveEntry(QStringLiteral("models/gta3.img"));
    scan.readImgDirectories();

    const ListingEntry &first = scan.entries.at(0);
    const ListingEntry &missing = scan.entries.at(1);
    const ListingEntry &again = scan.entries.at(2);
    FUZZ_CHECK(missing.kind == EntryKind::File);
    FUZZ_CHECK(first.kind == again.kind);
    if (first.kind == EntryKind::ImgArchive) {
        FUZZ_CHECK(first.imgId == 0 && again.imgId == 1);
        FUZZ_CHECK(scan.imgCursor == 2);
        const QVector<ListingEntry> members = scan.imgGroups.value(0);
        FUZZ_CHECK(!members.isEmpty());
        // At most what the launcher's form holds, or, in the game's own
        // form, what the file has room for.
        FUZZ_CHECK(members.size()
                   <= qMax<qint64>(FileSystem::ImgMaxRecords, qint64(archiveSize) / FileSystem::SectorSize));
        for (const ListingEntry &member : members) {
            FUZZ_CHECK(!member.name.contains(QLatin1Char(' ')));
            FUZZ_CHECK(member.size > 0 && member.size <= MaxMemberSize && member.size % FileSystem::SectorSize == 0);
        }
        FUZZ_CHECK(first.blockCount == again.blockCount);
    } else {
        FUZZ_CHECK(first.kind == EntryKind::File);
        FUZZ_CHECK(scan.imgGroups.isEmpty() && scan.imgCursor == 0);
    }

    // Reading members by their offsets stays inside the file. Records may
    // all cover the whole file; past a budget of bytes to hash the input
    // would only slow the fuzzer down.
    quint64 toHash = 0;
    for (const QVector<ListingEntry> &members : qAsConst(scan.imgGroups)) {
        for (const ListingEntry &member : members)
            toHash += qMin<quint64>(member.size, archiveSize);
    }
    if (toHash <= HashBudget)
        scan.hashImgItems();

    // The scan's listing is written into the remembered state; reading that
    // text back must give the same listing.
    for (const bool withTimes : {false, true}) {
        QByteArray text;
        scan.writeListing(text, withTimes);
        Listing reread;
        reread.readListing(text, withTimes);
        FUZZ_CHECK(reread.listingDigest(withTimes) == scan.listingDigest(withTimes));
        QByteArray rewritten;
        reread.writeListing(rewritten, withTimes);
        FUZZ_CHECK(rewritten == text);
    }
    return 0;
}
