#pragma once

#include "sync/SyncWork.h"

#include <QStringList>

// The work lists of a sync pass as sorted text, one line per item:
// "dir add x", "file update y", "member remove a.img:m".
namespace WorkLists {

inline QString opName(SyncOp op)
{
    switch (op) {
    case SyncOp::Add:
        return QStringLiteral("add");
    case SyncOp::Remove:
        return QStringLiteral("remove");
    case SyncOp::Update:
        return QStringLiteral("update");
    }
    return QStringLiteral("?");
}

inline QStringList text(const SyncWork &work)
{
    QStringList out;
    for (const DirOp &op : work.directories)
        out.append(QStringLiteral("dir %1 %2").arg(opName(op.op), op.path));
    for (const FileOp &op : work.files)
        out.append(QStringLiteral("file %1 %2").arg(opName(op.op), op.entry.path));
    for (const ArchiveOp &op : work.archives) {
        for (const MemberOp &member : op.members)
            out.append(QStringLiteral("member %1 %2:%3").arg(opName(member.op), op.path, member.record.name));
    }
    out.sort();
    return out;
}

} // namespace WorkLists
