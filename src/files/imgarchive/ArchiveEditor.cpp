#include "files/imgarchive/ArchiveEditor.h"

#include "files/imgarchive/ProgressReceiver.h"
#include "platform/Platform.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QtEndian>

#include <algorithm>
#include <cstring>

Q_LOGGING_CATEGORY(lcImgArchive, "varo.imgarchive", QtInfoMsg)

namespace {

constexpr int HeaderSize = 8;
constexpr int RecordSize = 32;
constexpr int NameFieldSize = 24;
constexpr int NameFieldOffset = 8;
constexpr char Magic[] = "V2SH";
constexpr int MagicSize = 4;
constexpr char StaticHeaderName[] = "v2staticHeader.v2sh";
constexpr int StaticHeaderNameSize = 19;
constexpr qint64 SectorSize = ImgArchive::ArchiveEditor::SectorSize;
constexpr qint64 DataStartOffset = qint64(ImgArchive::ArchiveEditor::DataStartSector) * SectorSize;
// Members are copied through a buffer of this size, never whole.
constexpr qint64 CopyChunkSize = 1 << 20;

// A directory record as it stands in the file, the name still in bytes.
struct RawRecord
{
    quint32 startSector = 0;
    quint16 firstSize = 0;
    quint16 secondSize = 0;
    QByteArray name; // up to the first zero byte
    bool staticHeader = false;

    quint32 sectors() const { return secondSize != 0 ? secondSize : firstSize; }
};

quint64 sectorsFor(qint64 bytes)
{
    return (quint64(bytes) + SectorSize - 1) / SectorSize;
}

void encodeRecord(char *record, quint32 startSector, quint16 firstSize, quint16 secondSize, const QByteArray &name)
{
    qToLittleEndian<quint32>(startSector, record);
    qToLittleEndian<quint16>(firstSize, record + 4);
    qToLittleEndian<quint16>(secondSize, record + 6);
    std::memset(record + NameFieldOffset, 0, NameFieldSize);
    std::memcpy(record + NameFieldOffset, name.constData(), size_t(qMin(name.size(), NameFieldSize)));
}

// The first 40 bytes of an archive: magic, count 1 and the static header
// record, written into the zero-filled block.
void encodeHeader(char *block, qint32 count)
{
    std::memcpy(block, Magic, MagicSize);
    qToLittleEndian<qint32>(count, block + 4);
    encodeRecord(block + HeaderSize, 0, 0, 0, QByteArray(StaticHeaderName));
}

RawRecord decodeRecord(const char *record)
{
    RawRecord raw;
    raw.startSector = qFromLittleEndian<quint32>(record);
    raw.firstSize = qFromLittleEndian<quint16>(record + 4);
    raw.secondSize = qFromLittleEndian<quint16>(record + 6);
    const char *field = record + NameFieldOffset;
    raw.staticHeader = std::memcmp(field, StaticHeaderName, StaticHeaderNameSize) == 0;
    raw.name = QByteArray(field, int(qstrnlen(field, NameFieldSize)));
    return raw;
}

// Reads the magic and the record count. False when the file is too short to
// hold them.
bool readHeader(QFile &file, QByteArray *magic, qint32 *count)
{
    if (!file.seek(0))
        return false;
    const QByteArray head = file.read(HeaderSize);
    if (head.size() != HeaderSize)
        return false;
    *magic = head.left(MagicSize);
    *count = qFromLittleEndian<qint32>(head.constData() + MagicSize);
    return true;
}

// Reads count records from offset 8. The count comes from the file and is
// checked before anything is allocated (see maxRecordCount), and the
// directory must lie inside the file.
bool readRecords(QFile &file, const QByteArray &magic, qint32 count, QVector<RawRecord> *records)
{
    records->clear();
    if (count < 1)
        return true;
    if (count > ImgArchive::ArchiveEditor::maxRecordCount(magic, file.size())) {
        qCWarning(lcImgArchive) << "[img directory] count too large:" << count << file.fileName();
        return false;
    }
    const qint64 directoryBytes = qint64(RecordSize) * count;
    if (HeaderSize + directoryBytes > file.size()) {
        qCWarning(lcImgArchive) << "[img directory] beyond the end of the file:" << count << file.fileName();
        return false;
    }
    if (!file.seek(HeaderSize))
        return false;
    const QByteArray bytes = file.read(directoryBytes);
    if (bytes.size() != directoryBytes)
        return false;
    records->reserve(count);
    for (qint32 i = 0; i < count; ++i)
        records->append(decodeRecord(bytes.constData() + qint64(i) * RecordSize));
    return true;
}

// A member of an archive under conversion: its place in the source, its
// sizes as they were, and its name for the new record.
struct ConvertedMember
{
    quint32 oldStart = 0;
    quint16 firstSize = 0;
    quint16 secondSize = 0;
    QByteArray utf8Name;

