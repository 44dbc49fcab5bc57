#include "sync/SyncWork.h"

#include <QCryptographicHash>

bool SyncWork::isEmpty() const
{
    return directories.isEmpty() && files.isEmpty() && archives.isEmpty();
}

void SyncWork::clear()
{
    directories.clear();
    files.clear();
    archives.clear();
}

QString SyncWork::signature() const
{
    // Every planned item, one line each, hashed: passes are compared by it.
    QCryptographicHash hash(QCryptographicHash::Md5);
    const auto line = [&hash](int op, const QString &path, const QString &member = QString()) {
        hash.addData(
            QString(QString::number(op) + QLatin1Char(' ') + path + QLatin1Char(' ') + member + QLatin1Char('\n'))
                .toUtf8());
    };
    for (const DirOp &op : directories)
        line(int(op.op), op.path);
    for (const FileOp &op : files)
        line(int(op.op), op.entry.path);
    for (const ArchiveOp &op : archives) {
        for (const MemberOp &member : op.members)
            line(int(member.op), op.path, member.record.name);
    }
    return QString::fromLatin1(hash.result().toHex());
}

QString SyncWork::firstPath() const
{
    if (!files.isEmpty())
        return files.first().entry.path;
    if (!archives.isEmpty())
        return archives.first().path;
    return directories.isEmpty() ? QString() : directories.first().path;
}
