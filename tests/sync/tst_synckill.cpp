// Interruption: varo-sync killed with SIGKILL, over and over, at random
// moments of a synchronisation and, under strace, exactly at its N-th write,
// rename or link; and stopped with SIGINT (Ctrl-C) at random moments, after
// which it must end by itself with 130, whatever it had in flight. After each
// interruption every file of the game folder must be
// either what it was before the run or what the publication promises (the
// stores are atomic), the remembered state whole; one more uninterrupted run
// must then leave the folder exactly as published, without temporary files.
//
// VARO_KILL_ROUNDS sets how many interruptions to make (100 by default),
// VARO_KILL_SEED repeats a sequence (the seed is printed).

#include "support/FolderState.h"
#include "support/SyncDeployment.h"
#include "support/SyscallFaults.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <memory>

namespace {

// How the next run is given work.
enum Scenario {
    FreshStart,  // no game folder, no remembered state
    DamagedCopy, // a file gone, another overwritten
    NewArchive,  // a new publication with archive members changed
    OldCopy,     // a player's copy in the game's own archive form, never synchronised
    ScenarioCount
};

const char *scenarioName(int scenario)
{
    static const char *const names[] = {"fresh start", "damaged copy", "new archive", "old copy"};
    return names[scenario];
}

// The calls a kill can be aimed at; writes counted on the watched paths.
enum Aim { AtWrite, AtRename, AtLink, AimCount };

const char *aimSyscall(int aim)
{
    static const char *const names[] = {"write", "rename", "linkat"};
    return names[aim];
}

} // namespace

// Qt Test cuts long messages short: the run's whole context goes to the log.
#define VERIFY_RUN(condition, context)                                                                                 \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            qWarning().noquote() << (context);                                                                         \
        QVERIFY2(condition, "see the log above");                                                                      \
    } while (false)

class TestSyncKill : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killedThenCompleted();
    void stoppedAmidManyTransfers();

private:
    bool prepare(int scenario);
    bool writeArchive();
    // Runs one synchronisation of the scenario without killing it and
    // records how long it takes and which calls it makes.
    bool measure(int scenario);

    std::unique_ptr<SyncDeployment> d;
    QTemporaryDir scratch;
    QRandomGenerator random;
    quint32 seed = 0;
    QStringList watched;
    FolderState published;
    QMap<QString, QString> expected;
    std::array<qint64, ScenarioCount> durationMs{};
    std::array<std::array<int, AimCount>, ScenarioCount> callCounts{};
};

bool TestSyncKill::writeArchive()
{
    // Members keep, change or resize their content; now and then one is
    // dropped or one added. Fewer than half changed are fetched into the
    // archive, more make the launcher fetch it whole.
    QVector<TestFiles::Member> members;
    for (int i = 0; i < 10; ++i) {
        if (i == 9 && random.bounded(4) == 0)
            continue;
        const quint32 change = random.bounded(4u);
        const int size = qMax(100, 1500 + i * 2100 + (change == 3 ? int(random.bounded(9000u)) - 3000 : 0));
        members.append({QStringLiteral("member%1.dff").arg(i),
                        TestFiles::noise(size, 100 + quint32(i) + (change >= 2 ? random.generate() : 0u))});
    }
    if (random.bounded(4) == 0)
        members.append(
            {QStringLiteral("extra%1.dff").arg(random.bounded(100)), TestFiles::noise(4000, random.generate())});
    return TestFiles::ver2Archive(d->sourceDir() + QStringLiteral("/models/gta3.img"), members);
}

bool TestSyncKill::prepare(int scenario)
{
    const QString game = d->clientGameDir();
    switch (scenario) {
    case FreshStart:
        QFile::remove(d->clientDir() + QStringLiteral("/varo_launcher.bin"));
        return QDir(game).removeRecursively();
    case DamagedCopy:
        QFile::remove(game + QStringLiteral("/models/big1.dat"));
        return TestFiles::write(game + QStringLiteral("/data/handling.cfg"), "damaged");
    case NewArchive:
        if (!writeArchive())
            return false;
        if (random.bounded(2))
            TestFiles::write(d->sourceDir() + QStringLiteral("/data/handling.cfg"),
                             TestFiles::noise(5000, random.generate()));
        if (!d->publish())
            return false;
        published = FolderState::published(d->sourceDir());
        expected = GameTree::expectedAfterSync(d->sourceDir());
        return true;
    case OldCopy: {
        QFile::remove(d->clientDir() + QStringLiteral("/varo_launcher.bin"));
        if (!QDir(game).removeRecursively())
            return false;
        // The published folder as it is, archives in their own form, with
        // one file from an older version.
        return GameTree::copyTree(d->sourceDir(), game)
            && TestFiles::write(game + QStringLiteral("/models/big2.dat"), TestFiles::noise(1 << 20, 77));
    }
    }
    return false;
}

