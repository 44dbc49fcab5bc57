#pragma once

#include "files/BlockSink.h"
#include "files/NetworkFile.h"
#include "service/Transfer.h"

#include <QString>

#include <memory>

class QNetworkAccessManager;
class QObject;

// One block on its way: a plain file, a part, or an archive member. It
// lives from its first request until it is stored or its item ends; in
// between it may fail and count down to its next attempt.
struct BlockFetch
{
    int item = 0;
    quint32 piece = 0;   // part or member index
    int lane = 0;        // the network manager of its transfer
    QString remote;      // path below the mirror's file folder
    qint64 expected = 0; // -1: any length up to a whole part
    QString tempName;    // empty: the block is kept in memory
    // What the transfer writes into. Declared before the transfer, so that
    // the transfer (cancelled by its deleter) goes first.
    std::unique_ptr<BlockSink> sink;
    NetworkFile *memory = nullptr; // the sink's target when in memory
    std::unique_ptr<Transfer, Transfer::CancelLater> transfer;
    // Between a failure and the next attempt the block has no transfer and
    // holds no connection; once the countdown is 0 it waits for one.
    bool waiting = false;
    quint32 countdown = 0;
    bool md5Failed = false;
    qint32 errorCode = 0;
    bool restartItem = false; // the retry starts the whole item over
    qint64 lastRead = 0;
    qint64 replyRead = 0;
    qint64 replyTotal = -1;

    // A new attempt: fresh counters, a fresh sink, and a new transfer
    // (parented to receiver) in place of the old one, not started yet.
    void prepare(QNetworkAccessManager *manager, QObject *receiver);
    // Starts the transfer of mirror + "/" + remote.
    void send(const QString &mirror);
    // Waits `seconds` before the next attempt; the transfer goes, and so
    // does what it received.
    void waitToRetry(quint32 seconds, qint32 error, bool checkFailed);
    // Whether the block is on the wire: it holds one of the connections.
    bool onWire() const { return transfer && transfer->isRunning(); }
    // Whether the countdown has ended and the block waits for a connection.
    bool due() const { return waiting && countdown == 0; }
    // The transfer is cancelled and goes (later: it may be the sender of
    // the signal being handled); then what it wrote into goes too.
    void dropTransfer();
    // dropTransfer() and the temporary file removed.
    void discard();
};