    quint32 sectors() const { return secondSize != 0 ? secondSize : firstSize; }
};

// Writes the new directory area and then every member, packed from the data
// area on in the given order. The members' extents were checked against the
// source; a last sector that the source holds only in part is padded with
// zero bytes.
bool writeConverted(QFile &source, QFile &target, const QVector<ConvertedMember> &members, ProgressReceiver *receiver)
{
    QByteArray area(int(DataStartOffset), '\0');
    encodeHeader(area.data(), qint32(members.size() + 1));
    quint64 nextSector = ImgArchive::ArchiveEditor::DataStartSector;
    for (int k = 0; k < members.size(); ++k) {
        const ConvertedMember &m = members.at(k);
        encodeRecord(area.data() + HeaderSize + qint64(k + 1) * RecordSize, quint32(nextSector), m.firstSize,
                     m.secondSize, m.utf8Name);
        nextSector += m.sectors();
    }
    if (target.write(area) != area.size())
        return false;

    const qint64 sourceSize = source.size();
    QByteArray buffer(int(CopyChunkSize), Qt::Uninitialized);
    for (int k = 0; k < members.size(); ++k) {
        const ConvertedMember &m = members.at(k);
        const qint64 length = qint64(m.sectors()) * SectorSize;
        const qint64 offset = qint64(m.oldStart) * SectorSize;
        const qint64 present = qBound<qint64>(0, sourceSize - offset, length);
        // Members usually lie one after the other; a seek to where the last
        // read ended is skipped (one system call per member fewer).
        if (present > 0 && source.pos() != offset && !source.seek(offset))
            return false;
        for (qint64 done = 0; done < present;) {
            const qint64 step = qMin(CopyChunkSize, present - done);
            if (source.read(buffer.data(), step) != step || target.write(buffer.constData(), step) != step)
                return false;
            done += step;
        }
        if (present < length) {
            const QByteArray padding(int(length - present), '\0');
            if (target.write(padding) != padding.size())
                return false;
        }
        if (receiver)
            receiver->updateProgressBar(quint64(members.size()), quint64(k + 1));
    }
    return true;
}

} // namespace

