#pragma once

#include "files/ListingEntry.h"

#include <QString>
#include <QVector>

// What a work-list item asks for. The numbers are fixed.
enum class SyncOp : qint32 {
    Add = 1,    // create the directory, fetch the file or member
    Remove = 2, // delete it
    Update = 3, // fetch it again (files and archive members only)
};

struct DirOp
{
    QString path;
    SyncOp op = SyncOp::Add;
};

struct FileOp
{
    ListingEntry entry; // a copy: the remote record for Add/Update, the cached one for Remove
    SyncOp op = SyncOp::Add;
};

struct MemberOp
{
    ListingEntry record; // a copy of the IMG group record
    SyncOp op = SyncOp::Add;
};

struct ArchiveOp
{
    QString path;
    QVector<MemberOp> members; // removals first, then additions and updates
};

// The work lists of a sync pass: directories, files and archive members to
// add, update or remove.
struct SyncWork
{
    QVector<DirOp> directories;
    QVector<FileOp> files;
    QVector<ArchiveOp> archives;

    bool isEmpty() const;
    void clear();
    // A digest of the lists, equal for two passes that planned the same
    // work, and the path of the first item: what the run compares and names
    // when passes repeat themselves.
    QString signature() const;
    QString firstPath() const;
};
