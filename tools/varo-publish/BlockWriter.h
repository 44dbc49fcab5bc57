#pragma once

#include <QFile>
#include <QSet>
#include <QString>
#include <QStringList>

// Writes the blocks of the file mirror: each one a range of a source file
// packed in the qCompress form (level 9) under its remote name below the
// block folder (pcgamefile/filesystem). Every block goes through QSaveFile,
// so a client never fetches half a block. A block that is already there
// with the same content is kept as it is, which makes publishing again after
// a small change quick and leaves the blocks that did not change alone.
// Only one range and its packed form are held in memory at a time.
class BlockWriter final
{
public:
    enum class Failure { None, Read, Write };

    explicit BlockWriter(const QString &blockRoot);

    // Publishes length bytes of source from offset as the block remoteName
    // (a path relative to the block folder). md5 is the MD5 of that range
    // when the caller knows it; it is computed otherwise. False, with the
    // reason in errorString(), when the source cannot be read or the block
    // cannot be written.
    bool publish(const QString &remoteName, QFile &source, qint64 offset, qint64 length,
                 const QString &md5 = QString());

    // Deletes every file below the block folder that this run has not
    // published (blocks of an earlier publication, left-over temporary
    // files), then the folders left empty. Returns the number of files
    // deleted; paths that could not be deleted go to failures.
    int removeStale(QStringList *failures);

    int writtenBlocks() const { return written; }
    int keptBlocks() const { return kept; }
    QString errorString() const { return error; }
    // What the last failed publish() could not do.
    Failure failure() const { return lastFailure; }

    // MD5 (lower-case hex) of length bytes of file from offset, read in
    // bounded chunks; empty when the range cannot be read whole.
    static QString md5OfRange(QFile &file, qint64 offset, qint64 length);

private:
    bool holdsSameContent(const QString &blockPath, qint64 length, const QString &md5) const;

    QString root;
    QSet<QString> published;
    QString error;
    Failure lastFailure = Failure::None;
    int written = 0;
    int kept = 0;
};
