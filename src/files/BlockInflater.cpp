#include "files/BlockInflater.h"

#include "service/Compression.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QIODevice>

#include <zlib.h>

namespace {

constexpr int ChunkSize = 256 * 1024;
constexpr int HeaderSize = 4;

// Owns a zlib inflate stream for the length of one block.
class InflateStream final
{
public:
    InflateStream() { ready = inflateInit(&stream) == Z_OK; }
    ~InflateStream() { inflateEnd(&stream); }
    InflateStream(const InflateStream &) = delete;
    InflateStream &operator=(const InflateStream &) = delete;

    z_stream stream{};
    bool ready = false;
};

} // namespace

namespace BlockInflater {

Result unpack(QIODevice &source, QIODevice *sink, qint64 expectedSize, QCryptographicHash *hash)
{
    if (expectedSize < 0)
        return Result::Corrupt;
    if (Compression::announcedSize(source.read(HeaderSize)) != expectedSize)
        return Result::Corrupt;

    InflateStream zs;
    if (!zs.ready)
        return Result::Corrupt;
    QByteArray input(ChunkSize, Qt::Uninitialized);
    QByteArray output(ChunkSize, Qt::Uninitialized);
    qint64 produced = 0;
    bool sawInput = false;
    bool ended = false;

    while (!ended) {
        const qint64 got = source.read(input.data(), ChunkSize);
        if (got < 0)
            return Result::Corrupt;
        if (got == 0)
            break;
        sawInput = true;
        zs.stream.next_in = reinterpret_cast<Bytef *>(input.data());
        zs.stream.avail_in = uInt(got);
        do {
            zs.stream.next_out = reinterpret_cast<Bytef *>(output.data());
            zs.stream.avail_out = uInt(ChunkSize);
            const int status = inflate(&zs.stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
                return Result::Corrupt;
            const qint64 out = ChunkSize - qint64(zs.stream.avail_out);
            produced += out;
            // A stream that wants to give more than announced is cut off
            // here, before it can fill the disk.
            if (produced > expectedSize)
                return Result::Corrupt;
            if (out > 0) {
                if (hash)
                    hash->addData(output.constData(), int(out));
                if (sink && sink->write(output.constData(), out) != out)
                    return Result::WriteFailed;
            }
            if (status == Z_STREAM_END) {
                ended = true;
                break;
            }
            if (status == Z_BUF_ERROR && out == 0)
                break; // nothing more without further input
        } while (zs.stream.avail_out == 0 || zs.stream.avail_in > 0);
    }

    // qCompress writes empty data as the bare length header.
    if (!ended)
        return expectedSize == 0 && !sawInput ? Result::Ok : Result::Corrupt;
    return produced == expectedSize ? Result::Ok : Result::Corrupt;
}

} // namespace BlockInflater
