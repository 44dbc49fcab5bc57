#include "support/SyncFixture.h"

#include "files/imgarchive/ArchiveEditor.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

using ImgArchive::ArchiveEditor;

void FakeSyncHost::updateProgressBar(quint64 total, quint64 done)
{
    events.append(QStringLiteral("bar %1/%2").arg(total).arg(done));
}

void FakeSyncHost::updateCurrentFile(const QString &currentFile, const QString &speed)
{
    events.append(QStringLiteral("file ") + currentFile + speed);
}

void FakeSyncHost::saveCacheListing()
{
    events.append(QStringLiteral("save"));
    ++saves;
    if (cache) {
        cache->normalize();
        cache->writeListing(saved, true);
    }
}

const ListingEntry *SyncFixture::entryAt(const Listing &listing, const QString &path)
{
    const int index = listing.firstEntryIndex(path);
    return index < 0 ? nullptr : &listing.entries.at(index);
}

const ListingEntry *SyncFixture::recordIn(const Listing &listing, const QString &archive, const QString &name)
{
    const ListingEntry *entry = entryAt(listing, archive);
    if (!entry || !listing.imgGroups.contains(entry->imgId))
        return nullptr;
    const QVector<ListingEntry> &records = *listing.imgGroups.find(entry->imgId);
    for (const ListingEntry &record : records) {
        if (record.name == name)
            return &record;
    }
    return nullptr;
}

void SyncFixture::copyListing(const Listing &from, Listing &to, bool withTimes)
{
    Listing source = from;
    QByteArray bytes;
    source.writeListing(bytes, withTimes);
    to.clear();
    to.readListing(bytes, withTimes);
    to.normalize();
}

SyncFixture::Members SyncFixture::tenMembers()
{
    Members members;
    for (int i = 0; i < 10; ++i)
        members.append({QStringLiteral("m%1.dff").arg(i), TestFiles::noise(1000 + 1500 * (i % 3), quint32(i + 1))});
    return members;
}

void SyncFixture::initFixture()
{
    scratch.reset(new QTemporaryDir);
    QVERIFY(scratch->isValid());
    gameDir = scratch->path() + QStringLiteral("/gtasa");
    QVERIFY(QDir().mkpath(gameDir));
    local.reset(new FileSystem);
    cache.reset(new FileSystem);
    remote.reset(new FileSystem);
    host.reset(new FakeSyncHost);
    host->cache = cache.get();
}

void SyncFixture::put(const QString &relative, const QByteArray &data)
{
    QVERIFY(TestFiles::write(abs(relative), data));
}

void SyncFixture::archive(const QString &relative, const Members &members)
{
    QDir().mkpath(QFileInfo(abs(relative)).absolutePath());
    QVERIFY(ArchiveEditor::createEmpty(abs(relative)));
    ArchiveEditor editor(abs(relative));
    QVERIFY(editor.open());
    for (const auto &member : members)
        QVERIFY(editor.append(member.first, member.second));
    QVERIFY(editor.close());
}

void SyncFixture::setMtime(const QString &relative, qint64 secs)
{
    QFile file(abs(relative));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::fromSecsSinceEpoch(secs), QFileDevice::FileModificationTime));
}

void SyncFixture::scan(Listing &into, bool hashed)
{
    FileSystem fs;
    fs.setRoot(gameDir);
    fs.scanDirectories();
    fs.scanFiles();
    fs.readImgDirectories();
    fs.readModificationTimes();
    if (hashed) {
        fs.hashFiles();
        fs.hashImgItems();
    }
    into.clear();
    copyListing(fs, into, true);
}

void SyncFixture::settle()
{
    scan(*local, false);
    scan(*cache, true);
    copyListing(*cache, *remote, false);
}
