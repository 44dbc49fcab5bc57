#pragma once

#include "files/FileSystem.h"
#include "sync/SyncHost.h"

#include <QByteArray>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <memory>

// The synchronisation worker as the pieces of a pass see it: every call is
// logged in order, and saving normalises the cache listing as the real save
// does.
class FakeSyncHost final : public SyncHost
{
public:
    void updateProgressBar(quint64 total, quint64 done) override;
    void updateCurrentFile(const QString &currentFile, const QString &speed) override;
    QSet<QString> &pendingRebuilds() override { return rebuilds; }
    void saveCacheListing() override;
    void finishAndQuit() override { ++finishes; }
    void workDone() override { ++done; }
    void workFailed(const WorkFailure &failure) override { failures << failure.path; }

    Listing *cache = nullptr;
    QStringList events;
    QSet<QString> rebuilds;
    QByteArray saved;
    int saves = 0;
    int finishes = 0;
    int done = 0;
    QStringList failures;
};

// A game folder of its own for each test of the sync's pieces, with the
// three listings of a pass (scan, remembered state, sync list) and a fake
// worker. A test class derives from it and calls initFixture() in init().
class SyncFixture
{
public:
    using Members = QVector<QPair<QString, QByteArray>>;

    static const ListingEntry *entryAt(const Listing &listing, const QString &path);
    static const ListingEntry *recordIn(const Listing &listing, const QString &archive, const QString &name);
    static void copyListing(const Listing &from, Listing &to, bool withTimes);
    // Ten members m0.dff ... m9.dff of one to three sectors.
    static Members tenMembers();

protected:
    // A fresh game folder, empty listings and a fresh host.
    void initFixture();

    QString abs(const QString &relative) const { return gameDir + QLatin1Char('/') + relative; }
    void put(const QString &relative, const QByteArray &data);
    // An archive in the launcher's own form holding members, in that order.
    void archive(const QString &relative, const Members &members);
    void setMtime(const QString &relative, qint64 secs);
    void scan(Listing &into, bool hashed);
    // The disk as it is now: scanned into the local listing, remembered
    // (hashed, with times) in the cache, and published as the sync list.
    void settle();

    std::unique_ptr<QTemporaryDir> scratch;
    QString gameDir;
    std::unique_ptr<FileSystem> local;
    std::unique_ptr<FileSystem> cache;
    std::unique_ptr<FileSystem> remote;
    std::unique_ptr<FakeSyncHost> host;
};
