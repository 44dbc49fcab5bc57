#pragma once

#include "support/GameTree.h"
#include "support/NginxServer.h"

#include <QMap>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// One published game folder served by nginx on 127.0.0.1, and one player's
// launcher folder that varo-sync synchronises from it.
class SyncDeployment final
{
public:
    // clientFolder: where the player's launcher folder lies, relative to the
    // deployment's own temporary folder.
    explicit SyncDeployment(const QString &clientFolder = QStringLiteral("client"));

    QString sourceDir() const { return root.filePath(QStringLiteral("game")); }
    QString mirrorDir() const { return root.filePath(QStringLiteral("mirror")); }
    QString clientDir() const { return root.filePath(clientFolder); }
    QString clientGameDir() const { return clientDir() + QStringLiteral("/gtasa"); }

    // A small game folder: plain files in nested folders, a stand-in
    // executable, a VER2 archive of ten members, a one-part audio file.
    void makeBaseGame();
    // The archive's ten members, member i changed when changed[i] is set.
    void writeArchive(const QList<bool> &changed = {});

    bool publish(QString *output = nullptr);
    // Starts nginx on the mirror; extra server directives may come first.
    bool serve(const QString &extraConfig = QString());
    NginxServer *server() { return nginx.get(); }

    QMap<QString, QString> environment() const;
    GameTree::Run sync(const QMap<QString, QString> &extraEnvironment = {});

    // The client's game folder against what the publication promises.
    QString differenceFromPublished() const;
    // Block requests (under /pcgamefile/) that nginx has logged.
    QStringList blockRequests() const;

private:
    QTemporaryDir root;
    QString clientFolder;
    std::unique_ptr<NginxServer> nginx;
};
