#pragma once

#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

// Whole game folders for end-to-end tests: what a folder holds, what a
// synchronised copy of a published folder must hold, and running the
// operators' tools.
namespace GameTree {

// Relative path -> MD5 of every file, and relative path -> "dir" for every
// folder, below root (hidden entries and symbolic links left out, as the
// launcher leaves them).
QMap<QString, QString> digest(const QString &root);

// Copies the archive at source to target in the form the launcher's rebuild
// gives it (directory sorted by name, members packed from sector 200).
bool canonicalArchive(const QString &source, const QString &target);

// The digest a synchronised copy of the published source folder must have:
// the source's, with every IMG archive in canonical form.
QMap<QString, QString> expectedAfterSync(const QString &sourceRoot);

// Copies every folder and file of the digest below from to the same place
// below to.
bool copyTree(const QString &from, const QString &to);

// Human-readable difference of two digests, empty when equal.
QString difference(const QMap<QString, QString> &actual, const QMap<QString, QString> &expected);

// Path of a tool binary built with the project, and of the launcher.
QString toolPath(const QString &name);
QString launcherPath();
// The tests' stand-in Windows program (tests/support/windows/standin.cpp),
// in a Windows build.
QString standInPath();

// Starts a tool (as toolPath names it) with arguments.
void startTool(QProcess &process, const QString &name, const QStringList &arguments);

struct Run
{
    int exitCode = -1;
    bool crashed = false;
    QString output; // stdout and stderr together
};

// Runs a tool to its end (or kills it after timeoutMs) with extra
// environment variables.
Run runTool(const QString &name, const QStringList &arguments, const QMap<QString, QString> &environment = {},
            int timeoutMs = 120000);

} // namespace GameTree
