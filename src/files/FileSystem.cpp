#include "files/FileSystem.h"

#include "files/FolderWalk.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "platform/Platform.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QtEndian>

#include <cstring>

namespace {

Q_LOGGING_CATEGORY(lcScan, "varo.files", QtInfoMsg)

// Files are hashed through one buffer of this size, read straight from the
// file (unbuffered): QCryptographicHash::addData(QIODevice *) reads 1 KiB at a
// time through QFile's own 16 KiB buffer, which costs a copy and a call per
// kilobyte on top of the hashing itself.
constexpr int HashChunkSize = 256 << 10;

// The name of the record that marks the launcher's own archive form.
const char StaticHeaderName[] = "v2staticHeader.v2sh";

// The game's IMG files that are data files of their own, not archives.
const char *const NonArchiveImgNames[] = {"anim.img",   "cuts.img",     "carrec.img", "paths.img",
                                          "script.img", "cutscene.img", "mp_col.img", "custom.img"};

QString lowerSuffix(const QString &name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1).toLower();
}

QString hexMd5(QCryptographicHash &hash)
{
    return QString::fromLatin1(hash.result().toHex());
}

// Feeds up to `length` bytes from the current position of an unbuffered file
// into hash through buffer (reused between calls), so that a large file never
// sits in memory whole. False when a read fails or the file ends early.
bool hashRange(QFile &file, qint64 length, QByteArray &buffer, QCryptographicHash &hash)
{
    while (length > 0) {
        const qint64 got = file.read(buffer.data(), qMin<qint64>(length, buffer.size()));
        if (got <= 0)
            return false;
        hash.addData(buffer.constData(), int(got));
        length -= got;
    }
    return true;
}

// MD5 of up to `length` bytes from offset in a file of fileSize bytes. A
// directory record may claim more than the file holds; only the bytes that
// are there are read, and none when the offset lies beyond the end.
QString md5OfRange(QFile &file, qint64 fileSize, qint64 offset, qint64 length, QByteArray &buffer)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    length = qMin(length, qMax<qint64>(0, fileSize - offset));
    if (length > 0 && file.seek(offset))
        hashRange(file, length, buffer, hash);
    return hexMd5(hash);
}

// MD5 of a whole file; empty when it cannot be read to its end.
QString md5OfFile(QFile &file, QByteArray &buffer)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    // Read to the end rather than to the size seen at open: a file that
    // grows meanwhile is hashed as read, as QCryptographicHash::addData(QIODevice *)
    // would.
    for (;;) {
        const qint64 got = file.read(buffer.data(), buffer.size());
        if (got < 0)
            return QString();
        if (got == 0)
            break;
        hash.addData(buffer.constData(), int(got));
    }
    return hexMd5(hash);
}

struct DirRecord
{
    quint32 startSector = 0;
    quint32 sectors = 0;
    QString name;
};

// The directory of an archive (VER2 or V2SH alike). False when the file
// cannot be read or its record count is implausible for its form and size
// (ArchiveEditor::maxRecordCount). Records of no length are left out (the
// record that marks the launcher's own form among them), and so is a record
// carrying that record's name, which the archive editor never shows.
bool readArchiveDirectory(const QString &path, QVector<DirRecord> *records)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 fileSize = file.size();
    const QByteArray header = file.read(8);
    if (header.size() != 8)
        return false;
    const qint32 count = qFromLittleEndian<qint32>(header.constData() + 4);
    if (count < 1 || count > ImgArchive::ArchiveEditor::maxRecordCount(header.left(4), fileSize)
        || 8 + 32 * qint64(count) > fileSize)
        return false;
    const QByteArray table = file.read(32 * qint64(count));
    if (table.size() != 32 * qint64(count))
        return false;
    records->reserve(count);
    const auto *bytes = reinterpret_cast<const uchar *>(table.constData());
    for (qint32 i = 0; i < count; ++i) {
        const uchar *record = bytes + 32 * qint64(i);
        const quint16 firstSize = qFromLittleEndian<quint16>(record + 4);
        const quint16 secondSize = qFromLittleEndian<quint16>(record + 6);
        const quint32 sectors = secondSize != 0 ? secondSize : firstSize;
        const char *nameField = reinterpret_cast<const char *>(record + 8);
        if (sectors == 0 || std::memcmp(nameField, StaticHeaderName, sizeof(StaticHeaderName) - 1) == 0)
            continue;
        const QString name = QString::fromLocal8Bit(nameField, int(qstrnlen(nameField, 24)));
        // The text listing separates fields by blanks and records by line
        // feeds; a name holding either could not be written into it and read
        // back (a line feed would even start a line of its own choosing).
        if (name.isEmpty() || name.contains(QLatin1Char(' ')) || name.contains(QLatin1Char('\n')))
            continue;
        records->append({qFromLittleEndian<quint32>(record), sectors, name});
    }
    return true;
}

} // namespace