namespace ImgArchive {

ArchiveEditor::ArchiveEditor(const QString &path, QObject *parent)
    : QObject(parent)
    , archivePath(path)
{
}

ArchiveEditor::~ArchiveEditor()
{
    close();
}

bool ArchiveEditor::open()
{
    return openFile(true);
}

bool ArchiveEditor::openReadOnly()
{
    return openFile(false);
}

bool ArchiveEditor::openFile(bool writable)
{
    if (file.isOpen())
        close();
    entries.clear();
    readOnly = !writable;
    file.setFileName(archivePath);
    // Unbuffered: every write reaches the file at once or fails at once. A
    // buffered write that fails stays in the buffer and would land later,
    // at whatever place the next write goes to, over another member's data.
    // An archive opened for writing must be the file at its name, not one
    // that a symbolic link there points to.
    const bool opened = writable ? Platform::openExisting(file, QIODevice::ReadWrite | QIODevice::Unbuffered)
                                 : file.open(QIODevice::ReadOnly);
    if (!opened) {
        qCWarning(lcImgArchive) << "[img open] cannot open" << archivePath << file.errorString();
        return false;
    }
    // The magic is the callers' concern (isV2StaticHeader). A file too short
    // for a count holds no records.
    QByteArray magic;
    qint32 count = 0;
    if (!readHeader(file, &magic, &count) || count < 1)
        return true;

    QVector<RawRecord> records;
    if (!readRecords(file, magic, count, &records)) {
        file.close();
        return false;
    }
    const quint64 fileSize = quint64(file.size());
    for (const RawRecord &raw : records) {
        if (raw.staticHeader)
            continue;
        // A record whose data runs past the end of the file holds nothing
        // valid; keeping it would push every later append that far out.
        if ((quint64(raw.startSector) + raw.sectors()) * quint64(SectorSize) > fileSize) {
            qCWarning(lcImgArchive) << "[img open] record beyond the end of the file left out:" << raw.name
                                    << raw.startSector << raw.sectors() << archivePath;
            continue;
        }
        ImgDirEntry entry;
        entry.startSector = raw.startSector;
        entry.firstSize = raw.firstSize;
        entry.secondSize = raw.secondSize;
        entry.name = QString::fromUtf8(raw.name);
        entries.append(entry);
    }
    if (writable && liveCount() > MaxRecords - 1) {
        // Written back, this directory would run into the data area.
        qCWarning(lcImgArchive) << "[img open] too many records without a static header:" << archivePath;
        entries.clear();
        file.close();
        return false;
    }
    return true;
}

bool ArchiveEditor::close()
{
    if (!file.isOpen())
        return false;
    bool ok = true;
    if (!readOnly) {
        ok = writeDirectory();
        ok = file.flush() && ok;
    }
    file.close();
    entries.clear();
    return ok;
}

bool ArchiveEditor::isOpen() const
{
    return file.isOpen();
}

bool ArchiveEditor::isReadOnly() const
{
    return file.isOpen() && readOnly;
}

bool ArchiveEditor::writeDirectory()
{
    if (!isWritable("directory"))
        return false;
    std::stable_sort(entries.begin(), entries.end(),
                     [](const ImgDirEntry &a, const ImgDirEntry &b) { return a.name < b.name; });
    const int live = liveCount();
    if (live > MaxRecords - 1) {
        qCWarning(lcImgArchive) << "[img directory] too many records to write:" << live << archivePath;
        return false;
    }
    QByteArray block(int(HeaderSize + RecordSize * (live + 1)), '\0');
    encodeHeader(block.data(), qint32(live + 1));
    char *record = block.data() + HeaderSize + RecordSize;
    for (const ImgDirEntry &entry : qAsConst(entries)) {
        if (entry.name.isEmpty())
            continue;
        encodeRecord(record, entry.startSector, entry.firstSize, entry.secondSize, entry.name.toUtf8());
        record += RecordSize;
    }
    if (!file.seek(0) || file.write(block) != block.size()) {
        qCWarning(lcImgArchive) << "[img directory] write failed:" << archivePath << file.errorString();
        return false;
    }
    return file.resize(qint64(nextFreeSector()) * SectorSize) && file.flush();
}

int ArchiveEditor::find(const QString &name) const
{
    if (!file.isOpen() || name.isEmpty())
        return -1;
    int caseTwin = -1;
    for (int i = 0; i < entries.size(); ++i) {
        const QString &candidate = entries.at(i).name;
        if (candidate == name)
            return i;
        if (caseTwin < 0 && !candidate.isEmpty() && candidate.compare(name, Qt::CaseInsensitive) == 0)
            caseTwin = i;
    }
    return caseTwin;
}

QByteArray ArchiveEditor::read(int index)
{
    if (!isLive(index))
        return QByteArray();
    const ImgDirEntry &entry = entries.at(index);
    const qint64 offset = qint64(entry.startSector) * SectorSize;
    const qint64 length = qint64(entry.sectors()) * SectorSize;
    if (length == 0)
        return QByteArray();
    if (offset + length > file.size()) {
        qCWarning(lcImgArchive) << "[img read] record beyond the end of the file:" << entry.name << archivePath;
        return QByteArray();
    }
    if (!file.seek(offset))
        return QByteArray();
    QByteArray bytes = file.read(length);
    if (bytes.size() != length)
        return QByteArray();
    return bytes;
}

bool ArchiveEditor::append(const QString &name, const QByteArray &data)
{
    if (!isWritable("append"))
        return false;
    if (name.isEmpty() || name.toUtf8().size() > MaxNameBytes) {
        qCWarning(lcImgArchive) << "[img append] name does not fit a record:" << name << archivePath;
        return false;
    }
    const quint64 sectors = sectorsFor(data.size());
    if (sectors > MaxEntrySectors) {
        qCWarning(lcImgArchive) << "[img append] file too large for a record:" << name << data.size();
        return false;
    }
    if (liveCount() >= MaxRecords - 1) {
        qCWarning(lcImgArchive) << "[img append] directory full:" << name << archivePath;
        return false;
    }
    const quint32 sector = nextFreeSector();
    if (!writeSectors(sector, data, quint32(sectors)))
        return false;
    ImgDirEntry entry;
    entry.startSector = sector;
    entry.firstSize = quint16(sectors);
    entry.name = name;
    entries.append(entry);
    return true;
}

bool ArchiveEditor::replace(int index, const QByteArray &data)
{
    if (!isLive(index) || !isWritable("replace"))
        return false;
    const quint64 sectors = sectorsFor(data.size());
    if (sectors > MaxEntrySectors) {
        qCWarning(lcImgArchive) << "[img replace] file too large for a record:" << entries.at(index).name
                                << data.size();
        return false;
    }
    ImgDirEntry &entry = entries[index];
    quint32 start = entry.startSector;
    // A file that grows moves behind the last one; its old sectors stay
    // unused. A record inside the directory area is never written in place.
    if (entry.sectors() < sectors || start < DataStartSector)
        start = nextFreeSector();
    if (!writeSectors(start, data, quint32(sectors)))
        return false;
    entry.startSector = start;
    entry.firstSize = quint16(sectors);
    entry.secondSize = 0;
    return true;
}

void ArchiveEditor::remove(int index)
{
    if (isLive(index) && isWritable("remove"))
        entries[index].name.clear();
}

quint32 ArchiveEditor::entrySectors(int index) const
{
    return isLive(index) ? entries.at(index).sectors() : 0;
}

quint32 ArchiveEditor::nextFreeSector() const
{
    if (!file.isOpen())
        return 0;
    // The greatest end rather than the end of the greatest start: records
    // sharing a start or overlapping must not make a later append land on
    // another file's data.
    quint64 end = DataStartSector;
    for (const ImgDirEntry &entry : entries) {
        if (!entry.name.isEmpty())
            end = qMax(end, quint64(entry.startSector) + entry.sectors());
    }
    return quint32(end);
}

const QVector<ImgDirEntry> &ArchiveEditor::directory() const
{
    return entries;
}

qint64 ArchiveEditor::maxRecordCount(const QByteArray &magic, qint64 fileSize)
{
    if (magic == QByteArray(Magic, MagicSize))
        return MaxRecords;
    // The game's own form keeps its directory in front of the data and has
    // no fixed limit; every member but an empty one takes a sector of its
    // own, so a file cannot describe many more members than it has sectors.
    // The directory itself must fit the file too.
    const qint64 bySectors = qMax<qint64>(MaxRecords, fileSize / SectorSize);
    const qint64 byDirectory = qMax<qint64>(0, (fileSize - HeaderSize) / RecordSize);
    return qMin(bySectors, byDirectory);
}

bool ArchiveEditor::isV2StaticHeader(const QString &path)
{
    QFile candidate(path);
    if (!candidate.open(QIODevice::ReadOnly))
        return false;
    const int needed = HeaderSize + NameFieldOffset + StaticHeaderNameSize;
    const QByteArray head = candidate.read(needed);
    if (head.size() < needed)
        return false;
    return std::memcmp(head.constData(), Magic, MagicSize) == 0
        && qFromLittleEndian<qint32>(head.constData() + MagicSize) >= 1
        && std::memcmp(head.constData() + HeaderSize + NameFieldOffset, StaticHeaderName, StaticHeaderNameSize) == 0;
}

bool ArchiveEditor::isCompactV2StaticHeader(const QString &path)
{
    QFile candidate(path);
    if (!candidate.open(QIODevice::ReadOnly) || candidate.size() < DataStartOffset)
        return false;
    const QByteArray area = candidate.read(DataStartOffset);
    if (area.size() != DataStartOffset || std::memcmp(area.constData(), Magic, MagicSize) != 0)
        return false;
    const qint32 count = qFromLittleEndian<qint32>(area.constData() + MagicSize);
    const qint64 recordsEnd = HeaderSize + qint64(RecordSize) * count;
    if (count < 1 || count > MaxRecords || recordsEnd > DataStartOffset)
        return false;
    if (!decodeRecord(area.constData() + HeaderSize).staticHeader)
        return false;
    if (std::any_of(area.constData() + recordsEnd, area.constData() + area.size(), [](char c) { return c != 0; }))
        return false;
    quint64 nextSector = DataStartSector;
    QString previous;
    for (qint32 i = 1; i < count; ++i) {
        const RawRecord raw = decodeRecord(area.constData() + HeaderSize + qint64(i) * RecordSize);
        const QString name = QString::fromUtf8(raw.name);
        if (raw.staticHeader || raw.startSector != nextSector || (i > 1 && name < previous))
            return false;
        nextSector += raw.sectors();
        previous = name;
    }
    return quint64(candidate.size()) == nextSector * quint64(SectorSize);
}

bool ArchiveEditor::createEmpty(const QString &path)
{
    // Whatever stands at the name goes first (a symbolic link as a link);
    // the new file is then created exclusively, never through a link.
    QFile target(path);
    QFile::remove(path);
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qCWarning(lcImgArchive) << "[img create] cannot open" << path << target.errorString();
        return false;
    }
    QByteArray area(int(DataStartOffset), '\0');
    encodeHeader(area.data(), 1);
    return target.write(area) == area.size() && target.flush();
}

