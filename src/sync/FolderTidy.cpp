#include "sync/FolderTidy.h"

#include "files/FileSystem.h"
#include "files/imgarchive/ArchiveEditor.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace FolderTidy {

void removeTempFiles(const QString &gameDir)
{
    QDirIterator it(gameDir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString suffix = it.fileInfo().suffix().toLower();
        if (suffix == QLatin1String("tmp") || suffix == QLatin1String("lnk") || suffix == QLatin1String("link"))
            QFile::remove(it.filePath());
    }
}

QString normalizedName(const QString &name)
{
    return name.simplified().replace(QLatin1Char(' '), QLatin1Char('_')).toLower();
}

namespace {

// Renames the entry at path within its folder when its name is not in
// normalised form.
void renameToNormalized(const QString &path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    const QString wanted = normalizedName(name);
    if (wanted == name || wanted.isEmpty() || !info.exists())
        return;
    QDir(info.absolutePath()).rename(name, wanted);
}

} // namespace

void normalizeFolderNames(const QString &gameDir)
{
    QStringList folders;
    QDirIterator it(gameDir, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext())
        folders.append(it.next());
    std::stable_sort(folders.begin(), folders.end(), [](const QString &a, const QString &b) {
        return a.count(QLatin1Char('/')) > b.count(QLatin1Char('/'));
    });
    for (const QString &folder : qAsConst(folders))
        renameToNormalized(folder);
}

void normalizeFileNames(const QString &gameDir)
{
    QStringList files;
    QDirIterator it(gameDir, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    for (const QString &file : qAsConst(files))
        renameToNormalized(file);
}

QStringList archivesToConvert(const QString &gameDir)
{
    QStringList candidates;
    const QDir base(gameDir);
    QDirIterator it(gameDir, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo &info = it.fileInfo();
        if (info.suffix().toLower() != QLatin1String("img"))
            continue;
        const QString relative = base.relativeFilePath(path);
        if (!FileSystem::isImgArchiveName(info.fileName()))
            continue;
        if (relative.startsWith(QLatin1String("multiplayer_c/models/")))
            continue;
        if (ImgArchive::ArchiveEditor::isV2StaticHeader(path))
            continue;
        candidates.append(path);
    }
    return candidates;
}

} // namespace FolderTidy
