#pragma once

#include "service/Transfer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;

// Notices, while the download queue runs, that the sync list it works from
// has been replaced on the server. A mirror republished in place serves the
// new blocks under the old names (and drops the ones the new list no longer
// names): against the list in hand they fail their checks, or are missing,
// for ever. When blocks fail, the watch asks for the list's hash file (a few
// bytes) at most every few seconds; if it no longer holds the hash of the
// list in hand, the pass can end and the next one fetch the new list.
class ListWatch final : public QObject
{
    Q_OBJECT

public:
    static constexpr int MinIntervalMs = 10000;

    ListWatch(QNetworkAccessManager *manager, const QUrl &hashUrl, const QByteArray &verifiedHash,
              QObject *parent = nullptr);

    // A block failed: ask again unless a question is on its way or was
    // asked less than MinIntervalMs ago.
    void blockFailed();

signals:
    // The hash file now names another list.
    void listChanged();

private:
    void onFinished();

    QNetworkAccessManager *manager;
    QUrl hashUrl;
    QByteArray verifiedHash;
    QElapsedTimer sinceAsked;
    MemorySink answer;
    std::unique_ptr<Transfer, Transfer::CancelLater> transfer;
};