bool ArchiveEditor::convertToV2StaticHeader(const QString &path, ProgressReceiver *receiver)
{
    const QFileInfo info(path);
    if (receiver) {
        receiver->updateCurrentFile(info.fileName(), QString());
        receiver->updateProgressBar(0, 0);
    }

    QFile source(path);
    // Unbuffered: members are read whole into the copy buffer, and QFile's
    // read-ahead would only add a copy of its own.
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        qCWarning(lcImgArchive) << "[img convert] cannot open" << path << source.errorString();
        return false;
    }
    QByteArray magic;
    qint32 count = 0;
    QVector<RawRecord> records;
    if (!readHeader(source, &magic, &count) || count < 0 || !readRecords(source, magic, count, &records)) {
        qCWarning(lcImgArchive) << "[img convert] not a readable archive:" << path;
        return false;
    }

    // Names of the fixed-directory form are UTF-8 (a rebuild converts those
    // again); the game's own archives use the system's 8-bit code page.
    const bool utf8Names = magic == QByteArray(Magic, MagicSize);
    // The last sector of a source may be stored in part only.
    const quint64 sourceSectors = sectorsFor(source.size());
    QVector<ConvertedMember> members;
    for (const RawRecord &raw : qAsConst(records)) {
        if (raw.staticHeader)
            continue;
        const QString name = utf8Names ? QString::fromUtf8(raw.name) : QString::fromLocal8Bit(raw.name);
        if (name.contains(QLatin1Char(' '))) {
            qCDebug(lcImgArchive) << "[img convert] name with a space left out:" << name;
            continue;
        }
        ConvertedMember member;
        member.utf8Name = name.toUtf8();
        if (member.utf8Name.size() > MaxNameBytes) {
            qCWarning(lcImgArchive) << "[img convert] name too long for a record left out:" << name;
            continue;
        }
        if (quint64(raw.startSector) + raw.sectors() > sourceSectors) {
            qCWarning(lcImgArchive) << "[img convert] data outside the archive left out:" << name << raw.startSector
                                    << raw.sectors();
            continue;
        }
        member.oldStart = raw.startSector;
        member.firstSize = raw.firstSize;
        member.secondSize = raw.secondSize;
        members.append(member);
    }
    if (members.size() > MaxRecords - 1) {
        qCWarning(lcImgArchive) << "[img convert] too many files for the directory area:" << members.size() << path;
        return false;
    }

    const QString tempPath = info.path() + QLatin1Char('/') + info.baseName() + QStringLiteral(".img.tmp");
    if (QFileInfo(tempPath).absoluteFilePath().compare(info.absoluteFilePath(), Qt::CaseInsensitive) == 0) {
        qCWarning(lcImgArchive) << "[img convert] the archive has the temporary name:" << path;
        return false;
    }
    // Created afresh: a leftover or a link at the temporary name is removed
    // first, and the exclusive creation never follows a link.
    QFile temp(tempPath);
    QFile::remove(tempPath);
    if (!temp.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qCWarning(lcImgArchive) << "[img convert] cannot create" << tempPath << temp.errorString();
        return false;
    }
    bool ok = writeConverted(source, temp, members, receiver);
    ok = ok && temp.flush();
    temp.close();
    source.close();
    // The source is replaced only by a complete copy, in one step.
    if (!ok || !Platform::replaceFile(tempPath, path)) {
        qCWarning(lcImgArchive) << "[img convert] failed, archive left as it was:" << path;
        QFile::remove(tempPath);
        return false;
    }
    qCDebug(lcImgArchive) << "[img convert]" << path << members.size();
    return true;
}

