#include "files/NetworkFile.h"

NetworkFile::NetworkFile(QObject *parent)
    : QObject(parent)
{
}

void NetworkFile::append(const QByteArray &more)
{
    bytes.append(more);
}

const QByteArray &NetworkFile::data() const
{
    return bytes;
}

qint64 NetworkFile::size() const
{
    return bytes.size();
}

bool NetworkFile::begin()
{
    bytes.clear();
    return true;
}

TransferSink::Take NetworkFile::take(const QByteArray &more)
{
    append(more);
    return Take::Ok;
}
