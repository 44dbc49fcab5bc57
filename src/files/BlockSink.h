#pragma once

#include "service/Transfer.h"

#include <memory>

// Receives one block of the mirror (qCompress form: a 4-byte big-endian
// length, then a zlib stream) into a file or into memory, refusing it as soon
// as it cannot be the block asked for: a header that announces another
// length (or, when any length up to a bound will do, one beyond it), or more
// bytes than a stream of that length can plausibly take.
class BlockSink final : public TransferSink
{
public:
    // expectedSize: the unpacked length the block must announce, or -1 for
    // any length up to maxSize.
    BlockSink(std::unique_ptr<TransferSink> into, qint64 expectedSize, qint64 maxSize);

    bool begin() override;
    Take take(const QByteArray &bytes) override;
    bool end() override;

    // The unpacked length the block announced (-1 before its header).
    qint64 announcedSize() const { return announced; }
    // Most bytes a block of the expected length may take on the wire.
    qint64 wireLimit() const;
    TransferSink &target() { return *inner; }

private:
    std::unique_ptr<TransferSink> inner;
    qint64 expected;
    qint64 maxUnpacked;
    QByteArray head;
    qint64 announced = -1;
    qint64 taken = 0;
};