bool TestSyncKill::measure(int scenario)
{
    if (!prepare(scenario))
        return false;
    const QString trace = scratch.filePath(QStringLiteral("count.trace"));
    const SyscallFaults::Run counted =
        SyscallFaults::runSync({QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-y"), QStringLiteral("-s"),
                                QStringLiteral("0"), QStringLiteral("-o"), trace, QStringLiteral("-e"),
                                QStringLiteral("trace=write,rename,linkat")},
                               d->clientDir(), d->environment(), 120000);
    if (counted.exitCode != 0) {
        qWarning().noquote() << counted.output;
        return false;
    }
    const QSet<QString> paths(watched.cbegin(), watched.cend());
    for (const SyscallFaults::Call &call : SyscallFaults::readTrace(trace, paths)) {
        for (int aim = 0; aim < AimCount; ++aim) {
            if (call.name == QLatin1String(aimSyscall(aim)))
                ++callCounts[scenario][aim];
        }
    }
    if (!prepare(scenario))
        return false;
    QElapsedTimer clock;
    clock.start();
    const GameTree::Run plain = d->sync();
    durationMs[scenario] = qMax<qint64>(clock.elapsed(), 200);
    qInfo("%s: %lld ms, %d writes, %d renames, %d links", scenarioName(scenario), durationMs[scenario],
          callCounts[scenario][AtWrite], callCounts[scenario][AtRename], callCounts[scenario][AtLink]);
    return plain.exitCode == 0;
}

void TestSyncKill::initTestCase()
{
    QString why;
    if (!SyscallFaults::available(&why))
        QSKIP(qPrintable(why));
    seed = qEnvironmentVariableIsSet("VARO_KILL_SEED") ? quint32(qEnvironmentVariableIntValue("VARO_KILL_SEED"))
                                                       : QRandomGenerator::global()->generate();
    qInfo("seed %u (set VARO_KILL_SEED to repeat)", seed);
    random.seed(seed);

    d = std::make_unique<SyncDeployment>();
    d->makeBaseGame();
    // A few larger files so that a run spends time downloading.
    for (int i = 0; i < 4; ++i)
        QVERIFY(TestFiles::write(d->sourceDir() + QStringLiteral("/models/big%1.dat").arg(i),
                                 TestFiles::noise(1 << 20, quint32(i))));
    QString output;
    QVERIFY2(d->publish(&output), qPrintable(output));
    QVERIFY2(d->serve(), qPrintable(d->server()->errorString()));
    published = FolderState::published(d->sourceDir());
    expected = GameTree::expectedAfterSync(d->sourceDir());
    watched = SyscallFaults::watchedPaths(d->clientDir(), d->sourceDir());
    for (int scenario = 0; scenario < ScenarioCount; ++scenario)
        QVERIFY2(measure(scenario), scenarioName(scenario));
}