FileSystem::FileSystem(QObject *parent)
    : QObject(parent)
{
}

void FileSystem::setRoot(const QString &path)
{
    rootPath = path;
}

QString FileSystem::absolutePath(const QString &relativePath) const
{
    return rootPath + QLatin1Char('/') + relativePath;
}

namespace {

// The path of a walked item relative to the walk's base. The iterator gives
// every item as its start path, "/" and the rest; cutting that prefix off
// costs a fraction of QDir::relativeFilePath, which cleans and compares both
// paths piece by piece for every item. Any other form falls back to it.
QString relativeToWalk(const QDir &base, const QString &walkPrefix, const QString &filePath)
{
    if (filePath.size() > walkPrefix.size() && filePath.startsWith(walkPrefix)
        && filePath.at(walkPrefix.size()) != QLatin1Char('/'))
        return filePath.mid(walkPrefix.size());
    return base.relativeFilePath(filePath);
}

QString walkPrefixOf(const QString &rootPath)
{
    return rootPath.endsWith(QLatin1Char('/')) ? rootPath : rootPath + QLatin1Char('/');
}

} // namespace

void FileSystem::scanDirectories()
{
    const QDir base(rootPath);
    const QString prefix = walkPrefixOf(rootPath);
    FolderWalk it(rootPath, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    while (it.hasNext()) {
        it.next();
        directories.append(relativeToWalk(base, prefix, it.filePath()).toLower());
    }
}

void FileSystem::scanFiles()
{
    const QDir base(rootPath);
    const QString prefix = walkPrefixOf(rootPath);
    FolderWalk it(rootPath, QDir::Files | QDir::NoSymLinks);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        ListingEntry entry;
        entry.name = info.fileName().toLower();
        entry.path = relativeToWalk(base, prefix, info.filePath()).toLower();
        const QString suffix = lowerSuffix(entry.name);
        if (suffix == QLatin1String("img") && isImgArchiveName(entry.path))
            entry.kind = EntryKind::ImgArchive;
        else if (suffix != QLatin1String("dat") && entry.path.startsWith(QLatin1String("audio")))
            entry.kind = EntryKind::AudioFile;
        entry.size = quint32(info.size()); // sizes are kept in 32 bits
        if (entry.kind == EntryKind::AudioFile)
            audioParts(entry.size, &entry.blockCount, &entry.partSize);
        entries.append(entry);
    }
}

void FileSystem::audioParts(quint32 size, quint32 *blockCount, quint32 *partSize)
{
    if (size <= AudioSinglePartLimit) {
        *blockCount = 1;
        *partSize = size;
    } else {
        *blockCount = (size + AudioPartSize - 1) / AudioPartSize;
        *partSize = AudioPartSize;
    }
}

bool FileSystem::partsAddUp(quint64 size, quint32 partCount, quint64 partSize)
{
    if (partCount == 0)
        return false;
    if (partCount == 1)
        return true;
    const quint64 before = quint64(partCount - 1) * partSize;
    return partSize > 0 && before <= size && size - before <= partSize;
}

