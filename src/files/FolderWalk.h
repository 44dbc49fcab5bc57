#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <memory>
#include <vector>

class QDirIterator;

// Walks a folder and everything below it, in the order of QDirIterator with
// QDirIterator::Subdirectories, but never enters a link: neither a symbolic
// link nor a Windows junction or mount point, which Qt 5.15 does not count
// among links and would walk into. Work on the entries (hashing, renaming,
// deleting) thus never reaches outside the folder. A link itself is listed
// like any entry unless the filters hold QDir::NoSymLinks.
class FolderWalk final
{
public:
    // filters: QDir::Files and/or QDir::Dirs, optionally QDir::Hidden,
    // QDir::System (also lists what is neither file nor folder) and
    // QDir::NoSymLinks; "." and ".." are never listed.
    FolderWalk(const QString &root, QDir::Filters filters);
    ~FolderWalk();

    FolderWalk(const FolderWalk &) = delete;
    FolderWalk &operator=(const FolderWalk &) = delete;

    bool hasNext();
    QString next();

    QString filePath() const { return current.filePath(); }
    const QFileInfo &fileInfo() const { return current; }

private:
    void enter(const QString &folder);

    QDir::Filters filters;
    std::vector<std::unique_ptr<QDirIterator>> stack;
    QFileInfo current;
    QFileInfo upcoming;
    bool ready = false;
};
