#pragma once

#include <QtGlobal>

class QCryptographicHash;
class QIODevice;

// Unpacks one block in the form of qCompress (a 4-byte big-endian length and
// a zlib stream) from a device into another in bounded chunks, so that a
// file of any size passes through a fixed amount of memory. The block must
// announce and produce exactly the expected length.
namespace BlockInflater {

enum class Result {
    Ok,
    Corrupt,     // wrong length, broken or short stream, unreadable source
    WriteFailed, // the sink refused the data
};

// Reads the block from the source's current position. sink may be null (the
// block is only checked); every unpacked byte is added to hash when given.
Result unpack(QIODevice &source, QIODevice *sink, qint64 expectedSize, QCryptographicHash *hash = nullptr);

} // namespace BlockInflater
