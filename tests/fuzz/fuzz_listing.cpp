// Text listings: the sync list from the mirror and the remembered state of
// the last sync. Reading must take any bytes, and what it builds must survive
// its own text form unchanged.
#include "FuzzSupport.h"

#include "files/Listing.h"

namespace {

QByteArray written(Listing &listing, bool withTimes)
{
    QByteArray text;
    listing.writeListing(text, withTimes);
    return text;
}

void checkListing(const QByteArray &input, bool withTimes)
{
    Listing first;
    first.readListing(input, withTimes);
    const QString digest = first.listingDigest(withTimes);
    const QByteArray text = written(first, withTimes);

    // The text form holds everything the digest covers, and reading it back
    // gives the same text again.
    Listing second;
    second.readListing(text, withTimes);
    FUZZ_CHECK(second.listingDigest(withTimes) == digest);
    FUZZ_CHECK(written(second, withTimes) == text);

    // Lookups agree with each other.
    const QHash<QString, int> byPath = second.entryIndexByPath();
    const int probes = qMin(second.entries.size(), 64);
    for (int i = 0; i < probes; ++i) {
        const ListingEntry &entry = second.entries.at(i);
        const int index = second.firstEntryIndex(entry.path);
        FUZZ_CHECK(index == byPath.value(entry.path, -1));
        FUZZ_CHECK(entry.isRemoved() || (index >= 0 && index <= i));
    }
    // A new group key never collides with an existing one.
    FUZZ_CHECK(!second.imgGroups.contains(second.nextImgId()));

    // Canonical order is reached in one step and survives the text form.
    second.normalize();
    const QByteArray normal = written(second, withTimes);
    second.normalize();
    FUZZ_CHECK(written(second, withTimes) == normal);
    Listing third;
    third.readListing(normal, withTimes);
    third.normalize();
    FUZZ_CHECK(written(third, withTimes) == normal);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = FuzzSupport::bytes(data, size);
    checkListing(input, false);
    checkListing(input, true);
    return 0;
}
