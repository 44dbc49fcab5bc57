#include "support/GameTree.h"

#include "files/FileSystem.h"
#include "support/WindowsBuild.h"
#include "files/imgarchive/ArchiveEditor.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace GameTree {

namespace {

#ifdef Q_OS_WIN
#define ExecutableSuffix ".exe"
#else
#define ExecutableSuffix ""
#endif

QString fileMd5(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unreadable");
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

QMap<QString, QString> digest(const QString &root)
{
    QMap<QString, QString> result;
    const QDir base(root);
    QDirIterator it(root, QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        result.insert(relative, it.fileInfo().isDir() ? QStringLiteral("dir") : fileMd5(path));
    }
    return result;
}

bool canonicalArchive(const QString &source, const QString &target)
{
    QFile::remove(target);
    if (!QFile::copy(source, target))
        return false;
    QFile(target).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!ImgArchive::ArchiveEditor::convertToV2StaticHeader(target))
        return false;
    {
        ImgArchive::ArchiveEditor editor(target);
        if (!editor.open() || !editor.close())
            return false;
    }
    return ImgArchive::ArchiveEditor::convertToV2StaticHeader(target);
}

QMap<QString, QString> expectedAfterSync(const QString &sourceRoot)
{
    QMap<QString, QString> expected = digest(sourceRoot);
    FileSystem scan;
    scan.setRoot(sourceRoot);
    scan.scanFiles();
    scan.readImgDirectories();
    QTemporaryDir scratch;
    for (const ListingEntry &entry : qAsConst(scan.entries)) {
        if (entry.kind != EntryKind::ImgArchive)
            continue;
        const QString copy = scratch.filePath(QStringLiteral("canonical.img"));
        if (canonicalArchive(sourceRoot + QLatin1Char('/') + entry.path, copy))
            expected.insert(entry.path, fileMd5(copy));
    }
    return expected;
}

bool copyTree(const QString &from, const QString &to)
{
    const QMap<QString, QString> files = digest(from);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString target = to + QLatin1Char('/') + it.key();
        const bool copied = it.value() == QLatin1String("dir")
            ? QDir().mkpath(target)
            : QDir().mkpath(QFileInfo(target).path()) && QFile::copy(from + QLatin1Char('/') + it.key(), target);
        if (!copied)
            return false;
    }
    return true;
}

QString difference(const QMap<QString, QString> &actual, const QMap<QString, QString> &expected)
{
    QStringList lines;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            lines << QStringLiteral("missing: ") + it.key();
        else if (actual.value(it.key()) != it.value())
            lines << QStringLiteral("differs: ") + it.key();
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            lines << QStringLiteral("extra: ") + it.key();
    }
    return lines.join(QLatin1Char('\n'));
}

QString toolPath(const QString &name)
{
    const QString path = QStringLiteral(VARO_TOOLS_DIR "/") + name + QLatin1Char('/') + name;
    // The player's program of the Windows setting; the mirror stays the same.
    if (!WindowsBuild::folder().isEmpty() && name == QLatin1String("varo-sync"))
        return WindowsBuild::executable(path);
    return path + QStringLiteral(ExecutableSuffix);
}

QString launcherPath()
{
    const QString path = QStringLiteral(VARO_TOOLS_DIR "/../src/app/launcher/varo-launcher");
    if (!WindowsBuild::folder().isEmpty())
        return WindowsBuild::executable(path);
    return path + QStringLiteral(ExecutableSuffix);
}

void startTool(QProcess &process, const QString &name, const QStringList &arguments)
{
    WindowsBuild::start(process, toolPath(name), arguments);
}

QString standInPath()
{
    if (!WindowsBuild::folder().isEmpty())
        return WindowsBuild::folder() + QStringLiteral("/tests/standin.exe");
    return QStringLiteral(VARO_TOOLS_DIR "/../tests/standin.exe");
}

Run runTool(const QString &name, const QStringList &arguments, const QMap<QString, QString> &environment, int timeoutMs)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        env.insert(it.key(), it.value());
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    startTool(process, name, arguments);
    Run run;
    if (!process.waitForStarted(10000)) {
        run.output = process.errorString();
        return run;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
    }
    // The tools write UTF-8 to a pipe on every system.
    run.output = QString::fromUtf8(process.readAll());
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.exitCode = run.crashed ? -1 : process.exitCode();
    return run;
}

} // namespace GameTree
