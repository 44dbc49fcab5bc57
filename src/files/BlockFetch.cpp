#include "files/BlockFetch.h"

#include "files/FileSystem.h"

#include <QFile>
#include <QUrl>

#include <limits>

namespace {

constexpr int MaxRedirects = 10;
constexpr int StallLimitMs = 10000;

} // namespace

void BlockFetch::prepare(QNetworkAccessManager *manager, QObject *receiver)
{
    dropTransfer();
    waiting = false;
    countdown = 0;
    errorCode = 0;
    md5Failed = false;
    lastRead = 0;
    replyRead = 0;
    replyTotal = -1;
    std::unique_ptr<TransferSink> target;
    memory = nullptr;
    if (tempName.isEmpty()) {
        auto *inMemory = new NetworkFile;
        memory = inMemory;
        target.reset(inMemory);
    } else {
        target.reset(new FileSink(tempName));
    }
    sink.reset(new BlockSink(std::move(target), expected, FileSystem::ImgBlockSize));
    transfer.reset(new Transfer(manager, receiver));
}

void BlockFetch::send(const QString &mirror)
{
    QUrl url(mirror);
    url.setPath(url.path() + QLatin1Char('/') + remote);
    Transfer::Limits limits;
    limits.maxRedirects = MaxRedirects;
    // The block sink holds the transfer to what the block can take; an
    // announced length alone refuses nothing.
    limits.maxBodySize = std::numeric_limits<qint64>::max();
    limits.stallMs = StallLimitMs;
    transfer->get(url, sink.get(), limits);
}

void BlockFetch::waitToRetry(quint32 seconds, qint32 error, bool checkFailed)
{
    dropTransfer();
    if (!tempName.isEmpty())
        QFile::remove(tempName);
    waiting = true;
    countdown = seconds;
    errorCode = error;
    md5Failed = checkFailed;
}

void BlockFetch::dropTransfer()
{
    transfer.reset();
    // The sink lets go of its file: Windows removes no open file.
    sink.reset();
    memory = nullptr;
}

void BlockFetch::discard()
{
    dropTransfer();
    if (!tempName.isEmpty())
        QFile::remove(tempName);
}
