#pragma once

#include "files/WorkFailure.h"
#include "files/imgarchive/ProgressReceiver.h"

#include <QSet>
#include <QString>

// What the synchronisation worker offers the objects that work for it during
// a pass (the diff handler, the download queue, the archive conversion): the
// progress slots, the set of archives to rebuild at the end of the pass, the
// saving of the remembered state, and the early end of the run.
class SyncHost : public ProgressReceiver
{
public:
    // Archive paths, relative to the game folder, to rebuild compactly at the
    // end of the pass.
    virtual QSet<QString> &pendingRebuilds() = 0;
    // Writes the remembered state (the cache listing) to disk.
    virtual void saveCacheListing() = 0;
    // Ends the run early (the launcher is closing).
    virtual void finishAndQuit() = 0;
    // Work of the pass that got done (a file stored or deleted, a folder
    // made), and work that the disk did not let be done.
    virtual void workDone() = 0;
    virtual void workFailed(const WorkFailure &failure) = 0;
};
