#pragma once

#include "files/WorkFailure.h"
#include "platform/Platform.h"

#include <QString>

#include <vector>

class DownloadLedger;
class DownloadProgress;
class DownloadQueue;
struct BlockFetch;
struct DownloadItem;
class ItemRuns;
struct ItemRun;

// Turns the blocks that arrive into stored items. A plain file is unpacked
// beside its destination, checked and put in place in one step; a member is
// written into its archive, opened when the item begins; parts are joined in
// their order into a file assembled beside the destination, which replaces
// the old file only when it is whole. Everything stored is committed to the
// ledger; a block that fails its check goes back to the scheduler to be
// fetched again, and an item the disk does not take is skipped.
class ItemAssembler final
{
public:
    // What the assembler asks of the queue that runs the fetches.
    class Scheduler
    {
    public:
        // The fetch's block was not the one asked for: it is fetched again
        // after a countdown, or with restartItem the whole item starts over.
        virtual void failCheck(BlockFetch &fetch, bool restartItem = false) = 0;
        // The item cannot be stored here: it ends, and the queue goes on.
        virtual void skipItem(int index, const char *reason, WorkFailure::Step step, Platform::FileFault fault) = 0;
        // A fetch of one part of an item, queued but not sent.
        virtual BlockFetch &pieceFetch(int index, quint32 part) = 0;
        // The fetch is done; refill: start what may start now.
        virtual void removeFetch(BlockFetch *fetch, bool refill = true) = 0;
        virtual void fill() = 0;

    protected:
        ~Scheduler() = default;
    };

    ItemAssembler(const QString &gameDir, DownloadLedger *ledger, DownloadQueue &queue, ItemRuns &runs,
                  DownloadProgress &progress, Scheduler &scheduler);

    // Prepares the item when its first block is about to start. False when
    // it cannot be fetched at all (it has then ended).
    bool begin(int index);

    // A fetch's block arrived whole: store it.
    void finishFile(BlockFetch &fetch);
    void finishMember(BlockFetch &fetch);
    void finishPart(BlockFetch &fetch);

    // Gives up what the item had received and joined, so that it can start
    // over from its first part.
    void restart(int index);
    // The item ends unstored: its parts go, its archive is closed.
    void abandon(int index);

    void reportFailure(int index, WorkFailure::Step step, Platform::FileFault fault, const QString &member = QString());
    // Gives up the parts of an item: the received ones and the file they are
    // being joined into.
    void removePartFiles(int index) const;
    QString destinationOf(int index) const;
    QString partFileName(int index, quint32 part) const;

private:
    bool openArchiveForEntries(int index);
    bool fallBackToWholeArchive(DownloadItem &item);
    void joinArrivedParts(int index);
    void finishJoinedItem(int index);
    void endItem(int index);

    QString gameDir;
    // Found once: every stored block checks its path below it.
    QString canonicalGameDir;
    DownloadLedger *ledger;
    DownloadQueue &queue;
    ItemRuns &runs;
    DownloadProgress &progress;
    Scheduler &scheduler;
};
