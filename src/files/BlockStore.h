#pragma once

#include "platform/Platform.h"

#include <QByteArray>
#include <QString>

class QIODevice;

namespace ImgArchive {
class ArchiveEditor;
}

// The steps that turn a received block into a stored file: unpacking,
// checking the length and the MD5 the list gives, and putting the result in
// place (a plain file replaces its old copy in one step; an archive member
// goes into its archive; a part joins the file assembled beside its
// destination). Nothing is stored that failed its check.
namespace BlockStore {

struct Outcome
{
    enum Kind {
        Stored,
        BadContent,  // not the file the list describes: fetch it again
        WriteFailed, // the disk did not take it
        StoreFailed, // it could not be put in place
    };
    Kind kind = Stored;
    Platform::FileFault fault = Platform::FileFault::None;
};

// The block in the file `block` unpacked beside destination (as
// TempNames::unpacked), checked against size and expectedMd5 (when not
// empty), then put in place of destination. The block file is removed.
Outcome storeFile(const QString &block, const QString &destination, qint64 size, const QString &expectedMd5);

// The content of a member's block (held in memory, or in the file
// blockFile when that is not empty), checked against size and expectedMd5.
// False when it is not the member the list describes (or the file cannot be
// read).
bool unpackMember(const QByteArray &block, const QString &blockFile, qint64 size, const QString &expectedMd5,
                  QByteArray *content);

// Stores a member's content in the open archive under name: in place of
// the member of that name (one whose name differs in case only makes way
// for it, so that the archive holds the listed name), or behind the last
// one; then the directory is written.
Outcome storeMember(ImgArchive::ArchiveEditor &archive, const QString &name, const QByteArray &content);

// Unpacks the block in the file `block` behind the first `offset` bytes of
// the assembled file (created afresh when offset is 0); the block must
// unpack to `size` bytes. A failed part leaves the assembled file as it was
// before it. The block file is removed when the part was appended.
Outcome appendPart(const QString &block, const QString &assembled, qint64 offset, qint64 size);

// Whether the assembled file is whole: of `size` bytes with the MD5
// expectedMd5 (when not empty).
bool isWholeFile(const QString &assembled, qint64 size, const QString &expectedMd5);

} // namespace BlockStore
