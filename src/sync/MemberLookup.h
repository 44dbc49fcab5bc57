#pragma once

#include "files/imgarchive/ImgDirEntry.h"

#include <QHash>
#include <QString>
#include <QVector>

// An archive's members by name, looked up as ArchiveEditor::find() looks
// them up: the exact name first, else one that differs in case only. Built
// once per archive instead of a walk of the directory per name.
class MemberLookup final
{
public:
    explicit MemberLookup(const QVector<ImgDirEntry> &directory);

    // Index in the directory, or -1.
    int find(const QString &name) const;

private:
    QHash<QString, int> exact;
    QHash<QString, int> folded;
};
