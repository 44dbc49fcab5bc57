#include "files/imgarchive/ArchiveEditor.h"

#include "files/imgarchive/ArchiveFormat.h"
#include "files/imgarchive/ProgressReceiver.h"
#include "platform/Platform.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QtEndian>

#include <algorithm>
#include <cstring>

using namespace ImgArchive::Format;

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
