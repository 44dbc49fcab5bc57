#include "support/FolderState.h"

#include "files/FileSystem.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "service/BinaryListFile.h"
#include "support/GameTree.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

const QString StateName = QStringLiteral("varo_launcher.bin");

QString md5Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

bool isArchiveName(const QString &relative)
{
    return relative.endsWith(QLatin1String(".img"), Qt::CaseInsensitive) && FileSystem::isImgArchiveName(relative);
}

// Member name -> its stored sectors; false when the file does not read as
// an archive.
bool readMembers(const QString &path, QMap<QString, FolderState::Member> *members)
{
    members->clear();
    ImgArchive::ArchiveEditor editor(path);
    if (!editor.openReadOnly())
        return false;
    for (int i = 0; i < editor.directory().size(); ++i) {
        const QString name = editor.directory().at(i).name;
        if (!name.isEmpty() && !members->contains(name))
            members->insert(name, {md5Of(editor.read(i)), editor.entrySectors(i)});
    }
    editor.close();
    return true;
}

// Whether the member's stored sectors begin with the wanted content: stored
// in place over a longer old one whose record is not rewritten yet.
bool storedInPlace(const QString &path, const QString &name, const FolderState::Member &wanted)
{
    ImgArchive::ArchiveEditor editor(path);
    if (!editor.openReadOnly())
        return false;
    const int index = editor.find(name);
    if (index < 0 || editor.entrySectors(index) <= wanted.sectors)
        return false;
    const QByteArray stored = editor.read(index);
    return md5Of(stored.left(int(wanted.sectors * ImgArchive::ArchiveEditor::SectorSize))) == wanted.md5;
}

} // namespace

FolderState FolderState::capture(const QString &root)
{
    FolderState state;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        QFile file(path);
        QCryptographicHash hash(QCryptographicHash::Md5);
        if (file.open(QIODevice::ReadOnly))
            hash.addData(&file);
        state.files.insert(relative, QString::fromLatin1(hash.result().toHex()));
        QMap<QString, Member> members;
        if (isArchiveName(relative) && readMembers(path, &members))
            state.members.insert(relative, members);
    }
    return state;
}

FolderState FolderState::published(const QString &sourceRoot)
{
    FolderState state;
    const QMap<QString, QString> expected = GameTree::expectedAfterSync(sourceRoot);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (it.value() != QLatin1String("dir"))
            state.files.insert(it.key(), it.value());
    }
    QTemporaryDir scratch;
    for (auto it = state.files.cbegin(); it != state.files.cend(); ++it) {
        if (!isArchiveName(it.key()))
            continue;
        const QString copy = scratch.filePath(QStringLiteral("canonical.img"));
        QMap<QString, Member> members;
        if (GameTree::canonicalArchive(sourceRoot + QLatin1Char('/') + it.key(), copy) && readMembers(copy, &members))
            state.members.insert(it.key(), members);
    }
    return state;
}

QStringList FolderState::violations(const QString &root, const FolderState &before, const FolderState &after)
{
    QStringList faults;
    const FolderState now = capture(root);
    for (auto it = now.files.cbegin(); it != now.files.cend(); ++it) {
        const QString &path = it.key();
        if (path.endsWith(QLatin1String(".tmp")))
            continue;
        const QString &md5 = it.value();
        if (md5 == before.files.value(path) || md5 == after.files.value(path))
            continue;
        const bool wasArchive = before.members.contains(path) || after.members.contains(path);
        if (!wasArchive) {
            faults << QStringLiteral("neither old nor new: ") + path;
            continue;
        }
        if (!now.members.contains(path)) {
            faults << QStringLiteral("archive no longer readable: ") + path;
            continue;
        }
        const QMap<QString, Member> old = before.members.value(path);
        const QMap<QString, Member> wanted = after.members.value(path);
        const QMap<QString, Member> &present = now.members[path];
        for (auto m = present.cbegin(); m != present.cend(); ++m) {
            const QString &stored = m.value().md5;
            if (stored == old.value(m.key()).md5 || stored == wanted.value(m.key()).md5)
                continue;
            if (wanted.contains(m.key()) && storedInPlace(root + QLatin1Char('/') + path, m.key(), wanted[m.key()]))
                continue;
            faults << QStringLiteral("member neither old nor new: ") + path + QLatin1Char('/') + m.key();
        }
        for (auto m = old.cbegin(); m != old.cend(); ++m) {
            if (wanted.contains(m.key()) && !present.contains(m.key()))
                faults << QStringLiteral("member lost: ") + path + QLatin1Char('/') + m.key();
        }
    }
    for (auto it = before.files.cbegin(); it != before.files.cend(); ++it) {
        if (after.files.contains(it.key()) && !now.files.contains(it.key()))
            faults << QStringLiteral("deleted though the list names it: ") + it.key();
    }
    return faults;
}

QStringList FolderState::leftovers(const QString &appDir)
{
    QStringList found;
    QDirIterator it(appDir + QStringLiteral("/gtasa"), QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(QLatin1String(".tmp"), Qt::CaseInsensitive))
            found << path;
    }
    const QStringList saves = QDir(appDir).entryList({StateName + QStringLiteral(".*")}, QDir::Files | QDir::Hidden);
    for (const QString &name : saves)
        found << appDir + QLatin1Char('/') + name;
    return found;
}

bool FolderState::rememberedStateWhole(const QString &appDir)
{
    if (!QFileInfo::exists(appDir + QLatin1Char('/') + StateName))
        return true;
    return !readBinaryList(appDir + QLatin1Char('/') + StateName).isEmpty();
}
