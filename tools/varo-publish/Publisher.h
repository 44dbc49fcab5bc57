#pragma once

#include "BlockWriter.h"
#include "ProgressReporter.h"

#include "files/FileSystem.h"
#include "signing/SecretKey.h"

#include <QString>

class QTemporaryDir;

// Publishes a game folder as the launcher's sync list and file mirror:
//   MIRROR_DIR/launcher_api/sync.lst and sync.lst.hash
//   MIRROR_DIR/pcgamefile/filesystem/<remote name>  (one packed block each)
//   MIRROR_DIR/ping.txt
// It first looks through the whole game folder and refuses, before writing
// anything, what the launcher could not carry unchanged. Then it writes the
// blocks, and the list and its hash last, so that a client never sees a list
// that names blocks which are not there yet. Finally it deletes the blocks
// of an earlier publication that the new list no longer names. The game
// folder is only read; archives are brought into their published form in a
// work folder inside the mirror.
class Publisher final
{
public:
    Publisher(const QString &gameDir, const QString &mirrorDir);

    // Signs the list with key ("sync.lst.sig", written after the hash): the
    // serial one more than the mirror's current one, valid for validDays
    // days from now (0: without expiry).
    void signWith(const SecretKey &key, int validDays);

    // Runs the whole publication; the result is the process's exit status
    // (ExitCode).
    int run();

private:
    int checkFolders();
    // The serial of this publication, from the mirror's current signature.
    int checkSignature();
    int inspect();
    int hashFiles();
    int publishBlocks(QTemporaryDir &work);
    int publishEntry(ListingEntry &entry, const QString &workFolder, qint32 imgId,
                     QMap<qint32, QVector<ListingEntry>> *groups);
    int publishArchive(ListingEntry &entry, const QString &workFolder);
    int blockFailure();
    int writeList();
    void removeStaleBlocks();

    // A line on stderr after "varo-publish: ".
    void report(const QString &text);

    QString signaturePath() const;

    QString gameDir;
    SecretKey signingKey;
    int validDays = 0;
    quint64 serial = 0;
    QString mirrorDir;
    FileSystem scan;
    ProgressReporter progress;
    BlockWriter blocks;
    // The archive just published: its members, in listing form.
    QVector<ListingEntry> archiveMembers;
};