bool ArchiveEditor::readDirectory(const QString &path, QVector<ImgDirEntry> *records, qint32 *recordCount)
{
    records->clear();
    if (recordCount)
        *recordCount = 0;
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    QByteArray magic;
    qint32 count = 0;
    if (!readHeader(source, &magic, &count))
        return false;
    if (recordCount)
        *recordCount = count;
    QVector<RawRecord> raws;
    if (!readRecords(source, magic, count, &raws))
        return false;
    const bool utf8Names = magic == QByteArray(Magic, MagicSize);
    for (const RawRecord &raw : qAsConst(raws)) {
        if (raw.staticHeader)
            continue;
        ImgDirEntry entry;
        entry.startSector = raw.startSector;
        entry.firstSize = raw.firstSize;
        entry.secondSize = raw.secondSize;
        entry.name = utf8Names ? QString::fromUtf8(raw.name) : QString::fromLocal8Bit(raw.name);
        records->append(entry);
    }
    return true;
}

bool ArchiveEditor::isLive(int index) const
{
    return file.isOpen() && index >= 0 && index < entries.size() && !entries.at(index).name.isEmpty();
}

bool ArchiveEditor::isWritable(const char *operation) const
{
    if (!file.isOpen())
        return false;
    if (readOnly) {
        qCWarning(lcImgArchive).noquote()
            << QStringLiteral("[img %1] refused, opened read-only:").arg(QLatin1String(operation)) << archivePath;
        return false;
    }
    return true;
}

int ArchiveEditor::liveCount() const
{
    return int(std::count_if(entries.cbegin(), entries.cend(), [](const ImgDirEntry &e) { return !e.name.isEmpty(); }));
}

bool ArchiveEditor::writeSectors(quint32 startSector, const QByteArray &data, quint32 sectors)
{
    // Data and padding in one write: a file replaced in place is never left
    // with its new bytes followed by the old one's tail.
    const qint64 length = qint64(sectors) * SectorSize;
    QByteArray block = data;
    if (length > block.size())
        block.append(QByteArray(int(length - block.size()), '\0'));
    if (!file.seek(qint64(startSector) * SectorSize) || file.write(block) != block.size() || !file.flush()) {
        qCWarning(lcImgArchive) << "[img write] failed at sector" << startSector << archivePath << file.errorString();
        return false;
    }
    return true;
}

} // namespace ImgArchive
