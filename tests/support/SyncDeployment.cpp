#include "support/SyncDeployment.h"

#include "support/TestFiles.h"

#include <QDir>
#include <QFileInfo>

SyncDeployment::SyncDeployment(const QString &baseDir, const QString &clientFolderName)
    : root(baseDir.isEmpty() ? QDir::tempPath() + QStringLiteral("/varo-e2e-XXXXXX")
                             : baseDir + QStringLiteral("/varo-e2e-XXXXXX"))
    , clientFolder(clientFolderName)
{
    QDir().mkpath(sourceDir());
    QDir().mkpath(clientDir());
}

QString SyncDeployment::memoryBackedDir()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    return shm.isDir() && shm.isWritable() ? shm.filePath() : QString();
}

void SyncDeployment::makeBaseGame()
{
    const QString g = sourceDir();
    TestFiles::write(g + QStringLiteral("/gta_sa.exe"), "#!/bin/sh\nexit 0\n");
    TestFiles::write(g + QStringLiteral("/data/handling.cfg"), TestFiles::noise(5000, 1));
    TestFiles::write(g + QStringLiteral("/data/maps/city/city.ipl"), TestFiles::noise(70000, 2));
    TestFiles::write(g + QStringLiteral("/data/paths/paths.img"), TestFiles::noise(9000, 3));
    TestFiles::write(g + QStringLiteral("/audio/config/banklkup.dat"), TestFiles::noise(300, 4));
    TestFiles::write(g + QStringLiteral("/audio/sfx/genrl"), TestFiles::noise(200000, 5));
    TestFiles::write(g + QStringLiteral("/text/american.gxt"), QByteArray());
    QDir().mkpath(g + QStringLiteral("/screens"));
    writeArchive();
}

void SyncDeployment::writeArchive(const QList<bool> &changed, int bigBytes)
{
    QVector<TestFiles::Member> members;
    for (int i = 0; i < 10; ++i) {
        const bool different = i < changed.size() && changed.at(i);
        const int size = 1500 + i * 2100;
        members.append(
            {QStringLiteral("member%1.dff").arg(i), TestFiles::noise(size, quint32(100 + i + (different ? 1000 : 0)))});
    }
    if (bigBytes > 0)
        members.append({QStringLiteral("big.dff"), QByteArray(bigBytes, 'b')});
    TestFiles::ver2Archive(sourceDir() + QStringLiteral("/models/gta3.img"), members);
}

bool SyncDeployment::publish(QString *output)
{
    const GameTree::Run run = GameTree::runTool(QStringLiteral("varo-publish"), {sourceDir(), mirrorDir()});
    if (output)
        *output = run.output;
    return run.exitCode == 0;
}

bool SyncDeployment::serve(const QString &extraConfig)
{
    QDir().mkpath(mirrorDir());
    nginx = std::make_unique<NginxServer>(mirrorDir());
    if (!extraConfig.isEmpty())
        nginx->addServerConfig(extraConfig);
    return nginx->start();
}

QMap<QString, QString> SyncDeployment::environment() const
{
    return {{QStringLiteral("VARO_API_BASE"), nginx->url(QStringLiteral("/launcher_api"))},
            {QStringLiteral("VARO_MIRROR_BASE"), nginx->url(QStringLiteral("/"))},
            {QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("varo.*.debug=false")}};
}

GameTree::Run SyncDeployment::sync(const QMap<QString, QString> &extraEnvironment)
{
    QMap<QString, QString> env = environment();
    for (auto it = extraEnvironment.cbegin(); it != extraEnvironment.cend(); ++it)
        env.insert(it.key(), it.value());
    return GameTree::runTool(QStringLiteral("varo-sync"), {QStringLiteral("--app-dir"), clientDir()}, env);
}

void SyncDeployment::startSync(QProcess &client) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const auto extra = environment();
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        env.insert(it.key(), it.value());
    client.setProcessEnvironment(env);
    client.setProcessChannelMode(QProcess::MergedChannels);
    GameTree::startTool(client, QStringLiteral("varo-sync"), {QStringLiteral("--app-dir"), clientDir()});
}

QString SyncDeployment::differenceFromPublished() const
{
    return GameTree::difference(GameTree::digest(clientGameDir()), GameTree::expectedAfterSync(sourceDir()));
}

QStringList SyncDeployment::blockRequests() const
{
    QStringList blocks;
    for (const QString &path : nginx->requestedPaths()) {
        if (path.startsWith(QLatin1String("/pcgamefile/")))
            blocks << path.mid(int(qstrlen("/pcgamefile/filesystem/")));
    }
    return blocks;
}
