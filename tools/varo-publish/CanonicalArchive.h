#pragma once

#include "files/ListingEntry.h"

#include <QString>
#include <QVector>

// An IMG archive in exactly the form that the launcher's rebuild leaves on
// the player's disk: V2SH, directory sorted by name, members packed from
// sector 200 in directory order. Made from a copy of the source in a work
// folder, with the archive editor's own steps: convert (VER2 to V2SH), open
// and close (which sorts the directory), convert again (which packs the
// members in sorted order). The source is only read.
class CanonicalArchive final
{
public:
    // workFolder must be a folder of its own: the copy is the only file
    // there while it exists.
    explicit CanonicalArchive(const QString &workFolder);
    ~CanonicalArchive();

    CanonicalArchive(const CanonicalArchive &) = delete;
    CanonicalArchive &operator=(const CanonicalArchive &) = delete;

    // Makes the canonical copy of the archive at sourcePath and reads its
    // members (name as stored, size in whole sectors, start sector, MD5 over
    // the whole sectors), in directory order. False, with the reason in
    // errorString(), when a step fails.
    bool build(const QString &sourcePath);
    // For an archive that the launcher keeps in the form it has (see
    // keptAsIs): reads the members of the source itself, which then stands
    // for the canonical copy (path() is the source; discard() leaves it).
    bool adopt(const QString &sourcePath);

    // Whether the archive at relativePath, with this many members, travels
    // as it is: one under "multiplayer_c/models/", which the launcher never
    // converts, with more members than the launcher's own form holds.
    static bool keptAsIs(const QString &relativePath, int memberCount);
    // Deletes the copy.
    void discard();

    QString path() const { return copyPath; }
    quint64 size() const { return byteSize; }
    const QVector<ListingEntry> &members() const { return memberList; }
    QString errorString() const { return error; }

private:
    QString folder;
    QString copyPath;
    bool ownCopy = true;
    quint64 byteSize = 0;
    QVector<ListingEntry> memberList;
    QString error;
};
