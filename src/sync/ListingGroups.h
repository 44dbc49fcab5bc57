#pragma once

#include "files/Listing.h"

#include <QHash>
#include <QString>
#include <QVector>

// Lookups and additions in the IMG groups of a listing, shared by the
// sync's planner, its refresh of the remembered state and its ledger.
namespace ListingGroups {

// Name -> index of the first live record of a group (exact names).
QHash<QString, int> nameIndex(const QVector<ListingEntry> &group);

// Creates an empty group under a key no other group has and returns the key.
qint32 addGroup(Listing &listing);

} // namespace ListingGroups
