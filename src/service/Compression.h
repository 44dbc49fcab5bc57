#pragma once

#include <QByteArray>
#include <QtGlobal>

// Blocks in the form of qCompress: a 4-byte big-endian length of the
// uncompressed data followed by a zlib stream. Used for enciphered payloads
// and for every file on the mirror.
namespace Compression {

// qCompress at the given level (9 unless told otherwise). Empty input gives
// the four zero bytes alone.
QByteArray compress(const QByteArray &data, int level = 9);

// Unpacks a block. The announced length is checked before anything is
// allocated: it must equal expectedSize when that is not negative, it must
// not exceed maxSize when that is not negative, and it can never exceed what
// zlib can produce from a stream of this length (deflate expands at most
// about 1032:1). Returns false, leaving out empty, for a short, corrupt or
// implausible block, or when the unpacked length differs from the announced
// one.
bool uncompress(const QByteArray &block, QByteArray *out, qint64 expectedSize = -1, qint64 maxSize = -1);

// The length a block announces in its header, or -1 when it is shorter than
// the header.
qint64 announcedSize(const QByteArray &block);

} // namespace Compression
