#include "files/BlockSink.h"

#include "service/Compression.h"

namespace {

constexpr int HeaderSize = 4;

// What a compressed block of this many unpacked bytes may plausibly take on
// the wire: deflate barely expands data it cannot compress.
qint64 plausibleBlockSize(qint64 unpacked)
{
    return unpacked + unpacked / 64 + 1024;
}

} // namespace

BlockSink::BlockSink(std::unique_ptr<TransferSink> into, qint64 expectedSize, qint64 maxSize)
    : inner(std::move(into))
    , expected(expectedSize)
    , maxUnpacked(maxSize)
{
}

qint64 BlockSink::wireLimit() const
{
    return plausibleBlockSize(expected >= 0 ? expected : maxUnpacked);
}

bool BlockSink::begin()
{
    head.clear();
    announced = -1;
    taken = 0;
    return inner->begin();
}

TransferSink::Take BlockSink::take(const QByteArray &bytes)
{
    if (head.size() < HeaderSize) {
        head += bytes.left(HeaderSize - head.size());
        if (head.size() == HeaderSize) {
            announced = Compression::announcedSize(head);
            if (expected >= 0 ? announced != expected : announced > maxUnpacked)
                return Take::Refuse;
        }
    }
    const qint64 limit = announced >= 0 ? plausibleBlockSize(announced) : wireLimit();
    if (taken + bytes.size() > limit)
        return Take::Refuse;
    taken += bytes.size();
    return inner->take(bytes);
}

bool BlockSink::end()
{
    return inner->end();
}
