#pragma once

// The bytes of the launcher's archive form (magic "V2SH", a fixed directory
// area, data from DataStartSector on) and of the game's own form ("VER2"),
// shared by the archive editor and the conversion. Internal to the archive
// library.

#include "files/imgarchive/ArchiveEditor.h"

#include <QByteArray>
#include <QFile>
#include <QLoggingCategory>
#include <QVector>

Q_DECLARE_LOGGING_CATEGORY(lcImgArchive)

namespace ImgArchive {
namespace Format {

constexpr int HeaderSize = 8;
constexpr int RecordSize = 32;
constexpr int NameFieldSize = 24;
constexpr int NameFieldOffset = 8;
constexpr char Magic[] = "V2SH";
constexpr int MagicSize = 4;
constexpr char StaticHeaderName[] = "v2staticHeader.v2sh";
constexpr int StaticHeaderNameSize = 19;
constexpr qint64 SectorSize = ArchiveEditor::SectorSize;
constexpr qint64 DataStartOffset = qint64(ArchiveEditor::DataStartSector) * SectorSize;
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

quint64 sectorsFor(qint64 bytes);
void encodeRecord(char *record, quint32 startSector, quint16 firstSize, quint16 secondSize, const QByteArray &name);
// The first 40 bytes of an archive: magic, count 1 and the static header
// record, written into the zero-filled block.
void encodeHeader(char *block, qint32 count);
RawRecord decodeRecord(const char *record);
// Reads the magic and the record count. False when the file is too short to
// hold them.
bool readHeader(QFile &file, QByteArray *magic, qint32 *count);
// Reads count records from offset 8. The count comes from the file and is
// checked before anything is allocated (see maxRecordCount), and the
// directory must lie inside the file.
bool readRecords(QFile &file, const QByteArray &magic, qint32 count, QVector<RawRecord> *records);

} // namespace Format
} // namespace ImgArchive