void TestSyncKill::killedThenCompleted()
{
    const int wanted = qEnvironmentVariableIsSet("VARO_KILL_ROUNDS") ? qEnvironmentVariableIntValue("VARO_KILL_ROUNDS")
                                                                     : 100;
    int interruptions = 0;
    int round = 0;
    // A kill aimed past the last call of a run does not happen; such
    // rounds are checked all the same but do not count.
    for (; interruptions < wanted && round < 3 * wanted + 10; ++round) {
        const int scenario = round % ScenarioCount;
        QVERIFY2(prepare(scenario), scenarioName(scenario));
        const FolderState before = FolderState::capture(d->clientGameDir());

        QString how;
        SyscallFaults::Run run;
        const bool stop = round % 4 == 2;
        if (round % 2 == 0) {
            const int delay = int(random.bounded(quint32(durationMs[scenario])));
            how = QStringLiteral("%1 after %2 ms")
                      .arg(stop ? QStringLiteral("stopped") : QStringLiteral("killed"))
                      .arg(delay);
            run = SyscallFaults::runSync({}, d->clientDir(), d->environment(), delay, stop ? SIGINT : SIGKILL);
        } else {
            const int aim = int(random.bounded(quint32(AimCount)));
            const int calls = qMax(1, callCounts[scenario][aim]);
            const int n = 1 + int(random.bounded(quint32(calls)));
            how = QStringLiteral("killed at %1 %2").arg(QLatin1String(aimSyscall(aim))).arg(n);
            QStringList options{
                QStringLiteral("-f"),
                QStringLiteral("-qq"),
                QStringLiteral("-o"),
                QStringLiteral("/dev/null"),
                QStringLiteral("-e"),
                QStringLiteral("trace=") + QLatin1String(aimSyscall(aim)),
                QStringLiteral("-e"),
                QStringLiteral("inject=%1:signal=KILL:when=%2").arg(QLatin1String(aimSyscall(aim))).arg(n)};
            // strace 6.1 watches paths for writes only (see SyscallFaults).
            if (aim == AtWrite)
                options += SyscallFaults::pathOptions(watched);
            run = SyscallFaults::runSync(options, d->clientDir(), d->environment(), 120000);
            QVERIFY2(!run.stoppedByTest, qPrintable(how + QLatin1Char('\n') + run.output));
        }
        const QString context = QStringLiteral("seed %1, round %2 (%3), %4%5:\n")
                                    .arg(seed)
                                    .arg(round)
                                    .arg(QLatin1String(scenarioName(scenario)), how,
                                         run.killed || run.signalled ? QString() : QStringLiteral(" (ended first)"))
            + run.output;
        if (stop) {
            // Ctrl-C ends the run by itself, never by a crash (with 0 when
            // it came as the run was ending anyway).
            VERIFY_RUN(!run.killed && (run.exitCode == 0 || (run.signalled && run.exitCode == 130)), context);
            interruptions += run.signalled && run.exitCode == 130 ? 1 : 0;
        } else if (run.killed) {
            ++interruptions;
        } else {
            QVERIFY2(run.exitCode == 0, qPrintable(context));
        }

        const QStringList broken = FolderState::violations(d->clientGameDir(), before, published);
        QVERIFY2(broken.isEmpty(), qPrintable(context + broken.join(QLatin1Char('\n'))));
        QVERIFY2(FolderState::rememberedStateWhole(d->clientDir()), qPrintable(context));

        const GameTree::Run completion = d->sync();
        QVERIFY2(completion.exitCode == 0, qPrintable(context + completion.output));
        const QString diff = GameTree::difference(GameTree::digest(d->clientGameDir()), expected);
        QVERIFY2(diff.isEmpty(), qPrintable(context + diff));
        const QStringList leftovers = FolderState::leftovers(d->clientDir());
        QVERIFY2(leftovers.isEmpty(), qPrintable(context + leftovers.join(QLatin1Char('\n'))));
    }
    qInfo("%d interruptions in %d rounds", interruptions, round);
    QVERIFY2(interruptions >= wanted, "too many runs ended before their kill");
}

// Ctrl-C while thousands of small files travel, many transfers on their way
// at any moment: every stop ends the run by itself, with 130, and leaves
// every file old or new.
void TestSyncKill::stoppedAmidManyTransfers()
{
    SyncDeployment many;
    for (int i = 0; i < 2000; ++i)
        QVERIFY(TestFiles::write(many.sourceDir() + QStringLiteral("/text/s%1/f%2.txt").arg(i % 20).arg(i),
                                 QByteArray::number(i)));
    QVERIFY(many.publish());
    QVERIFY2(many.serve(), qPrintable(many.server()->errorString()));
    const FolderState target = FolderState::published(many.sourceDir());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(many.sync().exitCode == 0);
    const quint32 duration = quint32(qMax<qint64>(clock.elapsed(), 200));
    const int rounds =
        qMax(10,
             (qEnvironmentVariableIsSet("VARO_KILL_ROUNDS") ? qEnvironmentVariableIntValue("VARO_KILL_ROUNDS") : 100)
                 / 8);
    for (int round = 0; round < rounds; ++round) {
        QFile::remove(many.clientDir() + QStringLiteral("/varo_launcher.bin"));
        QVERIFY(QDir(many.clientGameDir()).removeRecursively());
        const FolderState before = FolderState::capture(many.clientGameDir());
        const int delay = int(random.bounded(duration));
        const SyscallFaults::Run run = SyscallFaults::runSync({}, many.clientDir(), many.environment(), delay, SIGINT);
        const QString context =
            QStringLiteral("seed %1, round %2, stopped after %3 ms:\n").arg(seed).arg(round).arg(delay) + run.output;
        VERIFY_RUN(!run.killed && (run.exitCode == 0 || (run.signalled && run.exitCode == 130)), context);
        const QStringList broken = FolderState::violations(many.clientGameDir(), before, target);
        QVERIFY2(broken.isEmpty(), qPrintable(context + broken.join(QLatin1Char('\n'))));
        QVERIFY2(FolderState::rememberedStateWhole(many.clientDir()), qPrintable(context));
    }
    const GameTree::Run completion = many.sync();
    QVERIFY2(completion.exitCode == 0, qPrintable(completion.output));
    QCOMPARE(many.differenceFromPublished(), QString());
}

QTEST_GUILESS_MAIN(TestSyncKill)
#include "tst_synckill.moc"
