#include "service/Compression.h"

#include <climits>

#include <zlib.h>

namespace {

// Deflate cannot expand data beyond about 1032 bytes per input byte; allow a
// little slack for the zlib header and trailer of tiny streams.
constexpr qint64 MaxDeflateRatio = 1032;
constexpr qint64 StreamSlack = 64;

// Inflates exactly `size` bytes from a zlib stream. qUncompress is not used
// for this: it trusts the header only as a first guess and keeps growing its
// buffer (up to about 2 GiB) while a hostile stream keeps producing output.
// Here the output buffer is the announced size and a stream that wants more,
// or ends early, is rejected.
bool inflateExactly(const uchar *stream, qint64 streamLength, qint64 size, QByteArray *out)
{
    QByteArray result(int(size), Qt::Uninitialized);
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        return false;
    zs.next_in = const_cast<Bytef *>(stream);
    zs.avail_in = uInt(streamLength);
    zs.next_out = reinterpret_cast<Bytef *>(result.data());
    zs.avail_out = uInt(size);
    const int status = inflate(&zs, Z_FINISH);
    const bool complete = status == Z_STREAM_END && zs.avail_out == 0;
    inflateEnd(&zs);
    if (!complete)
        return false;
    *out = std::move(result);
    return true;
}

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

bool uncompress(const QByteArray &block, QByteArray *out, qint64 expectedSize, qint64 maxSize)
{
    out->clear();
    const qint64 announced = announcedSize(block);
    if (announced < 0)
        return false;
    if ((expectedSize >= 0 && announced != expectedSize) || (maxSize >= 0 && announced > maxSize))
        return false;
    const qint64 streamLength = block.size() - 4;
    if (announced == 0) {
        // qCompress writes empty data as the bare header; accept a proper
        // empty zlib stream after it as well.
        if (streamLength == 0)
            return true;
        QByteArray one(1, '\0');
        z_stream zs{};
        if (inflateInit(&zs) != Z_OK)
            return false;
        zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(block.constData() + 4));
        zs.avail_in = uInt(streamLength);
        zs.next_out = reinterpret_cast<Bytef *>(one.data());
        zs.avail_out = 1;
        const int status = inflate(&zs, Z_FINISH);
        const bool empty = status == Z_STREAM_END && zs.avail_out == 1;
        inflateEnd(&zs);
        return empty;
    }
    if (announced > streamLength * MaxDeflateRatio + StreamSlack || announced > INT_MAX - 64)
        return false;
    return inflateExactly(reinterpret_cast<const uchar *>(block.constData()) + 4, streamLength, announced, out);
}

} // namespace Compression
