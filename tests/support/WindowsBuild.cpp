#include "support/WindowsBuild.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <QCoreApplication>

namespace {

const QString WineRun = QStringLiteral(VARO_SOURCE_DIR "/scripts/wine-run");

QTemporaryDir *prefix = nullptr;

// Runs while the application object goes, when Qt still works.
void endPrefix()
{
    QProcess::execute(WineRun, {QStringLiteral("--end-prefix"), prefix->path()});
    delete prefix;
    prefix = nullptr;
}

// The one prefix of this process, for every Windows program it starts.
void ensurePrefix()
{
    if (prefix)
        return;
    prefix = new QTemporaryDir;
    if (QProcess::execute(WineRun, {QStringLiteral("--new-prefix"), prefix->path()}) == 0)
        qputenv("WINEPREFIX", QFile::encodeName(prefix->path()));
    qAddPostRoutine(endPrefix);
}

} // namespace

namespace WindowsBuild {

QString folder()
{
#ifdef Q_OS_WIN
    return QString(); // a Windows build runs its own programs
#else
    return qEnvironmentVariable("VARO_WINDOWS_BUILD");
#endif
}

QString executable(const QString &linuxExecutable)
{
    const QString linuxBuild = QDir::cleanPath(QStringLiteral(VARO_TOOLS_DIR "/.."));
    const QString relative = QDir(linuxBuild).relativeFilePath(linuxExecutable);
    return QDir(folder()).filePath(relative + QStringLiteral(".exe"));
}

void start(QProcess &process, const QString &program, const QStringList &arguments)
{
    if (!program.endsWith(QLatin1String(".exe")) || folder().isEmpty()) {
        process.start(program, arguments);
        return;
    }
    ensurePrefix();
    // An environment of the caller's own gets the shared prefix too.
    QProcessEnvironment environment = process.processEnvironment();
    if (!environment.isEmpty() && prefix) {
        environment.insert(QStringLiteral("WINEPREFIX"), prefix->path());
        process.setProcessEnvironment(environment);
    }
    process.start(WineRun, QStringList{program} + arguments);
}

QString run(const QStringList &commandLine)
{
    ensurePrefix();
    QProcess process;
    process.start(WineRun, commandLine);
    process.waitForFinished(60000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString windowsPath(const QString &linuxPath)
{
    // Wine's drive Z: is the Linux root.
    return QStringLiteral("Z:") + QFileInfo(linuxPath).absoluteFilePath().replace(QLatin1Char('/'), QLatin1Char('\\'));
}

} // namespace WindowsBuild
