#pragma once

#include "files/Listing.h"
#include "sync/SyncWork.h"

#include <QHash>
#include <QString>

// Plans the work of a sync pass from two listings: the sync list (remote)
// and the remembered state of the game folder (cache), which the refresh has
// just brought in line with the disk. Directories and files the list does
// not name are removed, unless they are kept on purpose (ENB shaders,
// "compressed" folders) or a folder holds something that stays; what the list
// names and the cache lacks is added; files whose sum differs are fetched
// again; archives present on both sides are compared member by member.
//
// Pure: it reads neither the disk nor the network. Paths and member names
// that could lead out of the game folder are left out of every list
// (logged).
class WorkPlanner final
{
public:
    // Both listings normalised; they must outlive the planner.
    WorkPlanner(const Listing &remote, const Listing &cache);

    QVector<DirOp> directoryWork() const;
    QVector<FileOp> fileWork() const;
    QVector<ArchiveOp> archiveWork() const;
    // All three.
    SyncWork plan() const;

private:
    const Listing &remote;
    const Listing &cache;
    QHash<QString, int> remoteByPath;
};