bool FileSystem::isImgArchiveName(const QString &relativePath)
{
    const QString fileName = relativePath.mid(relativePath.lastIndexOf(QLatin1Char('/')) + 1);
    for (const char *special : NonArchiveImgNames) {
        if (fileName == QLatin1String(special))
            return false;
    }
    return true;
}

void FileSystem::readImgDirectories()
{
    imgCursor = 0;
    for (ListingEntry &entry : entries) {
        if (entry.isRemoved() || entry.kind != EntryKind::ImgArchive)
            continue;
        QVector<DirRecord> records;
        if (!readArchiveDirectory(absolutePath(entry.path), &records) || records.isEmpty()) {
            qCDebug(lcScan) << "[img as file]" << entry.path;
            entry.kind = EntryKind::File;
            continue;
        }
        QVector<ListingEntry> members;
        members.reserve(records.size());
        for (const DirRecord &record : records) {
            ListingEntry member;
            member.name = record.name;
            member.size = record.sectors * SectorSize;
            member.imgOffset = record.startSector;
            members.append(member);
        }
        entry.imgId = imgCursor++;
        imgGroups.insert(entry.imgId, members);
        entry.blockCount = (imgArchiveSizeEstimate(entry) + (ImgBlockSize - 1)) / ImgBlockSize;
    }
}

quint32 FileSystem::imgArchiveSizeEstimate(const ListingEntry &entry)
{
    quint32 total = ImgDirectoryAreaSize;
    for (const ListingEntry &member : group(entry.imgId))
        total += member.size;
    return total;
}

void FileSystem::readModificationTimes()
{
    for (ListingEntry &entry : entries) {
        if (entry.isRemoved())
            continue;
        // One stat per file. QFileInfo::exists() and lastModified() took six
        // system calls per file on Linux (see Platform::modificationTime) and
        // were the largest part of a scan.
        qint64 seconds = 0;
        if (!Platform::modificationTime(absolutePath(entry.path), &seconds))
            return;
        entry.mtime = quint32(seconds);
    }
}

void FileSystem::hashFiles()
{
    const quint64 total = quint64(entries.size());
    QByteArray buffer(HashChunkSize, Qt::Uninitialized);
    for (int i = 0; i < entries.size(); ++i) {
        ListingEntry &entry = entries[i];
        if (entry.isRemoved() || entry.kind == EntryKind::ImgArchive)
            continue;
        QFile file(absolutePath(entry.path));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return;
        emit updateCurrentFile(entry.path);
        entry.md5 = md5OfFile(file, buffer);
        emit updateProgressBar(total, quint64(i) + 1);
    }
}

void FileSystem::hashImgItems()
{
    quint64 total = 0;
    for (const QVector<ListingEntry> &members : qAsConst(imgGroups))
        total += quint64(members.size());
    // The archive entry of every group, looked up once instead of a walk over
    // all entries per group.
    QHash<qint32, const ListingEntry *> archives;
    for (const ListingEntry &entry : qAsConst(entries)) {
        if (entry.kind == EntryKind::ImgArchive && !entry.isRemoved() && !archives.contains(entry.imgId))
            archives.insert(entry.imgId, &entry);
    }
    QByteArray buffer(HashChunkSize, Qt::Uninitialized);
    quint64 done = 0;
    for (auto group = imgGroups.begin(); group != imgGroups.end(); ++group) {
        const ListingEntry *archive = archives.value(group.key());
        if (!archive || archive->path.isEmpty())
            return;
        QFile file(absolutePath(archive->path));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return;
        const qint64 fileSize = file.size();
        for (ListingEntry &member : group.value()) {
            if (member.isRemoved())
                continue;
            emit updateCurrentFile(archive->path);
            member.md5 = md5OfRange(file, fileSize, qint64(member.imgOffset) * SectorSize, member.size, buffer);
            ++done;
            emit updateProgressBar(total, done);
        }
    }
}
