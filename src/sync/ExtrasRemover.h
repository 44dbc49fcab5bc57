#pragma once

#include "files/Listing.h"
#include "files/WorkFailure.h"
#include "platform/Platform.h"
#include "sync/SyncWork.h"

#include <QString>

class SyncHost;

// Carries out the removals of a pass's work lists: archive members (edited
// out of archives in the launcher's own form only), then files, then
// directories with everything below them. What is gone is forgotten in the
// remembered state (cache); what the disk keeps is reported to the host.
//
// Paths in the work lists are untrusted: nothing is deleted unless it lies
// inside the game folder, and symbolic links are removed as links, never
// followed.
class ExtrasRemover final
{
public:
    // The cache must outlive the remover.
    ExtrasRemover(const QString &gameDir, SyncHost *host, Listing &cache);

    // Ends early, through the host, when the launcher is closing.
    void run(const SyncWork &work);

private:
    bool stopRequested();
    bool removeMembers(const QVector<ArchiveOp> &work);
    bool removeFiles(const QVector<FileOp> &work);
    void removeDirectories(const QVector<DirOp> &work);
    void reportFailure(const QString &path, WorkFailure::Step step, Platform::FileFault fault);

    QString gameDir;
    SyncHost *host;
    Listing &cacheListing;
};
