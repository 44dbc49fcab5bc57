#pragma once

#include "support/GameTree.h"
#include "support/NginxServer.h"

#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// One published game folder served by nginx on 127.0.0.1, and one player's
// launcher folder that varo-sync synchronises from it.
class SyncDeployment final
{
public:
    // Everything lives in a temporary folder below baseDir (the system's
    // temporary folder when empty). Tests that make or remove tens of
    // thousands of files or folders may pass memoryBackedDir(): some disks
    // take milliseconds per removed folder or per synced file. clientFolder:
    // where the player's launcher folder lies, relative to that folder.
    explicit SyncDeployment(const QString &baseDir = QString(), const QString &clientFolder = QStringLiteral("client"));
    static QString memoryBackedDir();

    QString sourceDir() const { return root.filePath(QStringLiteral("game")); }
    QString mirrorDir() const { return root.filePath(QStringLiteral("mirror")); }
    QString clientDir() const { return root.filePath(clientFolder); }
    QString clientGameDir() const { return clientDir() + QStringLiteral("/gtasa"); }

    // A small game folder: plain files in nested folders, a stand-in
    // executable, a VER2 archive of ten members, a one-part audio file.
    void makeBaseGame();
    // The archive's ten members, member i changed when changed[i] is set,
    // and an eleventh of bigBytes when that is not 0 (it makes the archive
    // travel whole in more than one part).
    void writeArchive(const QList<bool> &changed = {}, int bigBytes = 0);

    bool publish(QString *output = nullptr);
    // Starts nginx on the mirror; extra server directives may come first.
    bool serve(const QString &extraConfig = QString());
    NginxServer *server() { return nginx.get(); }

    QMap<QString, QString> environment() const;
    GameTree::Run sync(const QMap<QString, QString> &extraEnvironment = {});
    // Starts varo-sync on the client folder and returns at once, for a test
    // that changes the mirror or the folder while it runs.
    void startSync(QProcess &client) const;

    // The client's game folder against what the publication promises.
    QString differenceFromPublished() const;
    // Block requests (under /pcgamefile/) that nginx has logged.
    QStringList blockRequests() const;

private:
    QTemporaryDir root;
    QString clientFolder;
    std::unique_ptr<NginxServer> nginx;
};
