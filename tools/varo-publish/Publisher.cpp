#include "Publisher.h"

#include "CanonicalArchive.h"
#include "ExitCode.h"
#include "SourceInspector.h"

#include "signing/ListSignature.h"
#include "signing/SignedText.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>

namespace {

const char ListFolder[] = "launcher_api";
const char BlockFolder[] = "pcgamefile/filesystem";
// Prefix of the work folder inside the mirror; a run that was killed
// leaves one behind, which the next run removes.
const char WorkFolderPrefix[] = ".varo-publish-";

// The path with symbolic links resolved as far as it exists, so that two
// spellings of one folder compare equal even before the mirror is created.
QString resolvedPath(const QString &path)
{
    QString existing = QFileInfo(path).absoluteFilePath();
    QString rest;
    while (!QFileInfo::exists(existing)) {
        const int slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0)
            return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
        rest = existing.mid(slash) + rest;
        existing.truncate(slash);
    }
    return QDir::cleanPath(QFileInfo(existing).canonicalFilePath() + rest);
}

bool isSameOrInside(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

bool saveFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

} // namespace

Publisher::Publisher(const QString &game, const QString &mirror)
    : gameDir(game)
    , mirrorDir(mirror)
    , blocks(resolvedPath(mirror) + QLatin1Char('/') + QLatin1String(BlockFolder))
{
}

void Publisher::signWith(const SecretKey &key, int days)
{
    signingKey = key;
    validDays = days;
}

QString Publisher::signaturePath() const
{
    return mirrorDir + QLatin1Char('/') + QLatin1String(ListFolder) + QStringLiteral("/sync.lst.sig");
}

void Publisher::report(const QString &text)
{
    progress.message(QStringLiteral("varo-publish: ") + text);
}

int Publisher::run()
{
    int status = checkFolders();
    if (status == ExitOk)
        status = checkSignature();
    if (status == ExitOk)
        status = inspect();
    if (status == ExitOk)
        status = hashFiles();
    if (status != ExitOk)
        return status;

    if (!QDir().mkpath(mirrorDir + QLatin1Char('/') + QLatin1String(ListFolder))
        || !QDir().mkpath(mirrorDir + QLatin1Char('/') + QLatin1String(BlockFolder))) {
        report(QStringLiteral("cannot create the folders of the mirror in %1").arg(mirrorDir));
        return ExitCannotWrite;
    }
    const QStringList leftovers = QDir(mirrorDir).entryList({QLatin1String(WorkFolderPrefix) + QLatin1Char('*')},
                                                            QDir::Dirs | QDir::Hidden);
    for (const QString &leftover : leftovers)
        QDir(mirrorDir + QLatin1Char('/') + leftover).removeRecursively();
    QTemporaryDir work(mirrorDir + QLatin1Char('/') + QLatin1String(WorkFolderPrefix) + QStringLiteral("XXXXXX"));
    if (!work.isValid()) {
        report(QStringLiteral("cannot create a work folder in %1: %2").arg(mirrorDir, work.errorString()));
        return ExitCannotWrite;
    }

    status = publishBlocks(work);
    if (status == ExitOk)
        status = writeList();
    if (status == ExitOk)
        removeStaleBlocks();
    progress.finish();
    return status;
}

int Publisher::checkSignature()
{
    QFile current(signaturePath());
    if (!signingKey.isValid()) {
        // An unsigned list next to a signature would be refused by every
        // launcher that checks signatures.
        if (!current.exists())
            return ExitOk;
        report(QStringLiteral("the mirror's list is signed (%1): publish with --key, or remove that file to "
                              "publish unsigned")
                   .arg(current.fileName()));
        return ExitUsage;
    }
    serial = 1;
    if (!current.exists())
        return ExitOk;
    ListSignature::Statement earlier;
    if (!current.open(QIODevice::ReadOnly) || !ListSignature::read(current.read(SignedText::MaxSize + 1), &earlier)) {
        // Counting again from 1 would make every launcher that saw the
        // earlier lists refuse the new ones.
        report(QStringLiteral("cannot read the serial of the mirror's signature %1").arg(current.fileName()));
        return ExitCannotWrite;
    }
    serial = earlier.serial + 1;
    return ExitOk;
}

