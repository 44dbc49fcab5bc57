#include "files/FolderWalk.h"

#include "platform/Platform.h"

#include <QDirIterator>

FolderWalk::FolderWalk(const QString &root, QDir::Filters walkFilters)
    : filters(walkFilters)
{
    enter(root);
}

FolderWalk::~FolderWalk() = default;

void FolderWalk::enter(const QString &folder)
{
    stack.push_back(std::make_unique<QDirIterator>(folder,
                                                   QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot
                                                       | (filters & (QDir::Hidden | QDir::System))));
}

bool FolderWalk::hasNext()
{
    while (!ready && !stack.empty()) {
        QDirIterator &top = *stack.back();
        if (!top.hasNext()) {
            stack.pop_back();
            continue;
        }
        const QString path = top.next();
        const QFileInfo info = top.fileInfo();
        // Qt sees symbolic links; the platform layer also junctions (only
        // folders can be junctions, so files are not asked about).
        const bool link = info.isSymLink() || (info.isDir() && Platform::isLink(path));
        // As with QDir: QDir::System also lists what is neither a file nor a
        // folder, such as a link that leads nowhere.
        const bool wanted = ((filters & QDir::Files) && info.isFile()) || ((filters & QDir::Dirs) && info.isDir())
            || ((filters & QDir::System) && !info.isFile() && !info.isDir());
        if (wanted && !(link && (filters & QDir::NoSymLinks))) {
            upcoming = info;
            ready = true;
        }
        // Entered right away, so that a folder's entries follow it.
        if (info.isDir() && !link)
            enter(path);
    }
    return ready;
}

QString FolderWalk::next()
{
    if (!hasNext())
        return QString();
    ready = false;
    current = upcoming;
    return current.filePath();
}
