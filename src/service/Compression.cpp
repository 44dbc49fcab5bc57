#include "service/Compression.h"

namespace {

// Deflate cannot expand data beyond about 1032 bytes per input byte; allow a
// little slack for the zlib header and trailer of tiny streams.
constexpr qint64 MaxDeflateRatio = 1032;
constexpr qint64 StreamSlack = 64;

} // namespace

namespace Compression {

QByteArray compress(const QByteArray &data, int level)
{
    return qCompress(data, level);
}

qint64 announcedSize(const QByteArray &block)
{
    if (block.size() < 4)
        return -1;
    const auto *bytes = reinterpret_cast<const uchar *>(block.constData());
    return (qint64(bytes[0]) << 24) | (qint64(bytes[1]) << 16) | (qint64(bytes[2]) << 8) | qint64(bytes[3]);
}

bool uncompress(const QByteArray &block, QByteArray *out, qint64 expectedSize)
{
    out->clear();
    const qint64 announced = announcedSize(block);
    if (announced < 0)
        return false;
    if (expectedSize >= 0 && announced != expectedSize)
        return false;
    if (announced == 0)
        return block.size() == 4 || qUncompress(block).isEmpty();
    const qint64 streamLength = block.size() - 4;
    if (announced > streamLength * MaxDeflateRatio + StreamSlack)
        return false;
    QByteArray result = qUncompress(block);
    if (result.size() != announced)
        return false;
    *out = std::move(result);
    return true;
}

} // namespace Compression
