#include "BlockWriter.h"

#include "files/FolderWalk.h"
#include "platform/Platform.h"
#include "service/Compression.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace {

constexpr qint64 HashChunkSize = 1 << 20;
constexpr int CompressionLevel = 9;

// The largest block that a range of length bytes can give: zlib's bound for
// stored data plus the four-byte length header, with room to spare. A file
// larger than this under the block's name is not a block of this range.
qint64 packedBound(qint64 length)
{
    return length + length / 1000 + 4096;
}

QString hexMd5(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

} // namespace

BlockWriter::BlockWriter(const QString &blockRoot)
    : root(QDir::cleanPath(blockRoot))
{
}

QString BlockWriter::md5OfRange(QFile &file, qint64 offset, qint64 length)
{
    if (!file.seek(offset))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk;
    while (length > 0) {
        chunk = file.read(qMin(length, HashChunkSize));
        if (chunk.isEmpty())
            return QString();
        hash.addData(chunk);
        length -= chunk.size();
    }
    return QString::fromLatin1(hash.result().toHex());
}

bool BlockWriter::holdsSameContent(const QString &blockPath, qint64 length, const QString &md5) const
{
    QFile existing(blockPath);
    if (!existing.open(QIODevice::ReadOnly) || existing.size() > packedBound(length))
        return false;
    QByteArray unpacked;
    {
        const QByteArray block = existing.readAll();
        if (!Compression::uncompress(block, &unpacked, length))
            return false;
    }
    return hexMd5(unpacked) == md5;
}

bool BlockWriter::publish(const QString &remoteName, QFile &source, qint64 offset, qint64 length, const QString &md5)
{
    const QString blockPath = root + QLatin1Char('/') + remoteName;
    const QString sum = md5.isEmpty() ? md5OfRange(source, offset, length) : md5;
    if (sum.isEmpty()) {
        lastFailure = Failure::Read;
        error = QStringLiteral("cannot read %1: %2").arg(source.fileName(), source.errorString());
        return false;
    }
    published.insert(remoteName);
    if (holdsSameContent(blockPath, length, sum)) {
        ++kept;
        return true;
    }

    QByteArray block;
    {
        QByteArray data;
        if (source.seek(offset))
            data = source.read(length);
        if (data.size() != length) {
            lastFailure = Failure::Read;
            error = QStringLiteral("cannot read %1: %2").arg(source.fileName(), source.errorString());
            return false;
        }
        // The range may have changed since it was hashed; the list names the
        // sum that the block must match.
        if (hexMd5(data) != sum) {
            lastFailure = Failure::Read;
            error = QStringLiteral("%1 changed while it was being published").arg(source.fileName());
            return false;
        }
        block = Compression::compress(data, CompressionLevel);
    }
    if (block.isEmpty()) {
        lastFailure = Failure::Write;
        error = QStringLiteral("cannot pack %1 bytes of %2").arg(length).arg(source.fileName());
        return false;
    }

    if (!QDir().mkpath(QFileInfo(blockPath).absolutePath())) {
        lastFailure = Failure::Write;
        error = QStringLiteral("cannot create the folder of %1").arg(blockPath);
        return false;
    }
    QSaveFile out(blockPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(block) != block.size() || !out.commit()) {
        lastFailure = Failure::Write;
        error = QStringLiteral("cannot write %1: %2").arg(blockPath, out.errorString());
        return false;
    }
    ++written;
    return true;
}

int BlockWriter::removeStale(QStringList *failures)
{
    int removed = 0;
    const QDir base(root);
    QStringList folders;
    // Links are removed as links, never walked into (a junction on Windows).
    FolderWalk it(root, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !info.isSymLink() && !Platform::isLink(info.filePath())) {
            folders << info.filePath();
            continue;
        }
        if (published.contains(base.relativeFilePath(info.filePath())))
            continue;
        if (QFile::remove(info.filePath()))
            ++removed;
        else
            failures->append(info.filePath());
    }
    // Deepest first, so that a folder emptied by its subfolders goes too;
    // rmdir leaves every folder that still holds something.
    std::sort(folders.begin(), folders.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &folder : qAsConst(folders))
        QDir().rmdir(folder);
    return removed;
}
