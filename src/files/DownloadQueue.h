#pragma once

#include "files/DownloadItem.h"

#include <QString>
#include <QStringList>
#include <QVector>

class DownloadLedger;

// What a sync pass has to fetch: the folders to create and the items to
// download, in the order they were added. Only what can be stored is
// queued: items and directories whose path would leave the game folder
// (reported to the ledger), archive members with unusable names and items
// whose part layout cannot add up to their size are left out (each is
// logged).
class DownloadQueue final
{
public:
    DownloadQueue(const QString &gameDir, DownloadLedger *ledger);

    void addDirectory(const QString &path);
    void addFile(const QString &name, const QString &path, quint32 size);
    void addAudioFile(const QString &name, const QString &path, quint32 size, quint32 partCount, quint32 partSize);
    void addImgArchive(const QString &name, const QString &path, quint32 size, quint32 partCount,
                       const QVector<ArchiveMember> &entries, bool createArchive, bool wholeArchive);

    const QStringList &directories() const { return directoryList; }
    const QVector<DownloadItem> &items() const { return queue; }
    int size() const { return queue.size(); }
    bool isEmpty() const { return queue.isEmpty(); }
    const DownloadItem &at(int index) const { return queue.at(index); }
    DownloadItem &item(int index) { return queue[index]; }

    // The bytes the queue will store: every item's size, or the sizes of
    // the members an archive fetches.
    quint64 totalBytes() const;

    // Whether an archive can be fetched whole in this many parts.
    static bool wholeArchivePartsUsable(quint32 partCount);

private:
    bool isInsideGameDir(const QString &path);

    QString gameDir;
    // Found once: every queued path is checked below it.
    QString canonicalGameDir;
    DownloadLedger *ledger;
    QStringList directoryList;
    QVector<DownloadItem> queue;
};
