// Disk faults: varo-sync brings a synchronised copy up to a new publication
// while strace makes one chosen system call fail: a write with ENOSPC (the
// first store, in the middle of a file being unpacked or assembled, inside
// an archive, while the remembered state is saved) or a rename with EIO. The
// run must report the fault and leave it for the next pass, never put a
// half-written file in place, never delete what was right; one more run
// without faults must then leave the folder exactly as published.

#include "support/FolderState.h"
#include "support/SyncDeployment.h"
#include "support/SyscallFaults.h"
#include "support/TestFiles.h"

#include "files/TempNames.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

// Copies a folder, keeping modification times: the remembered state knows
// the files by them.
bool copyTree(const QString &from, const QString &to)
{
    if (!QDir().mkpath(to))
        return false;
    const QDir base(from);
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + QLatin1Char('/') + base.relativeFilePath(path);
        if (it.fileInfo().isDir()) {
            if (!QDir().mkpath(target))
                return false;
            continue;
        }
        if (!QFile::copy(path, target))
            return false;
        QFile copy(target);
        if (!copy.open(QIODevice::ReadWrite)
            || !copy.setFileTime(it.fileInfo().lastModified(), QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

} // namespace

class TestDiskFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void faultIsContained_data();
    void faultIsContained();

private:
    bool restoreClient();

    std::unique_ptr<SyncDeployment> d;
    QTemporaryDir scratch;
    QString pristine;
    QStringList watched;
    QVector<SyscallFaults::Call> calls;
    FolderState published;
    QMap<QString, QString> expected;
};

bool TestDiskFaults::restoreClient()
{
    return QDir(d->clientDir()).removeRecursively() && copyTree(pristine, d->clientDir());
}

void TestDiskFaults::initTestCase()
{
    QString why;
    if (!SyscallFaults::available(&why))
        QSKIP(qPrintable(why));

    d = std::make_unique<SyncDeployment>();
    d->makeBaseGame();
    // Unpacked in three pieces of 256 KiB and less, so a write can fail
    // between pieces.
    QVERIFY(TestFiles::write(d->sourceDir() + QStringLiteral("/models/big.dat"), TestFiles::noise(700000, 11)));
    QString output;
    QVERIFY2(d->publish(&output), qPrintable(output));
    QVERIFY2(d->serve(), qPrintable(d->server()->errorString()));
    const GameTree::Run first = d->sync();
    QVERIFY2(first.exitCode == 0, qPrintable(first.output));
    scratch.setAutoRemove(!qEnvironmentVariableIsSet("VARO_FAULT_KEEP"));
    pristine = scratch.filePath(QStringLiteral("pristine"));
    QVERIFY(copyTree(d->clientDir(), pristine));

    // The next publication changes plain files, the audio file and three
    // archive members (fetched into the archive), adds a folder with a file
    // and drops a file.
    const QString g = d->sourceDir();
    QVERIFY(TestFiles::write(g + QStringLiteral("/data/handling.cfg"), TestFiles::noise(6000, 21)));
    QVERIFY(TestFiles::write(g + QStringLiteral("/models/big.dat"), TestFiles::noise(650000, 22)));
    QVERIFY(TestFiles::write(g + QStringLiteral("/audio/sfx/genrl"), TestFiles::noise(210000, 23)));
    QVERIFY(TestFiles::write(g + QStringLiteral("/data/extra/added.dat"), TestFiles::noise(40000, 24)));
    QVERIFY(QFile::remove(g + QStringLiteral("/text/american.gxt")));
    // In the archive one member grows (stored behind the last), one shrinks
    // and one keeps its size (both stored in place), one is added and one
    // dropped: the archive must be rebuilt to its published form.
    QVector<TestFiles::Member> members;
    for (int i = 0; i < 9; ++i) {
        const int size = 1500 + i * 2100 + (i == 1 ? 6000 : i == 4 ? -3000 : 0);
        const bool changed = i == 1 || i == 4 || i == 7;
        members.append(
            {QStringLiteral("member%1.dff").arg(i), TestFiles::noise(size, quint32(100 + i + (changed ? 1000 : 0)))});
    }
    members.append({QStringLiteral("added.dff"), TestFiles::noise(5000, 31)});
    QVERIFY(TestFiles::ver2Archive(g + QStringLiteral("/models/gta3.img"), members));
    QVERIFY2(d->publish(&output), qPrintable(output));
    published = FolderState::published(g);
    expected = GameTree::expectedAfterSync(g);

    // One run without faults, traced: which calls it makes, in which order.
    QVERIFY(restoreClient());
    watched = SyscallFaults::watchedPaths(d->clientDir(), g);
    const QString trace = scratch.filePath(QStringLiteral("count.trace"));
    const SyscallFaults::Run counted =
        SyscallFaults::runSync({QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-y"), QStringLiteral("-s"),
                                QStringLiteral("0"), QStringLiteral("-o"), trace, QStringLiteral("-e"),
                                QStringLiteral("trace=write,pwrite64,rename,renameat,renameat2,link,linkat")},
                               d->clientDir(), d->environment(), 120000);
    QVERIFY2(counted.exitCode == 0, qPrintable(counted.output));
    QCOMPARE(GameTree::difference(GameTree::digest(d->clientGameDir()), expected), QString());
    calls = SyscallFaults::readTrace(trace, QSet<QString>(watched.cbegin(), watched.cend()));
    QStringList seen;
    for (const SyscallFaults::Call &call : qAsConst(calls))
        seen << call.name + QLatin1Char(' ') + QFileInfo(call.path).fileName()
                + (call.target.isEmpty() ? QString() : QStringLiteral(" -> ") + QFileInfo(call.target).fileName());
    qInfo("a run without faults: %s", qPrintable(seen.join(QStringLiteral(", "))));
    // Qt renames with rename(2); a change to renameat2 would make every rename
    // row below inject nothing.
    QVERIFY(std::any_of(calls.cbegin(), calls.cend(),
                        [](const SyscallFaults::Call &call) { return call.name == QLatin1String("rename"); }));
}

void TestDiskFaults::faultIsContained_data()
{
    QTest::addColumn<QString>("syscall");
    QTest::addColumn<QString>("error"); // an errno name, or KILL: the process is killed there
    // The call chosen: the occurrence-th (1-based, -1 the last) call of the
    // syscall whose path or new name ends in target (empty: any).
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("occurrence");
    // How many calls in a row fail: 1 once, 0 every one from then on (the
    // run cannot finish: it stops by itself, naming the file and why).
    QTest::addColumn<int>("repeat");

    const QString w = QStringLiteral("write");
    const QString r = QStringLiteral("rename");
    const QString l = QStringLiteral("linkat");
    const QString full = QStringLiteral("ENOSPC");
    const QString io = QStringLiteral("EIO");
    QTest::newRow("write: the first one") << w << full << QString() << 1 << 1;
    QTest::newRow("write: receiving a block")
        << w << full << TempNames::block(QStringLiteral("models/big.dat")) << 1 << 1;
    // Small blocks go through the file's buffer: the write fails as it is
    // flushed, and again as the file is closed.
    QTest::newRow("write: receiving a small block")
        << w << full << TempNames::block(QStringLiteral("data/handling.cfg")) << 1 << 2;
    QTest::newRow("write: middle of unpacking")
        << w << full << TempNames::unpacked(QStringLiteral("models/big.dat")) << 2 << 1;
    QTest::newRow("write: unpacking, full for 4 writes")
        << w << full << TempNames::unpacked(QStringLiteral("models/big.dat")) << 2 << 4;
    QTest::newRow("write: assembling parts")
        << w << full << TempNames::assembled(QStringLiteral("audio/sfx/genrl")) << 1 << 1;
    // Into the archive: its directory as a member is removed; per member
    // stored, its data, then the directory (added.dff, member1 grown and
    // stored behind the last, member4 shrunk and member7 the same size, both
    // stored in place); the directory once more as the archive closes, and
    // once as the rebuild sorts it.
    const QString img = QStringLiteral("models/gta3.img");
    QTest::newRow("write: removing a member") << w << full << img << 1 << 1;
    QTest::newRow("write: archive member") << w << full << img << 2 << 1;
    QTest::newRow("write: archive directory") << w << full << img << 3 << 1;
    QTest::newRow("write: member stored in place") << w << full << img << 6 << 1;
    QTest::newRow("write: its directory") << w << full << img << 7 << 1;
    // The other members on their way are dropped with the archive.
    QTest::newRow("write: archive members, disk stays full") << w << full << img << 2 << 0;
    QTest::newRow("write: closing the archive") << w << full << img << 10 << 1;
    QTest::newRow("write: sorting for the rebuild") << w << full << img << 11 << 1;
    QTest::newRow("write: archive rebuild") << w << full << QStringLiteral("models/gta3.img.tmp") << 2 << 1;
    QTest::newRow("write: the last one") << w << full << QStringLiteral("models/gta3.img.tmp") << -1 << 1;
    QTest::newRow("write: disk stays full")
        << w << full << TempNames::unpacked(QStringLiteral("models/big.dat")) << 1 << 0;
    // The remembered state is written into an unnamed file that strace
    // cannot single out; saving it ends in linking that file into the
    // folder. Over an old one the first link fails as it should, and the
    // file is linked under a temporary name and renamed over the old one;
    // Qt retries a failed temporary link under another name, so the links
    // that count are the odd ones.
    QTest::newRow("link: remembered state, first save") << l << full << QString() << 1 << 1;
    QTest::newRow("link: remembered state, third save") << l << full << QString() << 5 << 1;
    QTest::newRow("rename: the first") << r << io << QString() << 1 << 1;
    QTest::newRow("rename: storing a plain file") << r << io << QStringLiteral("models/big.dat") << 1 << 1;
    QTest::newRow("rename: storing the audio file") << r << io << QStringLiteral("audio/sfx/genrl") << 1 << 1;
    QTest::newRow("rename: archive rebuild") << r << io << QStringLiteral("models/gta3.img") << 1 << 1;
    QTest::newRow("rename: remembered state") << r << io << QStringLiteral("varo_launcher.bin") << 2 << 1;
    QTest::newRow("rename: remembered state, the fourth") << r << io << QStringLiteral("varo_launcher.bin") << 4 << 1;
    QTest::newRow("rename: every store fails") << r << io << QString() << 1 << 0;

    // Killed at one chosen call instead (tst_synckill kills at random ones).
    const QString kill = QStringLiteral("KILL");
    QTest::newRow("kill: member stored in place, directory not yet") << w << kill << img << 7 << 1;
    QTest::newRow("kill: before the rebuild") << w << kill << img << 11 << 1;
    QTest::newRow("kill: remembered state linked, not renamed")
        << r << kill << QStringLiteral("varo_launcher.bin") << 2 << 1;
}

void TestDiskFaults::faultIsContained()
{
    QFETCH(QString, syscall);
    QFETCH(QString, error);
    QFETCH(QString, target);
    QFETCH(int, occurrence);
    QFETCH(int, repeat);

    // Writes are counted on the paths strace watches: the one file named by
    // target (or every path the run may write), so the N-th stays the same
    // call though the network cuts transfers into more or fewer writes.
    // Renames and links are counted all together, and how often the
    // remembered state is saved depends on timing: a run that hits another
    // call than the one meant is repeated with N corrected from its trace.
    const bool byPath = syscall == QLatin1String("write");
    const bool killed = error == QLatin1String("KILL");
    QStringList paths;
    for (const QString &path : qAsConst(watched)) {
        if (target.isEmpty() || path.endsWith(QLatin1Char('/') + target))
            paths << path;
    }
    QVERIFY2(!paths.isEmpty(), "no such path");
    const QSet<QString> pathSet(paths.cbegin(), paths.cend());
    const auto counts = [&](const SyscallFaults::Call &call) {
        return call.name == syscall && (!byPath || pathSet.contains(call.path));
    };
    const auto meant = [&](const SyscallFaults::Call &call) {
        return byPath || target.isEmpty() || call.path.endsWith(QLatin1Char('/') + target)
            || call.target.endsWith(QLatin1Char('/') + target);
    };
    // 1-based positions, among the counted calls, of the calls meant.
    const auto positions = [&](const QVector<SyscallFaults::Call> &trace) {
        QVector<int> found;
        int counted = 0;
        for (const SyscallFaults::Call &call : trace) {
            if (!counts(call))
                continue;
            ++counted;
            if (meant(call))
                found << counted;
        }
        return found;
    };
    const QVector<int> chosen = positions(calls);
    QVERIFY2(!chosen.isEmpty(), "the run without faults made no such call");
    if (occurrence < 0)
        occurrence += chosen.size() + 1;
    QVERIFY2(occurrence >= 1 && occurrence <= chosen.size(), "the run without faults made fewer such calls");
    int n = chosen.at(occurrence - 1);

    SyscallFaults::Run faulty;
    FolderState before;
    QString context;
    bool hit = false;
    for (int attempt = 0; attempt < 6 && !hit; ++attempt) {
        const QString when = repeat == 0 ? QStringLiteral("%1+").arg(n)
            : repeat == 1                ? QString::number(n)
                                         : QStringLiteral("%1..%2").arg(n).arg(n + repeat - 1);
        QVERIFY(restoreClient());
        before = FolderState::capture(d->clientGameDir());
        const QString trace = scratch.filePath(QStringLiteral("fault.trace"));
        QStringList options{QStringLiteral("-f"),
                            QStringLiteral("-qq"),
                            QStringLiteral("-y"),
                            QStringLiteral("-s"),
                            QStringLiteral("0"),
                            QStringLiteral("-o"),
                            trace,
                            QStringLiteral("-e"),
                            QStringLiteral("trace=") + syscall,
                            QStringLiteral("-e"),
                            QStringLiteral("inject=%1:%2:when=%3")
                                .arg(syscall, killed ? QStringLiteral("signal=KILL") : QStringLiteral("error=") + error,
                                     when)};
        if (byPath)
            options += SyscallFaults::pathOptions(paths);
        faulty = SyscallFaults::runSync(options, d->clientDir(), d->environment(), 120000);
        context = QStringLiteral("%1 fails at call %2 (exit %3%4):\n%5")
                      .arg(syscall, when)
                      .arg(faulty.exitCode)
                      .arg(faulty.stoppedByTest ? QStringLiteral(", stopped") : QString(), faulty.output);

        // Up to the injected call the run did what the run without faults
        // did.
        QVector<SyscallFaults::Call> seen;
        for (const SyscallFaults::Call &call : SyscallFaults::readTrace(trace, pathSet)) {
            if (counts(call))
                seen << call;
        }
        const auto injected = std::find_if(seen.cbegin(), seen.cend(),
                                           [](const SyscallFaults::Call &call) { return call.injected; });
        const QVector<int> meantBefore = positions(QVector<SyscallFaults::Call>(seen.cbegin(), injected));
        if (injected != seen.cend() && meant(*injected) && meantBefore.size() == occurrence - 1) {
            hit = true;
        } else if (meantBefore.size() >= occurrence) {
            n = meantBefore.at(occurrence - 1);
        } else if (injected != seen.cend()) {
            ++n;
        } else {
            QFAIL(qPrintable(QStringLiteral("the call was not made:\n") + context));
        }
        if (qEnvironmentVariableIsSet("VARO_FAULT_VERBOSE") || !hit)
            qInfo().noquote() << (hit ? QStringLiteral("hit: ") : QStringLiteral("missed, next N %1: ").arg(n))
                    + context;
    }
    QVERIFY2(hit, "the call meant was not hit");

    // Reported, not passed over in silence.
    static const QRegularExpression warning(QStringLiteral("^varo\\.\\w+: \\["), QRegularExpression::MultilineOption);
    if (killed)
        QVERIFY2(faulty.killed && !faulty.stoppedByTest, qPrintable(context));
    else
        QVERIFY2(faulty.output.contains(warning), qPrintable(context));
    const QStringList broken = FolderState::violations(d->clientGameDir(), before, published);
    QVERIFY2(broken.isEmpty(), qPrintable(broken.join(QLatin1Char('\n')) + QLatin1Char('\n') + context));
    QVERIFY2(FolderState::rememberedStateWhole(d->clientDir()), qPrintable(context));
    if (killed) {
        // the next run finds what the killed one left
    } else if (repeat == 0) {
        QVERIFY2(!faulty.stoppedByTest && faulty.exitCode == 4, qPrintable(context));
        QVERIFY2(faulty.output.contains(QStringLiteral("Ошибка: не удалось")), qPrintable(context));
        if (error == QLatin1String("ENOSPC"))
            QVERIFY2(faulty.output.contains(QStringLiteral("Недостаточно места на диске")), qPrintable(context));
    } else {
        // A run that recovered by itself says ready only when it is.
        QVERIFY2(!faulty.stoppedByTest, qPrintable(context));
        if (faulty.exitCode == 0)
            QCOMPARE(GameTree::difference(GameTree::digest(d->clientGameDir()), expected), QString());
    }

    const GameTree::Run clean = d->sync();
    QVERIFY2(clean.exitCode == 0, qPrintable(clean.output + QLatin1Char('\n') + context));
    const QString diff = GameTree::difference(GameTree::digest(d->clientGameDir()), expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff + QLatin1Char('\n') + context));
    const QStringList leftovers = FolderState::leftovers(d->clientDir());
    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QLatin1Char('\n')) + QLatin1Char('\n') + context));
}

QTEST_GUILESS_MAIN(TestDiskFaults)
#include "tst_diskfaults.moc"
