#pragma once

#include "platform/Platform.h"

#include <QString>

// A piece of a sync pass's work that this disk did not let the launcher do:
// a file that could not be written, put in place, deleted or read, a folder
// that could not be made. Failures of the network or of the mirror's content
// are not among them; those are retried until they succeed.
struct WorkFailure
{
    enum class Step {
        Write,        // a received or unpacked file could not be written
        Store,        // a finished file could not replace the old one
        Remove,       // a file or folder could not be deleted
        Read,         // a file could not be read
        CreateFolder, // a folder could not be made
        EditArchive,  // an archive could not be opened or written for its members
        LeadsOutside, // a symbolic link on the way leads out of the game folder
    };

    QString path;   // relative to the game folder
    QString member; // a file inside the archive at path, or empty
    Step step = Step::Write;
    Platform::FileFault fault = Platform::FileFault::Other;

    bool operator==(const WorkFailure &other) const
    {
        return path == other.path && member == other.member && step == other.step && fault == other.fault;
    }
    bool operator!=(const WorkFailure &other) const { return !(*this == other); }
};
