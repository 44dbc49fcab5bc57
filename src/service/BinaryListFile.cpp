#include "service/BinaryListFile.h"

#include "service/PayloadCipher.h"

#include <QFile>
#include <QSaveFile>

namespace {

const QByteArray Magic = QByteArrayLiteral("VAROBNRYLST01");

// Far above the largest list the launcher writes (the sync state of a whole
// game folder is a few megabytes before compression, and its plaintext is
// bounded by PayloadCipher::MaxPlaintextSize); anything bigger is not ours
// and is not read into memory.
constexpr qint64 MaxFileSize = PayloadCipher::MaxPlaintextSize + 1024 * 1024;
constexpr qint64 ReadChunkSize = 64 * 1024;

} // namespace

QByteArray readBinaryList(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    if (file.size() > MaxFileSize)
        return {};
    if (file.read(Magic.size()) != Magic)
        return {};

    // Read in chunks and stop at the limit, so a file that grows, or a
    // device that reports no size, still cannot exhaust memory.
    QByteArray cipherText;
    cipherText.reserve(int(qMax<qint64>(0, file.size() - Magic.size())));
    const qint64 limit = MaxFileSize - Magic.size();
    for (;;) {
        const QByteArray chunk = file.read(ReadChunkSize);
        if (chunk.isEmpty())
            break;
        if (cipherText.size() + chunk.size() > limit)
            return {};
        cipherText.append(chunk);
    }
    if (file.error() != QFileDevice::NoError)
        return {};
    file.close();

    return PayloadCipher::forCache().decrypt(cipherText);
}

bool writeBinaryList(const QString &path, const QByteArray &data)
{
    const QByteArray cipherText = PayloadCipher::forCache().encrypt(data);
    if (cipherText.isEmpty())
        return false;

    // Written beside the target and renamed over it on commit: the old list
    // survives a full disk, a crash or a killed process mid-write.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(Magic) != Magic.size() || file.write(cipherText) != cipherText.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
