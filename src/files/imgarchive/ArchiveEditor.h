#pragma once

#include "files/imgarchive/ImgDirEntry.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QVector>

class ProgressReceiver;

namespace ImgArchive {

// Edits one IMG archive in the launcher's fixed-directory form ("V2SH"): the
// directory lives in a reserved area of 200 sectors, so single files can be
// added, replaced or removed without moving the others. The directory is
// kept in memory while the editor is open and written back by
// writeDirectory() and close().
//
// Every member operation does nothing, or returns -1, 0, false or an empty
// result, when the editor is not open or the index does not name a live
// record.
class ArchiveEditor final : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 SectorSize = 2048;
    // First sector of the data area; the directory area lies before it.
    static constexpr quint32 DataStartSector = 200;
    // Records that fit the directory area, the static header record included.
    static constexpr int MaxRecords = 12799;
    // Longest name in bytes (UTF-8) that fits a record with its terminator.
    static constexpr int MaxNameBytes = 23;
    // Longest file in sectors that the 16-bit size can describe.
    static constexpr quint32 MaxEntrySectors = 65535;

    explicit ArchiveEditor(const QString &path, QObject *parent = nullptr);
    // Closes the archive if it is still open, which writes the directory.
    ~ArchiveEditor() override;

    // Closes first if open, then opens the archive read-write and reads its
    // directory. False when the file cannot be opened or its directory is
    // implausible (the file is then left as it was).
    bool open();
    // The same for reading members only: the file is opened read-only, every
    // operation that would change it is refused, and close() writes nothing.
    // Safe on archives that are not in the fixed-directory form.
    bool openReadOnly();
    // Writes the directory, flushes and closes (read-only: only closes).
    // False if a write failed.
    bool close();
    bool isOpen() const;

    // Writes magic, count and directory (sorted by name) and cuts the file
    // after the last stored file.
    bool writeDirectory();

    // Index of the first record with exactly this name, else of the first
    // whose name differs in case only (the game looks names up ignoring
    // case); -1 if none.
    int find(const QString &name) const;
    // The stored sectors of a file, padding included.
    QByteArray read(int index);
    // Stores a new file behind the last one. Refuses a name that does not
    // fit a record, data beyond the 16-bit size and a full directory.
    bool append(const QString &name, const QByteArray &data);
    // Stores new content for a file, in place when it fits.
    bool replace(int index, const QByteArray &data);
    // Marks the record removed; its sectors stay unused until a rebuild.
    void remove(int index);
    quint32 entrySectors(int index) const;
    // First sector after the last stored file, never below the data area.
    quint32 nextFreeSector() const;

    // The records without the static header record, in their present order.
    const QVector<ImgDirEntry> &directory() const;

    // The most directory records an archive with this magic and file size
    // may claim: MaxRecords in the launcher's form, whose directory area has
    // a fixed size; in the game's own form as many as the file has sectors
    // (at least MaxRecords), and never more than fit the file.
    static qint64 maxRecordCount(const QByteArray &magic, qint64 fileSize);

    // Whether the file at path is a V2SH archive.
    static bool isV2StaticHeader(const QString &path);
    // Whether the file at path is a V2SH archive in the compact form that
    // convertToV2StaticHeader gives a sorted archive: records sorted by name,
    // files packed one after the other from the data area on, nothing behind
    // the last one, and nothing but zero bytes in the directory area behind
    // the records. Member edits leave an archive in another form until it is
    // rebuilt.
    static bool isCompactV2StaticHeader(const QString &path);
    // Creates (or truncates) an empty V2SH archive of exactly 200 sectors.
    static bool createEmpty(const QString &path);
    // Rewrites a VER2 (or V2SH) archive as a compact V2SH archive through a
    // temporary file that replaces the source only when it is complete.
    // Members whose name has a space or does not fit a record, and members
    // whose data lies outside the source, are left out. False leaves the
    // source untouched.
    static bool convertToV2StaticHeader(const QString &path, ProgressReceiver *receiver = nullptr);
    // Reads the directory of a VER2 or V2SH archive without changing the
    // file: every record but the static header record, in stored order,
    // names decoded as convertToV2StaticHeader decodes them. recordCount
    // receives the count of the header whenever the file has one, also when
    // the directory is refused (more records than the directory area holds,
    // or a directory past the end of the file); a count below 1 gives an
    // empty directory.
    static bool readDirectory(const QString &path, QVector<ImgDirEntry> *records, qint32 *recordCount = nullptr);

private:
    bool openFile(bool writable);
    bool isLive(int index) const;
    // Open for writing; logs the refused operation otherwise.
    bool isWritable(const char *operation) const;
    int liveCount() const;
    // Writes data at a sector, padded with zero bytes to whole sectors.
    bool writeSectors(quint32 startSector, const QByteArray &data, quint32 sectors);

    QString archivePath;
    QFile file;
    bool readOnly = false;
    QVector<ImgDirEntry> entries;
};

} // namespace ImgArchive
