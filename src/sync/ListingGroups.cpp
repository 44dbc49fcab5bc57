#include "sync/ListingGroups.h"

QHash<QString, int> ListingGroups::nameIndex(const QVector<ListingEntry> &group)
{
    QHash<QString, int> index;
    index.reserve(group.size());
    for (int i = 0; i < group.size(); ++i) {
        const ListingEntry &record = group.at(i);
        if (!record.isRemoved() && !index.contains(record.name))
            index.insert(record.name, i);
    }
    return index;
}

qint32 ListingGroups::addGroup(Listing &listing)
{
    const qint32 imgId = listing.nextImgId();
    listing.group(imgId); // taken: the next call gives another key
    return imgId;
}
