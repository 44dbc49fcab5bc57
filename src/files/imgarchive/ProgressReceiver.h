#pragma once

#include <QString>
#include <QtGlobal>

// Receiver of the progress of long file operations: the archive conversion
// and the download queue report through it. The synchronisation worker
// implements it and turns the calls into the window's progress texts and bar.
class ProgressReceiver
{
public:
    virtual ~ProgressReceiver() = default;

    // Progress of the current activity: the amount to reach, then the amount
    // reached.
    virtual void updateProgressBar(quint64 total, quint64 done) = 0;

    // Names the item being worked on, with an optional speed text.
    virtual void updateCurrentFile(const QString &currentFile, const QString &speed = QString()) = 0;
};
