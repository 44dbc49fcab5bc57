#include "files/BlockStore.h"

#include "files/BlockInflater.h"
#include "files/TempNames.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "service/Compression.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcStore, "varo.files", QtInfoMsg)

QString hexMd5(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

BlockStore::Outcome outcome(BlockStore::Outcome::Kind kind, Platform::FileFault fault = Platform::FileFault::None)
{
    BlockStore::Outcome result;
    result.kind = kind;
    result.fault = fault;
    return result;
}

} // namespace

namespace BlockStore {

Outcome storeFile(const QString &block, const QString &destination, qint64 size, const QString &expectedMd5)
{
    const QString unpackedName = TempNames::unpacked(destination);
    QFile unpacked(unpackedName);
    QFile received(block);
    if (!Platform::createFresh(unpacked)) {
        const Platform::FileFault fault = Platform::lastFileFault();
        received.remove();
        return outcome(Outcome::WriteFailed, fault);
    }
    BlockInflater::Result result = BlockInflater::Result::Corrupt;
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (received.open(QIODevice::ReadOnly))
        result = BlockInflater::unpack(received, &unpacked, size, &hash);
    if (!unpacked.flush() && result == BlockInflater::Result::Ok)
        result = BlockInflater::Result::WriteFailed;
    const Platform::FileFault writeFault = Platform::lastFileFault();
    unpacked.close();
    received.close();
    received.remove();

    if (result == BlockInflater::Result::WriteFailed) {
        unpacked.remove();
        return outcome(Outcome::WriteFailed, writeFault);
    }
    if (result != BlockInflater::Result::Ok
        || (!expectedMd5.isEmpty() && expectedMd5 != QString::fromLatin1(hash.result().toHex()))) {
        unpacked.remove();
        return outcome(Outcome::BadContent);
    }
    Platform::FileFault fault = Platform::FileFault::None;
    if (!Platform::replaceFile(unpackedName, destination, &fault)) {
        qCWarning(lcStore) << "[download not stored] cannot replace" << destination;
        unpacked.remove();
        return outcome(Outcome::StoreFailed, fault);
    }
    return outcome(Outcome::Stored);
}

bool unpackMember(const QByteArray &block, const QString &blockFile, qint64 size, const QString &expectedMd5,
                  QByteArray *content)
{
    content->clear();
    bool unpacked = false;
    if (blockFile.isEmpty()) {
        unpacked = Compression::uncompress(block, content, size);
    } else {
        // A large member: unpacked from its file in bounded chunks.
        QFile received(blockFile);
        QBuffer sink(content);
        if (received.open(QIODevice::ReadOnly) && sink.open(QIODevice::WriteOnly))
            unpacked = BlockInflater::unpack(received, &sink, size) == BlockInflater::Result::Ok;
        received.close();
        received.remove();
    }
    if (!unpacked || (!expectedMd5.isEmpty() && expectedMd5 != hexMd5(*content))) {
        content->clear();
        return false;
    }
    return true;
}

Outcome storeMember(ImgArchive::ArchiveEditor &archive, const QString &name, const QByteArray &content)
{
    int index = archive.find(name);
    if (index >= 0 && archive.directory().at(index).name != name) {
        // A member whose name differs in case only: the listed name is what
        // the next scan must find, so it takes the old one's place.
        archive.remove(index);
        index = -1;
    }
    const bool stored = (index < 0 ? archive.append(name, content) : archive.replace(index, content))
        && archive.writeDirectory();
    if (stored)
        return outcome(Outcome::Stored);
    return outcome(Outcome::WriteFailed, Platform::lastFileFault());
}

Outcome appendPart(const QString &block, const QString &assembledName, qint64 offset, qint64 size)
{
    // The first part starts the assembled file afresh; later parts are
    // appended to that very file, never to one a link at its name points to.
    QFile assembled(assembledName);
    const bool opened = offset == 0 ? Platform::createFresh(assembled)
                                    : Platform::openExisting(assembled, QIODevice::WriteOnly | QIODevice::Append);
    if (!opened)
        return outcome(Outcome::WriteFailed, Platform::lastFileFault());
    if (assembled.size() != offset) {
        // The parts before this one are not all there.
        assembled.close();
        assembled.remove();
        return outcome(Outcome::BadContent);
    }
    QFile received(block);
    BlockInflater::Result result = BlockInflater::Result::Corrupt;
    if (received.open(QIODevice::ReadOnly))
        result = BlockInflater::unpack(received, &assembled, size);
    received.close();
    if (!assembled.flush() && result == BlockInflater::Result::Ok)
        result = BlockInflater::Result::WriteFailed;
    const Platform::FileFault writeFault = Platform::lastFileFault();
    if (result != BlockInflater::Result::Ok)
        assembled.resize(offset);
    assembled.close();
    if (result == BlockInflater::Result::WriteFailed)
        return outcome(Outcome::WriteFailed, writeFault);
    if (result != BlockInflater::Result::Ok)
        return outcome(Outcome::BadContent);
    // The part lives on in the assembled file.
    received.remove();
    return outcome(Outcome::Stored);
}

bool isWholeFile(const QString &assembledName, qint64 size, const QString &expectedMd5)
{
    QFile assembled(assembledName);
    if (assembled.size() != size)
        return false;
    if (expectedMd5.isEmpty())
        return true;
    QCryptographicHash hash(QCryptographicHash::Md5);
    return assembled.open(QIODevice::ReadOnly) && hash.addData(&assembled)
        && expectedMd5 == QString::fromLatin1(hash.result().toHex());
}

} // namespace BlockStore
