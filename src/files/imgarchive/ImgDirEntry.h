#pragma once

#include <QString>
#include <QtGlobal>

// One directory record of an IMG archive: where a stored file starts and how
// many 2048-byte sectors it takes. A record whose name is empty is a removed
// file; it is skipped by lookups and not written back.
struct ImgDirEntry
{
    quint32 startSector = 0;
    quint16 firstSize = 0;
    quint16 secondSize = 0;
    QString name;

    // Length in sectors: the second size when it is set, else the first.
    quint32 sectors() const { return secondSize != 0 ? secondSize : firstSize; }
};