int Publisher::checkFolders()
{
    const QFileInfo game(gameDir);
    if (!game.exists() || !game.isDir()) {
        report(QStringLiteral("the game folder %1 does not exist or is not a folder").arg(gameDir));
        return ExitNoInput;
    }
    if (!game.isReadable() || !game.isExecutable()) {
        report(QStringLiteral("the game folder %1 cannot be read").arg(gameDir));
        return ExitNoInput;
    }
    const QFileInfo mirror(mirrorDir);
    if (mirror.exists() && !mirror.isDir()) {
        report(QStringLiteral("the mirror %1 exists and is not a folder").arg(mirrorDir));
        return ExitCannotWrite;
    }
    const QString gamePath = resolvedPath(gameDir);
    const QString mirrorPath = resolvedPath(mirrorDir);
    if (isSameOrInside(mirrorPath, gamePath) || isSameOrInside(gamePath, mirrorPath)) {
        report(QStringLiteral("the game folder and the mirror must not contain each other (%1, %2)")
                   .arg(gamePath, mirrorPath));
        return ExitUsage;
    }
    gameDir = gamePath;
    mirrorDir = mirrorPath;
    return ExitOk;
}

int Publisher::inspect()
{
    report(QStringLiteral("looking through %1").arg(gameDir));
    SourceInspector inspector(gameDir);
    inspector.walk();

    scan.setRoot(gameDir);
    scan.scanDirectories();
    scan.scanFiles();
    QSet<QString> archiveCandidates;
    for (const ListingEntry &entry : qAsConst(scan.entries)) {
        if (entry.kind == EntryKind::ImgArchive)
            archiveCandidates.insert(entry.path);
    }
    scan.readImgDirectories();
    inspector.checkEntries(scan, archiveCandidates);

    for (const QString &skipped : inspector.skipped())
        report(QStringLiteral("warning: skipped, as the launcher does not see it either: ") + skipped);
    for (const QString &notice : inspector.notices())
        report(QStringLiteral("note: ") + notice);
    if (!inspector.unreadable().isEmpty()) {
        report(QStringLiteral("cannot read %1 path(s) in %2; nothing was written:")
                   .arg(inspector.unreadable().size())
                   .arg(gameDir));
        for (const QString &path : inspector.unreadable())
            progress.message(QStringLiteral("  ") + path);
        return ExitNoInput;
    }
    if (!inspector.problems().isEmpty()) {
        report(QStringLiteral("refusing to publish %1: %2 problem(s) to fix first; nothing was written:")
                   .arg(gameDir)
                   .arg(inspector.problems().size()));
        for (const QString &problem : inspector.problems())
            progress.message(QStringLiteral("  ") + problem);
        return ExitRefused;
    }
    scan.normalize();
    return ExitOk;
}

int Publisher::hashFiles()
{
    int files = 0;
    quint64 bytes = 0;
    for (const ListingEntry &entry : qAsConst(scan.entries)) {
        if (!entry.isRemoved() && entry.kind != EntryKind::ImgArchive) {
            ++files;
            bytes += entry.size;
        }
    }
    report(QStringLiteral("hashing %1 file(s), %2").arg(files).arg(ProgressReporter::formatBytes(bytes)));
    progress.setTotals(files, bytes);
    QObject::connect(&scan, &FileSystem::updateCurrentFile, &scan,
                     [this](const QString &path) { progress.setActivity(QStringLiteral("hashing ") + path); });
    QObject::connect(&scan, &FileSystem::updateProgressBar, &scan, [this](quint64, quint64 current) {
        if (current >= 1 && current <= quint64(scan.entries.size()))
            progress.addBytes(scan.entries.at(int(current - 1)).size);
        progress.finishFile();
    });
    scan.hashFiles();
    QObject::disconnect(&scan, nullptr, &scan, nullptr);

    for (const ListingEntry &entry : qAsConst(scan.entries)) {
        if (!entry.isRemoved() && entry.kind != EntryKind::ImgArchive && entry.md5.isEmpty()) {
            report(QStringLiteral("cannot read %1/%2; nothing was written").arg(gameDir, entry.path));
            return ExitNoInput;
        }
    }
    return ExitOk;
}

