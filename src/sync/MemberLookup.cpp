#include "sync/MemberLookup.h"

MemberLookup::MemberLookup(const QVector<ImgDirEntry> &directory)
{
    exact.reserve(directory.size());
    folded.reserve(directory.size());
    for (int i = 0; i < directory.size(); ++i) {
        const QString &name = directory.at(i).name;
        if (name.isEmpty())
            continue;
        if (!exact.contains(name))
            exact.insert(name, i);
        const QString key = name.toCaseFolded();
        if (!folded.contains(key))
            folded.insert(key, i);
    }
}

int MemberLookup::find(const QString &name) const
{
    const int index = exact.value(name, -1);
    return index >= 0 ? index : folded.value(name.toCaseFolded(), -1);
}
