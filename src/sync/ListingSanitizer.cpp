#include "sync/ListingSanitizer.h"

#include "files/Listing.h"
#include "files/SafePath.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcSanitize, "varo.sync", QtInfoMsg)

} // namespace

int sanitizeListing(Listing &listing)
{
    int marked = 0;
    for (QString &directory : listing.directories) {
        if (directory.isEmpty() || SafePath::isSafeRelative(directory))
            continue;
        qCWarning(lcSanitize).noquote() << "[unsafe directory]" << directory;
        directory.clear();
        ++marked;
    }
    for (ListingEntry &entry : listing.entries) {
        if (entry.isRemoved() || SafePath::isSafeRelative(entry.path))
            continue;
        qCWarning(lcSanitize).noquote() << "[unsafe entry]" << entry.path;
        entry.name.clear();
        ++marked;
    }
    for (auto group = listing.imgGroups.begin(); group != listing.imgGroups.end(); ++group) {
        for (ListingEntry &record : group.value()) {
            if (record.isRemoved() || SafePath::isSafeMemberName(record.name))
                continue;
            qCWarning(lcSanitize).noquote() << "[unsafe member]" << group.key() << record.name;
            record.name.clear();
            ++marked;
        }
    }
    return marked;
}
