#include "support/SyscallFaults.h"

#include "support/GameTree.h"

#include "files/TempNames.h"

#include <QDir>
#include <QHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <csignal>
#include <sys/types.h>

namespace SyscallFaults {

namespace {

// The most parts a test file is cut into.
constexpr quint32 MaxParts = 4;

QString stracePath()
{
    return QStandardPaths::findExecutable(QStringLiteral("strace"));
}

// Process ids of the children of pid.
QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    QFile list(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (!list.open(QIODevice::ReadOnly))
        return children;
    for (const QByteArray &word : list.readAll().simplified().split(' ')) {
        bool ok = false;
        const qint64 child = word.toLongLong(&ok);
        if (ok)
            children << child;
    }
    return children;
}

} // namespace

bool available(QString *why)
{
    if (stracePath().isEmpty()) {
        *why = QStringLiteral("strace is not installed (scripts/bootstrap installs it)");
        return false;
    }
    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    probe.start(stracePath(),
                {QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                 QStringLiteral("-e"), QStringLiteral("trace=write"), QStringLiteral("-e"),
                 QStringLiteral("inject=write:error=ENOSPC:when=1000"), QStringLiteral("true")});
    if (!probe.waitForFinished(20000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0) {
        *why = QStringLiteral("strace may not trace here: ") + QString::fromLocal8Bit(probe.readAll()).trimmed();
        return false;
    }
    return true;
}

QStringList watchedPaths(const QString &appDir, const QString &sourceRoot)
{
    QStringList paths;
    const QString gameDir = appDir + QStringLiteral("/gtasa/");
    const QDir base(sourceRoot);
    QDirIterator it(sourceRoot, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString full = gameDir + base.relativeFilePath(it.next());
        paths << full << TempNames::block(full) << TempNames::unpacked(full) << TempNames::assembled(full);
        for (quint32 k = 0; k < MaxParts; ++k)
            paths << TempNames::part(full, k);
        const QFileInfo info(full);
        if (info.suffix() == QLatin1String("img"))
            paths << info.path() + QLatin1Char('/') + info.baseName() + QStringLiteral(".img.tmp");
    }
    paths << appDir + QStringLiteral("/varo_launcher.bin");
    return paths;
}

QStringList pathOptions(const QStringList &paths)
{
    QStringList options;
    for (const QString &path : paths)
        options << QStringLiteral("-P") << path;
    return options;
}

QVector<Call> readTrace(const QString &traceFile, const QSet<QString> &watched)
{
    QVector<Call> calls;
    QFile file(traceFile);
    if (!file.open(QIODevice::ReadOnly))
        return calls;
    // "<pid> name(args..." as strace starts a call; when another thread
    // interrupts the line it ends in "<unfinished ...>" and the result comes
    // later on a line "<pid> <... name resumed>...".
    static const QRegularExpression start(QStringLiteral("^(\\d+)\\s+(\\w+)\\((.*)$"));
    static const QRegularExpression resumed(QStringLiteral("^(\\d+)\\s+<\\.\\.\\. \\w+ resumed>(.*)$"));
    static const QRegularExpression fdPath(QStringLiteral("^\\d+<([^>]*)>"));
    static const QRegularExpression quoted(QStringLiteral("\"([^\"]*)\""));
    // A failure strace made up ends in "(INJECTED)"; a call it killed the
    // process at has no result, "= ?".
    const auto isInjected = [](const QString &tail) {
        return tail.endsWith(QLatin1String("(INJECTED)")) || tail.endsWith(QLatin1String("= ?"));
    };
    QHash<QString, int> unfinished; // pid -> index in calls
    while (!file.atEnd()) {
        const QString line = QString::fromLocal8Bit(file.readLine()).trimmed();
        const QRegularExpressionMatch rest = resumed.match(line);
        if (rest.hasMatch()) {
            const int index = unfinished.contains(rest.captured(1)) ? unfinished.take(rest.captured(1)) : -1;
            if (index >= 0 && index < calls.size() && isInjected(rest.captured(2)))
                calls[index].injected = true;
            continue;
        }
        const QRegularExpressionMatch m = start.match(line);
        if (!m.hasMatch())
            continue;
        Call call;
        call.name = m.captured(2);
        const QString args = m.captured(3);
        call.injected = isInjected(args);
        if (call.name == QLatin1String("write") || call.name == QLatin1String("pwrite64")) {
            call.path = fdPath.match(args).captured(1);
            if (!watched.contains(call.path))
                continue;
        } else if (call.name.startsWith(QLatin1String("rename")) || call.name.startsWith(QLatin1String("link"))) {
            auto names = quoted.globalMatch(args);
            if (names.hasNext())
                call.path = names.next().captured(1);
            if (names.hasNext())
                call.target = names.next().captured(1);
        } else {
            continue;
        }
        if (args.endsWith(QLatin1String("<unfinished ...>")))
            unfinished.insert(m.captured(1), calls.size());
        calls << call;
    }
    return calls;
}

Run runSync(const QStringList &straceOptions, const QString &appDir, const QMap<QString, QString> &environment,
            int stopAfterMs, int stopSignal)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        env.insert(it.key(), it.value());
    // LeakSanitizer cannot work in a traced process and ends it with an
    // error of its own; the untraced runs still look for leaks.
    if (!straceOptions.isEmpty()) {
        const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) + QStringLiteral("detect_leaks=0"));
    }
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList syncArguments{QStringLiteral("--app-dir"), appDir};
    if (straceOptions.isEmpty())
        process.start(GameTree::toolPath(QStringLiteral("varo-sync")), syncArguments);
    else
        process.start(stracePath(),
                      straceOptions + QStringList{QStringLiteral("--"), GameTree::toolPath(QStringLiteral("varo-sync"))}
                          + syncArguments);
    Run run;
    if (!process.waitForStarted(10000)) {
        run.output = process.errorString();
        return run;
    }
    // A Ctrl-C is only heard once the program listens for it: its first line
    // comes after that.
    const bool asked = stopSignal != SIGKILL && straceOptions.isEmpty();
    if (asked)
        process.waitForReadyRead(10000);
    if (!process.waitForFinished(stopAfterMs) && asked) {
        // Asked to stop, the run ends by itself.
        run.stoppedByTest = true;
        ::kill(pid_t(process.processId()), stopSignal);
        process.waitForFinished(30000);
        run.signalled = process.state() == QProcess::NotRunning;
    }
    if (process.state() != QProcess::NotRunning) {
        run.stoppedByTest = true;
        // Under strace the synchronisation is strace's child: killing it
        // ends strace too, with the same signal.
        const QList<qint64> children = straceOptions.isEmpty() ? QList<qint64>() : childrenOf(process.processId());
        for (const qint64 child : children)
            ::kill(pid_t(child), SIGKILL);
        if (children.isEmpty() || !process.waitForFinished(10000))
            process.kill();
        process.waitForFinished(10000);
    }
    run.output = QString::fromLocal8Bit(process.readAll());
    run.killed = process.exitStatus() != QProcess::NormalExit;
    run.exitCode = run.killed ? -1 : process.exitCode();
    return run;
}

} // namespace SyscallFaults