int Publisher::publishBlocks(QTemporaryDir &work)
{
    int files = 0;
    quint64 bytes = 0;
    for (const ListingEntry &entry : qAsConst(scan.entries)) {
        if (entry.isRemoved())
            continue;
        ++files;
        if (entry.kind == EntryKind::ImgArchive) {
            // The members, then the whole rebuilt archive in parts.
            const quint64 estimate = scan.imgArchiveSizeEstimate(entry);
            bytes += estimate - FileSystem::ImgDirectoryAreaSize + estimate;
        } else {
            bytes += entry.size;
        }
    }
    report(QStringLiteral("packing %1 file(s) into %2/%3").arg(files).arg(mirrorDir, QLatin1String(BlockFolder)));
    progress.setTotals(files, bytes);

    // Archives are numbered afresh in listing order, so that publishing the
    // same folder twice gives the same list.
    QMap<qint32, QVector<ListingEntry>> groups;
    qint32 nextImgId = 0;
    const QString workFolder = work.path() + QStringLiteral("/archive");
    for (ListingEntry &entry : scan.entries) {
        if (entry.isRemoved())
            continue;
        progress.startFile(entry.path);
        const int status = publishEntry(entry, workFolder, nextImgId, &groups);
        if (status != ExitOk)
            return status;
        if (entry.kind == EntryKind::ImgArchive)
            ++nextImgId;
        progress.finishFile();
    }
    scan.imgGroups = groups;
    scan.imgCursor = nextImgId;
    return ExitOk;
}

int Publisher::publishEntry(ListingEntry &entry, const QString &workFolder, qint32 imgId,
                            QMap<qint32, QVector<ListingEntry>> *groups)
{
    if (entry.kind == EntryKind::ImgArchive) {
        const int status = publishArchive(entry, workFolder);
        if (status != ExitOk)
            return status;
        entry.imgId = imgId;
        groups->insert(imgId, archiveMembers);
        return ExitOk;
    }

    QFile source(gameDir + QLatin1Char('/') + entry.path);
    if (!source.open(QIODevice::ReadOnly)) {
        report(QStringLiteral("cannot read %1: %2").arg(source.fileName(), source.errorString()));
        return ExitNoInput;
    }
    if (entry.kind == EntryKind::File) {
        if (!blocks.publish(entry.path + QStringLiteral(".compressed"), source, 0, entry.size, entry.md5))
            return blockFailure();
        progress.addBytes(entry.size);
        return ExitOk;
    }
    // An audio file travels in parts of partSize bytes, the last one shorter.
    for (quint32 k = 0; k < entry.blockCount; ++k) {
        const qint64 offset = qint64(k) * entry.partSize;
        const qint64 length = qMin<qint64>(entry.partSize, qint64(entry.size) - offset);
        if (!blocks.publish(entry.path + QStringLiteral(".b%1.compressed").arg(k), source, offset, length))
            return blockFailure();
        progress.addBytes(quint64(length));
    }
    return ExitOk;
}

