#pragma once

#include "files/ListingEntry.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// A tree of game files: its directories, its files, and the files inside each
// IMG archive. The same model holds the sync list, the remembered state of the
// last sync and a fresh scan of the game folder.
//
// The members are public because the sync code edits listings in place: it
// marks items removed (an empty directory text or an empty entry name) instead
// of taking them out, appends copies, and reads groups by key. Removed items
// stay in memory until the listing is written; every operation here skips
// them.
//
// Text form, UTF-8, "\n"-terminated lines:
//   [directories]
//   <directory>...
//   (empty line)
//   [entries]
//   <path> <name> file <size> <md5>[ <mtime>]
//   <path> <name> img_archive <size> <imgId> <blockCount> <extra>
//   <path> <name> audio_file <size> <md5> <blockCount> <partSize>[ <mtime>]
//   (per archive: empty line, "[img] <imgId>", then "<name> <size> <md5>" lines)
// The modification times are present only in the remembered state.
class Listing
{
public:
    QStringList directories;
    QVector<ListingEntry> entries;
    // Files inside each IMG archive, keyed by the archive entry's imgId.
    QMap<qint32, QVector<ListingEntry>> imgGroups;
    // While reading text: the imgId of the last "[img]" header. While reading
    // the archives of a scan: the next imgId to give out.
    qint32 imgCursor = 0;

    // Replaces out with the text form. An archive entry whose group is missing
    // gets an empty one (its header is still written).
    void writeListing(QByteArray &out, bool withTimes);
    // Parses a text listing and appends it to the current content. Never
    // fails: unknown and short lines are skipped, bad numbers read as 0, and
    // only the text before the first zero byte is read. withTimes must match
    // the value the text was written with.
    void readListing(const QByteArray &in, bool withTimes);
    // Whether the text has the two section headers every listing has (as
    // whole lines): an empty answer, or one of another kind, is no listing,
    // although readListing() would read it as one without anything in it.
    static bool hasListingHeaders(const QByteArray &in);
    // Canonical order: directories, entries (by path) and every group (by
    // name) sorted stably by UTF-16 code units, keeping one item per key.
    void normalize();
    // MD5 (lower-case hex) of the content, independent of order. With times
    // it covers modification times and ignores MD5 sums; without, the reverse.
    QString listingDigest(bool withTimes) const;

    // Empties everything and resets the cursor to 0.
    void clear();
    // Drops the entries and the IMG groups; the directories stay.
    void clearEntries();

    // Index of the first entry that is not removed and has this path, or -1.
    // Linear; for many lookups build entryIndexByPath() once.
    int firstEntryIndex(const QString &path) const;
    // The same, restricted to ImgArchive entries.
    int firstArchiveIndex(const QString &path) const;
    // Path -> index of the first entry that is not removed, for bulk lookups.
    QHash<QString, int> entryIndexByPath() const;
    // The IMG group of imgId, created empty when missing. Use
    // imgGroups.value(imgId) to read without creating.
    QVector<ListingEntry> &group(qint32 imgId);
    // A key for a new IMG group: 1 + the largest key, 0 when there is none.
    // Should the largest key be the greatest qint32, the smallest unused
    // non-negative key instead.
    qint32 nextImgId() const;
};
