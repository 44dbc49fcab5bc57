#pragma once

#include "files/Listing.h"

#include <QString>
#include <QVector>

class SyncHost;

// Brings the remembered state (the cache listing) in line with a fresh scan
// of the game folder (the local listing), reading only what changed: folders
// and files the disk no longer holds are forgotten, new ones recorded; a
// file whose time or size changed loses its sum, an archive's members are
// merged by name; then every file and member without a sum is hashed from
// the disk. Archives are only read, never rewritten.
//
// Paths come from listings and are untrusted: nothing is read unless it lies
// inside the game folder, without following symbolic links out of it.
class CacheRefresh final
{
public:
    // The listings must outlive the refresh; host receives the progress.
    CacheRefresh(const QString &gameDir, SyncHost *host, const Listing &local, Listing &cache);

    // Merges and hashes. False when a stop request ended it before the
    // hashing was done with the files; a stop during the archives' hashing
    // ends that hashing early but still gives true.
    bool run();

private:
    // An archive whose members are hashed in this pass: its path and the key
    // of its cache IMG group.
    struct ArchiveToHash
    {
        QString path;
        qint32 imgId = -1;
    };

    void mergeDirectories();
    void mergeEntries();
    QVector<ArchiveToHash> mergeArchives();
    void hashFiles();
    void hashArchives(const QVector<ArchiveToHash> &archives);

    QString gameDir;
    SyncHost *host;
    const Listing &localListing;
    Listing &cacheListing;
};