int Publisher::publishArchive(ListingEntry &entry, const QString &workFolder)
{
    progress.setActivity(QStringLiteral("rebuilding ") + entry.path);
    const QVector<ListingEntry> sourceMembers = scan.imgGroups.value(entry.imgId);
    CanonicalArchive canonical(workFolder);
    const QString source = gameDir + QLatin1Char('/') + entry.path;
    const bool built = CanonicalArchive::keptAsIs(entry.path, sourceMembers.size()) ? canonical.adopt(source)
                                                                                    : canonical.build(source);
    if (!built) {
        report(canonical.errorString());
        return ExitSoftware;
    }
    // The inspection refused everything the rebuild leaves out; a member
    // lost here would be a member the players never get.
    QStringList before;
    QStringList after;
    for (const ListingEntry &member : sourceMembers)
        before << member.name + QLatin1Char(' ') + QString::number(member.size);
    for (const ListingEntry &member : canonical.members())
        after << member.name + QLatin1Char(' ') + QString::number(member.size);
    before.sort();
    after.sort();
    if (before != after || canonical.size() >= SourceInspector::MaxFileSize) {
        report(QStringLiteral("the rebuilt form of %1 does not hold the same members; nothing more was written")
                   .arg(entry.path));
        return ExitSoftware;
    }

    QFile copy(canonical.path());
    if (!copy.open(QIODevice::ReadOnly)) {
        report(QStringLiteral("cannot read %1: %2").arg(copy.fileName(), copy.errorString()));
        return ExitSoftware;
    }
    progress.setActivity(entry.path);
    for (const ListingEntry &member : canonical.members()) {
        const QString remote = entry.path + QStringLiteral("_img/") + member.name + QStringLiteral(".compressed");
        if (!blocks.publish(remote, copy, qint64(member.imgOffset) * FileSystem::SectorSize, member.size, member.md5))
            return blockFailure();
        progress.addBytes(member.size);
    }
    const quint64 size = canonical.size();
    const quint64 parts = (size + FileSystem::ImgBlockSize - 1) / FileSystem::ImgBlockSize;
    for (quint64 k = 0; k < parts; ++k) {
        const qint64 offset = qint64(k * FileSystem::ImgBlockSize);
        const qint64 length = qMin<qint64>(FileSystem::ImgBlockSize, qint64(size) - offset);
        if (!blocks.publish(entry.path + QStringLiteral(".b%1.compressed").arg(k), copy, offset, length))
            return blockFailure();
        progress.addBytes(quint64(length));
    }

    archiveMembers = canonical.members();
    for (ListingEntry &member : archiveMembers)
        member.imgOffset = 0;
    entry.size = quint32(size);
    entry.extra = quint32(size);
    entry.blockCount = quint32(parts);
    return ExitOk;
}

int Publisher::blockFailure()
{
    report(blocks.errorString());
    return blocks.failure() == BlockWriter::Failure::Read ? ExitNoInput : ExitCannotWrite;
}

int Publisher::writeList()
{
    QByteArray list;
    scan.writeListing(list, false);
    const QByteArray hash = QCryptographicHash::hash(list, QCryptographicHash::Md5).toHex();
    const QString listFolder = mirrorDir + QLatin1Char('/') + QLatin1String(ListFolder);
    QByteArray signature;
    if (signingKey.isValid()) {
        const QDateTime expires = validDays > 0 ? QDateTime::currentDateTimeUtc().addDays(validDays) : QDateTime();
        signature = ListSignature::make(signingKey, list, serial, expires);
    }
    QString failure;
    // The list before its hash and its signature: a client that fetches in
    // between sees a mismatch and asks again, never a hash or a signature
    // that vouches for a list whose blocks are missing.
    if (!saveFile(listFolder + QStringLiteral("/sync.lst"), list, &failure)
        || !saveFile(listFolder + QStringLiteral("/sync.lst.hash"), hash, &failure)
        || (signingKey.isValid() && !saveFile(signaturePath(), signature, &failure))
        || !saveFile(mirrorDir + QStringLiteral("/ping.txt"), QByteArrayLiteral("ok\n"), &failure)) {
        report(failure);
        return ExitCannotWrite;
    }
    return ExitOk;
}

void Publisher::removeStaleBlocks()
{
    QStringList failures;
    const int removed = blocks.removeStale(&failures);
    for (const QString &path : qAsConst(failures))
        report(QStringLiteral("warning: cannot delete the stale block ") + path);
    int archives = 0;
    for (const ListingEntry &entry : qAsConst(scan.entries))
        archives += entry.kind == EntryKind::ImgArchive && !entry.isRemoved() ? 1 : 0;
    progress.finish();
    report(QStringLiteral("published %1 folder(s) and %2 file(s) (%3 archive(s)) into %4: "
                          "%5 block(s) written, %6 unchanged, %7 stale file(s) deleted")
               .arg(scan.directories.size())
               .arg(scan.entries.size())
               .arg(archives)
               .arg(mirrorDir)
               .arg(blocks.writtenBlocks())
               .arg(blocks.keptBlocks())
               .arg(removed));
}
