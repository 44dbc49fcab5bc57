#pragma once

#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>

// What a game folder holds, for tests that interrupt or hurt a
// synchronisation and then check what it left behind: the MD5 of every file
// and, for every IMG archive, the MD5 of every member's stored sectors.
//
// A synchronisation stores plain files whole (written beside the destination
// and renamed over it), so at any moment each of them is either what it was
// before the run or what the publication promises. Archives are edited in
// place, one member at a time, so an archive may be neither; what holds for
// it is the same promise one level down: it still reads as an archive, and
// each member is either its old or its new content. One exception, by
// design: a member that shrinks is stored over its old sectors before the
// directory is written, so until then its record still spans the old length
// and reads as the new content followed by a stale tail. The remembered
// state still has its old sum then, and the next run fetches it again.
class FolderState final
{
public:
    struct Member
    {
        QString md5; // of its stored sectors
        quint32 sectors = 0;
    };

    // Relative path -> MD5 of every file below root (folders, hidden entries
    // and symbolic links left out), and the members of every archive.
    static FolderState capture(const QString &root);
    // What a synchronised copy of the published source folder holds: the
    // source's files, every archive in the form the launcher rebuilds it to.
    static FolderState published(const QString &sourceRoot);

    // Where the folder at root breaks the promise of atomic stores, given
    // its state before the run and the published state; one line per fault,
    // empty when there is none. Temporary files (".tmp") are the run's own
    // and not looked at here. A file that the list names and that was there
    // before must still be there.
    static QStringList violations(const QString &root, const FolderState &before, const FolderState &after);

    // Temporary files a run may leave behind: ".tmp" files in the game
    // folder, and the remembered state's save files ("varo_launcher.bin.*")
    // next to it.
    static QStringList leftovers(const QString &appDir);

    // Whether the remembered state next to the launcher is absent or whole
    // (it decrypts); a half-written one is not.
    static bool rememberedStateWhole(const QString &appDir);

    QMap<QString, QString> files;
    QHash<QString, QMap<QString, Member>> members;
};
