#pragma once

#include "files/Listing.h"

#include <QObject>
#include <QString>

// Holder of one listing (the sync list, the remembered state or a fresh scan)
// and the scanner that builds a listing of the game folder: it walks the
// tree, classifies every file as a plain file, an IMG archive or an audio
// file, reads the directory of every archive, fills modification times and
// computes MD5 sums, reporting progress while it hashes. Everything runs on
// the calling thread and blocks until done.
class FileSystem final : public QObject, public Listing
{
    Q_OBJECT

public:
    explicit FileSystem(QObject *parent = nullptr);

    // Audio files up to this size travel in one part; larger ones in parts of
    // AudioPartSize bytes.
    static constexpr quint32 AudioSinglePartLimit = 62914560; // 60 MiB
    static constexpr quint32 AudioPartSize = 41943040;        // 40 MiB
    // Size of the 200 reserved directory sectors of an archive, and of one
    // transfer block of a whole archive.
    static constexpr quint32 ImgDirectoryAreaSize = 409600;
    static constexpr quint32 ImgBlockSize = 16777216; // 16 MiB
    // An archive fetched whole travels in at most this many blocks: every
    // size the listings can hold (32 bits) fits.
    static constexpr quint32 MaxImgBlocks = 256;
    // No audio part but the last is smaller than this; the number of parts
    // of any file is then bounded by its size.
    static constexpr quint32 MinAudioPartSize = 1 << 20;
    // So no file of a 32-bit size has more parts than this.
    static constexpr quint32 MaxAudioParts = quint32((quint64(1) << 32) / MinAudioPartSize) + 1;
    static constexpr qint32 ImgMaxRecords = 12799;
    static constexpr quint32 SectorSize = 2048;

    void setRoot(const QString &path);
    QString root() const { return rootPath; }

    // Appends every directory under the root (relative, lower case), without
    // symbolic links and hidden or system entries.
    void scanDirectories();
    // Appends a record for every file under the root, classified by kind.
    void scanFiles();
    // Whether a ".img" file is handled as an IMG archive: every one but the
    // game's eight special files, compared by file name.
    static bool isImgArchiveName(const QString &relativePath);
    // Reads the directory of every archive entry into an IMG group; an
    // archive that cannot be read (or holds no file) becomes a plain file.
    void readImgDirectories();
    // 409,600 plus the sizes of the files in the entry's IMG group.
    quint32 imgArchiveSizeEstimate(const ListingEntry &entry);
    // Fills mtime of every entry; stops at the first file that is missing.
    void readModificationTimes();
    // MD5 of every File and AudioFile entry; stops at the first file that
    // cannot be opened.
    void hashFiles();
    // MD5 of every file inside the archives; stops at an archive that is
    // missing or cannot be opened.
    void hashImgItems();

    // Audio part layout of a file of the given size.
    static void audioParts(quint32 size, quint32 *blockCount, quint32 *partSize);
    // Whether partCount parts of partSize bytes, the last one shorter, make
    // up size bytes.
    static bool partsAddUp(quint64 size, quint32 partCount, quint64 partSize);

signals:
    void updateProgressBar(quint64 maxValue, quint64 currentValue);
    void updateCurrentFile(const QString &currentFile);

private:
    QString absolutePath(const QString &relativePath) const;

    QString rootPath;
};
