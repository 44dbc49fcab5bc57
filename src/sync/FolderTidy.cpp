#include "sync/FolderTidy.h"

#include "files/FolderWalk.h"

#include "files/FileSystem.h"
#include "files/imgarchive/ArchiveEditor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace FolderTidy {

void removeTempFiles(const QString &gameDir)
{
    // QDir::System adds symbolic links whose target is gone: a dangling link
    // at a temporary name is a leftover like any other (removed as a link).
    FolderWalk it(gameDir, QDir::Files | QDir::System);
    while (it.hasNext()) {
        it.next();
        const QString suffix = it.fileInfo().suffix().toLower();
        if (suffix == QLatin1String("tmp") || suffix == QLatin1String("lnk") || suffix == QLatin1String("link"))
            QFile::remove(it.filePath());
    }
}

void removeSaveLeftovers(const QString &path)
{
    const QFileInfo target(path);
    const QDir folder = target.absoluteDir();
    const QRegularExpression leftover(QRegularExpression::anchoredPattern(QRegularExpression::escape(target.fileName())
                                                                          + QStringLiteral("\\.[A-Za-z0-9]{6}")));
    const QStringList names = folder.entryList({target.fileName() + QStringLiteral(".*")},
                                               QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        if (leftover.match(name).hasMatch())
            QFile::remove(folder.filePath(name));
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
    FolderWalk it(gameDir, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
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
    FolderWalk it(gameDir, QDir::Files | QDir::NoSymLinks);
    while (it.hasNext())
        files.append(it.next());
    for (const QString &file : qAsConst(files))
        renameToNormalized(file);
}

namespace {

// The IMG archives that the launcher keeps in its own form: suffix "img" in
// any case, not one of the game's special files, not under
// "multiplayer_c/models/". Absolute paths, in walk order.
QStringList managedArchives(const QString &gameDir)
{
    QStringList archives;
    const QDir base(gameDir);
    FolderWalk it(gameDir, QDir::Files | QDir::NoSymLinks);
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
        archives.append(path);
    }
    return archives;
}

} // namespace

ArchiveSurvey surveyArchives(const QString &gameDir)
{
    using ImgArchive::ArchiveEditor;
    ArchiveSurvey survey;
    for (const QString &path : managedArchives(gameDir)) {
        if (!ArchiveEditor::isV2StaticHeader(path))
            survey.toConvert.append(path);
        else if (!ArchiveEditor::isCompactV2StaticHeader(path))
            survey.toCompact.append(path);
    }
    return survey;
}

} // namespace FolderTidy
