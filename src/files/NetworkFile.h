#pragma once

#include "service/Transfer.h"

#include <QByteArray>
#include <QObject>

// The in-memory receiver of one file bound for an IMG archive. The download
// queue keeps only small members in memory (larger ones go to a temporary
// file), and it stops a transfer that grows beyond what the member can
// plausibly take, so the buffer stays bounded.
class NetworkFile final : public QObject, public TransferSink
{
    Q_OBJECT

public:
    explicit NetworkFile(QObject *parent = nullptr);

    void append(const QByteArray &bytes);
    const QByteArray &data() const;
    qint64 size() const;

    // TransferSink: the body starts over at every answer.
    bool begin() override;
    Take take(const QByteArray &bytes) override;
    bool end() override { return true; }

private:
    QByteArray bytes;
};
