// Interruption: varo-sync killed with SIGKILL at random moments of a
// synchronisation; one more uninterrupted run must always leave the folder
// exactly as published, without temporary files.

#include "support/SyncDeployment.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

namespace {

QStringList temporaryFiles(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(QLatin1String(".tmp")))
            found << path;
    }
    return found;
}

} // namespace

class TestSyncKill : public QObject
{
    Q_OBJECT

private slots:
    void killedAtRandomMomentsThenCompleted();
};

void TestSyncKill::killedAtRandomMomentsThenCompleted()
{
    SyncDeployment d;
    d.makeBaseGame();
    // A few larger files so that a run spends time downloading.
    for (int i = 0; i < 4; ++i)
        QVERIFY(TestFiles::write(d.sourceDir() + QStringLiteral("/models/big%1.dat").arg(i), TestFiles::noise(3 << 20, quint32(i))));
    QString output;
    QVERIFY2(d.publish(&output), qPrintable(output));
    QVERIFY2(d.serve(), qPrintable(d.server()->errorString()));

    QElapsedTimer clock;
    clock.start();
    const GameTree::Run reference = d.sync();
    QVERIFY2(reference.exitCode == 0, qPrintable(reference.output));
    const qint64 fullRunMs = qMax<qint64>(clock.elapsed(), 500);

    const quint32 seed = qEnvironmentVariableIsSet("VARO_KILL_SEED") ? quint32(qEnvironmentVariableIntValue("VARO_KILL_SEED"))
                                                                    : QRandomGenerator::global()->generate();
    qInfo("seed %u (set VARO_KILL_SEED to repeat), full run %lld ms", seed, fullRunMs);
    QRandomGenerator random(seed);
    const int rounds = qEnvironmentVariableIsSet("VARO_KILL_ROUNDS") ? qEnvironmentVariableIntValue("VARO_KILL_ROUNDS") : 20;

    for (int round = 0; round < rounds; ++round) {
        // Give the next run work: start over, damage the copy, or publish a
        // new version of the archive.
        switch (round % 3) {
        case 0:
            QVERIFY(QDir(d.clientGameDir()).removeRecursively());
            QFile::remove(d.clientDir() + QStringLiteral("/varo_launcher.bin"));
            break;
        case 1:
            QVERIFY(QFile::remove(d.clientGameDir() + QStringLiteral("/models/big1.dat")));
            QVERIFY(TestFiles::write(d.clientGameDir() + QStringLiteral("/data/handling.cfg"), "damaged"));
            break;
        case 2: {
            QList<bool> changed;
            for (int i = 0; i < 10; ++i)
                changed << bool(random.bounded(2));
            d.writeArchive(changed);
            QVERIFY(d.publish());
            break;
        }
        }

        QProcess client;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const auto extra = d.environment();
        for (auto it = extra.cbegin(); it != extra.cend(); ++it)
            env.insert(it.key(), it.value());
        client.setProcessEnvironment(env);
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.start(GameTree::toolPath(QStringLiteral("varo-sync")), {QStringLiteral("--app-dir"), d.clientDir()});
        QVERIFY(client.waitForStarted());
        const int delay = int(random.bounded(quint32(fullRunMs)));
        if (!client.waitForFinished(delay)) {
            client.kill();
            QVERIFY(client.waitForFinished(10000));
        }

        const GameTree::Run completion = d.sync();
        QVERIFY2(completion.exitCode == 0,
                 qPrintable(QStringLiteral("round %1 (killed after %2 ms):\n").arg(round).arg(delay) + completion.output));
        const QString diff = d.differenceFromPublished();
        QVERIFY2(diff.isEmpty(), qPrintable(QStringLiteral("round %1 (killed after %2 ms): %3").arg(round).arg(delay).arg(diff)));
        const QStringList leftovers = temporaryFiles(d.clientDir());
        QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QLatin1Char('\n'))));
    }
}

QTEST_GUILESS_MAIN(TestSyncKill)
#include "tst_synckill.moc"
