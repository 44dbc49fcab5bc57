#pragma once

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <csignal>

// Runs varo-sync under strace, which can make chosen system calls fail
// (-e inject=write:error=ENOSPC:when=N) or kill the process when it reaches
// one (-e inject=rename:signal=KILL:when=N), and reads back which calls a
// run made.
//
// strace counts N per thread. Renames and links come from the sync worker
// alone, so the N-th is the same call from one run to the next with the
// same starting folder. Writes come from every thread (wake-ups between
// threads, sockets, the console), so they are counted on chosen paths only
// (-P path: only calls on those paths count; strace 6.1 matches -P for
// write but not for rename). The writes that receive a transfer still vary
// in number with how the network cuts it.
namespace SyscallFaults {

// Whether strace is installed and may trace a child of this process; the
// reason when not.
bool available(QString *why);

// Every path a synchronisation of the published folder sourceRoot into
// appDir may write to or rename: each file of the folder, its temporary
// names (TempNames, and ".img.tmp" for archives), and the remembered state
// next to the launcher.
QStringList watchedPaths(const QString &appDir, const QString &sourceRoot);

// "-P path" for each path.
QStringList pathOptions(const QStringList &paths);

// One system call of a traced run.
struct Call
{
    QString name;          // write, rename, linkat ...
    QString path;          // the file written, or the name renamed or linked from
    QString target;        // the name renamed or linked to
    bool injected = false; // strace made it fail or killed the process at it
};

// The calls of a trace written with -o file -y, in order: writes to one of
// the watched paths, every rename and link.
QVector<Call> readTrace(const QString &traceFile, const QSet<QString> &watched);

struct Run
{
    int exitCode = -1;
    bool killed = false;        // ended by a signal (an injected SIGKILL, or the test's)
    bool stoppedByTest = false; // still running after the time allowed, so killed
    bool signalled = false;     // sent stopSignal (not SIGKILL) and ended by itself
    QString output;             // stdout and stderr together
};

// Runs varo-sync --app-dir appDir with extra environment variables, under
// strace with the given options when straceOptions is not empty. After
// stopAfterMs the synchronisation is sent stopSignal: SIGKILL, or SIGINT
// (Ctrl-C), counted from its first line of output (it listens for the
// signal by then), after which it must end by itself (it is killed after
// 30 s).
Run runSync(const QStringList &straceOptions, const QString &appDir, const QMap<QString, QString> &environment,
            int stopAfterMs, int stopSignal = SIGKILL);

} // namespace SyscallFaults
