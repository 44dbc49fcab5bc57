#include "files/imgarchive/ArchiveFormat.h"

#include <QtEndian>

#include <cstring>

Q_LOGGING_CATEGORY(lcImgArchive, "varo.imgarchive", QtInfoMsg)

namespace ImgArchive {
namespace Format {

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
    if (count > ArchiveEditor::maxRecordCount(magic, file.size())) {
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

} // namespace Format
} // namespace ImgArchive
