#include "platform/AppPaths.h"
#include "service/LoadThread.h"
#include "service/ProcessState.h"
#include "signing/InstallerSignature.h"
#include "signing/ListSignature.h"
#include "signing/SecretKey.h"
#include "support/GameTree.h"
#include "support/SyncDeployment.h"
#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <functional>

// The launcher and varo-sync behind a man in the middle: a proxy on
// 127.0.0.1 that passes everything on to the project's honest servers
// except what a row of the attack table makes it lie about. With the
// project's key every lie is refused, nothing of the attacker's is stored or
// started, and the run recovers once the proxy stops lying; without a key
// the rows show what the launcher always did.

using Reply = TestHttpServer::Reply;
using Lies = QMap<QString, Reply>;
Q_DECLARE_METATYPE(Lies)

namespace {

const QString ListPath = QStringLiteral("/launcher_api/sync.lst");
const QString UpdatesPath = QStringLiteral("/launcher_api/api_v2.php?data=updates");

// An installer is a script that leaves its name behind in the launcher's
// folder (the working directory it is started in).
QByteArray installer(const QByteArray &name)
{
    return "#!/bin/sh\ntouch " + name + "_ran\n";
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QByteArray updatesAnswer(const QByteArray &version, const QByteArray &path)
{
    return R"({"act": "update", "latest_version": ")" + version + R"(", "download_url": "@)" + path + R"("})";
}

// The sync list, its MD5 and its signature as one publication left them.
struct Publication
{
    QByteArray list;
    QByteArray hash;
    QByteArray signature;
    QMap<QString, QString> folder; // what a synchronised game folder holds
};

} // namespace

class TestManInTheMiddle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void attack_data();
    void attack();

private:
    bool publish();
    Publication snapshot() const;
    Lies listLies(const Publication &publication) const;
    QMap<QString, QString> syncEnvironment(bool keyed) const;
    void attackList(bool keyed, const QString &refusal);
    void attackInstaller(bool keyed, const QString &refusal, bool sameRun);
    // Runs the load sequence on a thread of its own until done() holds or
    // the sequence ends; onState sees every status text on that thread.
    void runLoader(const QString &appDir, const std::function<void(const QString &)> &onState,
                   const std::function<bool()> &done);
    void tellTruth();
    QByteArray fill(QByteArray text) const { return text.replace('@', proxy->url(QString()).toUtf8()); }

    SyncDeployment deployment;
    SecretKey project;
    SecretKey stranger;
    QTemporaryDir keys;
    QList<Publication> publications;
    TestHttpServer upstream;
    TestHttpServer proxyServer;
    TestHttpServer *const proxy = &proxyServer;
    Lies currentLies;
};

bool TestManInTheMiddle::publish()
{
    const GameTree::Run run = GameTree::runTool(QStringLiteral("varo-publish"),
                                                {QStringLiteral("--key"), keys.filePath(QStringLiteral("project.key")),
                                                 deployment.sourceDir(), deployment.mirrorDir()});
    if (run.exitCode != 0)
        qWarning().noquote() << run.output;
    return run.exitCode == 0;
}

Publication TestManInTheMiddle::snapshot() const
{
    const QString folder = deployment.mirrorDir() + QStringLiteral("/launcher_api/");
    return {TestFiles::read(folder + QStringLiteral("sync.lst")),
            TestFiles::read(folder + QStringLiteral("sync.lst.hash")),
            TestFiles::read(folder + QStringLiteral("sync.lst.sig")),
            GameTree::expectedAfterSync(deployment.sourceDir())};
}

Lies TestManInTheMiddle::listLies(const Publication &publication) const
{
    return {{ListPath, Reply::ok(publication.list)},
            {ListPath + QStringLiteral(".hash"), Reply::ok(publication.hash)},
            {ListPath + QStringLiteral(".sig"), Reply::ok(publication.signature)}};
}

// Three publications, each adding a file, so that the mirror keeps every
// block of all three: the player's folder is at the second, the third is
// the honest release, the first an older list to replay.
void TestManInTheMiddle::initTestCase()
{
    QVERIFY(keys.isValid());
    project = SecretKey::generate();
    stranger = SecretKey::generate();
    QVERIFY(TestFiles::write(keys.filePath(QStringLiteral("project.key")), project.toFileText()));
    deployment.makeBaseGame();
    for (int i = 1; i <= 3; ++i) {
        if (i > 1)
            QVERIFY(TestFiles::write(deployment.sourceDir() + QStringLiteral("/data/release%1.txt").arg(i), "new"));
        QVERIFY(publish());
        publications.append(snapshot());
        QVERIFY(publications.last().signature.contains("serial " + QByteArray::number(i)));
    }

    // Releases of the launcher: the honest one, an older one with its own
    // genuine signature, and the attacker's.
    const QString files = deployment.mirrorDir() + QStringLiteral("/files/");
    QVERIFY(TestFiles::write(files + QStringLiteral("installer.exe"), installer("genuine")));
    QVERIFY(TestFiles::write(files + QStringLiteral("installer.exe.sig"),
                             InstallerSignature::make(project, QStringLiteral("2.0"), sha256(installer("genuine")))));
    QVERIFY(TestFiles::write(files + QStringLiteral("old.exe"), installer("old")));
    QVERIFY(TestFiles::write(files + QStringLiteral("old.exe.sig"),
                             InstallerSignature::make(project, QStringLiteral("0.9"), sha256(installer("old")))));
    upstream.setDocumentRoot(deployment.mirrorDir());
    proxy->setUpstream(upstream.url(QString()));
}

void TestManInTheMiddle::init()
{
    proxy->clearLog();
    upstream.setReply(UpdatesPath, Reply::ok(fill(updatesAnswer("2.0", "/files/installer.exe"))));
    ProcessState::exitRequested = false;
}

void TestManInTheMiddle::cleanup()
{
    tellTruth();
    ProcessState::exitRequested = false;
    qunsetenv("VARO_TEST_SIGNING_PUBLIC_KEY");
}

void TestManInTheMiddle::tellTruth()
{
    for (auto it = currentLies.cbegin(); it != currentLies.cend(); ++it)
        proxy->clearReply(it.key());
}

void TestManInTheMiddle::attack_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("keyed");
    QTest::addColumn<Lies>("lies");
    QTest::addColumn<QString>("refusal"); // with a key: why the status line says it was refused
    QTest::addColumn<bool>("sameRun");    // the download that was lied to recovers by itself

    const Publication &honest = publications.at(2);
    // A consistent list and MD5 of the attacker's: the honest list without
    // the game's executable, which would then be deleted.
    Publication swapped = honest;
    swapped.list.clear();
    for (const QByteArray &line : honest.list.split('\n')) {
        if (!line.startsWith("gta_sa.exe "))
            swapped.list += line + '\n';
    }
    swapped.list.chop(1);
    swapped.hash = QCryptographicHash::hash(swapped.list, QCryptographicHash::Md5).toHex();
    Publication expired = honest;
    expired.signature = ListSignature::make(project, honest.list, 4, QDateTime::currentDateTimeUtc().addSecs(-60));
    Publication foreign = swapped;
    foreign.signature = ListSignature::make(stranger, swapped.list, 4);

    const QString badList = QStringLiteral("подпись списка файлов неверна");
    QTest::newRow("list and MD5 swapped") << "list" << true << listLies(swapped) << badList << false;
    QTest::newRow("list and MD5 swapped, signed by another key")
        << "list" << true << listLies(foreign) << badList << false;
    QTest::newRow("older signed list replayed") << "list" << true << listLies(publications.at(0))
                                                << QStringLiteral("список файлов старее уже полученного") << false;
    QTest::newRow("expired signed list") << "list" << true << listLies(expired)
                                         << QStringLiteral("срок действия списка файлов истёк") << false;
    QTest::newRow("list signature stripped")
        << "list" << true << Lies{{ListPath + QStringLiteral(".sig"), Reply::status(404)}}
        << QStringLiteral("подпись списка файлов не получена") << false;
    QTest::newRow("no key: list and MD5 swapped") << "list" << false << listLies(swapped) << QString() << false;
    QTest::newRow("no key: older list replayed")
        << "list" << false << listLies(publications.at(0)) << QString() << false;

    const Reply evil = Reply::ok(installer("evil"));
    const QString badInstaller = QStringLiteral("Загрузка обновления (v2.0): подпись установщика неверна...");
    const Lies rewritten{{UpdatesPath, Reply::ok(fill(updatesAnswer("2.0", "/evil.exe")))},
                         {QStringLiteral("/evil.exe"), evil},
                         {QStringLiteral("/evil.exe.sig"),
                          Reply::ok(InstallerSignature::make(stranger, QStringLiteral("2.0"), sha256(evil.body)))}};
    QTest::newRow("updates answer names another installer")
        << "installer" << true << rewritten << badInstaller << false;
    QTest::newRow("another installer at the right address")
        << "installer" << true << Lies{{QStringLiteral("/files/installer.exe"), evil}} << badInstaller << true;
    QTest::newRow("older signed installer at the right address")
        << "installer" << true
        << Lies{{QStringLiteral("/files/installer.exe"), Reply::ok(installer("old"))},
                {QStringLiteral("/files/installer.exe.sig"),
                 Reply::ok(TestFiles::read(deployment.mirrorDir() + QStringLiteral("/files/old.exe.sig")))}}
        << QStringLiteral("Загрузка обновления (v2.0): подпись не подтверждает эту версию...") << true;
    QTest::newRow("older signed installer announced")
        << "installer" << true << Lies{{UpdatesPath, Reply::ok(fill(updatesAnswer("0.9", "/files/old.exe")))}}
        << QStringLiteral("Загрузка обновления (v0.9): подпись не подтверждает эту версию...") << false;
    QTest::newRow("installer signature stripped")
        << "installer" << true << Lies{{QStringLiteral("/files/installer.exe.sig"), Reply::status(404)}}
        << QStringLiteral("Загрузка обновления (v2.0): нет подписи установщика...") << true;
    QTest::newRow("no key: updates answer names another installer")
        << "installer" << false << rewritten << QString() << false;
}

void TestManInTheMiddle::attack()
{
    QFETCH(QString, target);
    QFETCH(bool, keyed);
    QFETCH(QString, refusal);
    QFETCH(bool, sameRun);
    QFETCH(Lies, lies);
    currentLies = lies;
    if (target == QLatin1String("list"))
        attackList(keyed, refusal);
    else
        attackInstaller(keyed, refusal, sameRun);
    if (QTest::currentTestFailed())
        return;
    // Without a key nothing asks for a signature: the launcher's requests
    // are what they always were.
    for (const TestHttpServer::Request &request : proxy->requests())
        QVERIFY2(keyed || !request.path.endsWith(QLatin1String(".sig")), qPrintable(request.path));
}

QMap<QString, QString> TestManInTheMiddle::syncEnvironment(bool keyed) const
{
    return {{QStringLiteral("VARO_API_BASE"), proxy->url(QStringLiteral("/launcher_api"))},
            {QStringLiteral("VARO_MIRROR_BASE"), proxy->url(QStringLiteral("/"))},
            {QStringLiteral("VARO_TEST_SIGNING_PUBLIC_KEY"), keyed ? project.publicKey().toText() : QString()}};
}

void TestManInTheMiddle::attackList(bool keyed, const QString &refusal)
{
    QTemporaryDir client;
    QVERIFY(client.isValid());
    const AppPaths paths(client.path());
    const QStringList arguments{QStringLiteral("--app-dir"), client.path()};
    const auto sync = [&] { return GameTree::runTool(QStringLiteral("varo-sync"), arguments, syncEnvironment(keyed)); };

    // The player's folder at the second publication.
    for (const QString &path : listLies(publications.at(1)).keys())
        upstream.setReply(path, listLies(publications.at(1)).value(path));
    GameTree::Run run = sync();
    for (const QString &path : listLies(publications.at(1)).keys())
        upstream.clearReply(path);
    QVERIFY2(run.exitCode == 0, qPrintable(run.output));
    QCOMPARE(GameTree::digest(paths.gameDir()), publications.at(1).folder);

    for (auto it = currentLies.cbegin(); it != currentLies.cend(); ++it)
        proxy->setReply(it.key(), it.value());
    run = sync();
    if (keyed) {
        QVERIFY2(run.exitCode == 2 && run.output.contains(refusal), qPrintable(run.output));
        QCOMPARE(GameTree::digest(paths.gameDir()), publications.at(1).folder);
        QCOMPARE(TestFiles::read(paths.listSerial()), QByteArray("2\n"));
    } else {
        // What an unsigned launcher always did: the attacker's list is law.
        QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        QVERIFY(GameTree::digest(paths.gameDir()) != publications.at(1).folder);
    }

    // The honest list, then "not modified": the run's second pass asks for
    // it conditionally and checks the signature against the copy it has.
    tellTruth();
    upstream.setReplies(ListPath, {Reply::ok(publications.at(2).list).withHeader("ETag", "\"3\""), Reply::status(304)});
    run = sync();
    upstream.clearReply(ListPath);
    QVERIFY2(run.exitCode == 0, qPrintable(run.output));
    QCOMPARE(upstream.requests(ListPath).last().header("If-None-Match"), QByteArray("\"3\""));
    QCOMPARE(GameTree::digest(paths.gameDir()), publications.at(2).folder);
    if (keyed)
        QCOMPARE(TestFiles::read(paths.listSerial()), QByteArray("3\n"));
}

void TestManInTheMiddle::runLoader(const QString &appDir, const std::function<void(const QString &)> &onState,
                                   const std::function<bool()> &done)
{
    QThread thread;
    auto *loader = new LoadThread(AppPaths(appDir), proxy->url(QStringLiteral("/launcher_api")));
    loader->moveToThread(&thread);
    connect(&thread, &QThread::started, loader, &LoadThread::start);
    connect(loader, &LoadThread::setState, loader, [onState](const QString &left) { onState(left); });
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(done() || thread.isFinished(), 60000);
    thread.quit();
    QVERIFY(thread.wait(10000));
    delete loader;
}

void TestManInTheMiddle::attackInstaller(bool keyed, const QString &refusal, bool sameRun)
{
    QTemporaryDir app;
    QVERIFY(app.isValid());
    const QString genuine = app.filePath(QStringLiteral("genuine_ran"));
    const QString evil = app.filePath(QStringLiteral("evil_ran"));
    const QString old = app.filePath(QStringLiteral("old_ran"));
    qputenv("VARO_API_BASE", proxy->url(QStringLiteral("/launcher_api")).toUtf8());
    qputenv("VARO_MIRROR_BASE", proxy->url(QStringLiteral("/")).toUtf8());
    qputenv("VARO_TEST_SIGNING_PUBLIC_KEY", keyed ? project.publicKey().toText().toUtf8() : QByteArray());
    for (auto it = currentLies.cbegin(); it != currentLies.cend(); ++it)
        proxy->setReply(it.key(), it.value());

    if (!keyed) {
        // What an unsigned launcher always did: it starts whatever it is given.
        runLoader(
            app.path(), [](const QString &) {}, [&] { return QFile::exists(evil); });
        QVERIFY(QFile::exists(evil));
        return;
    }

    // Refused: when the status says so, nothing of the attacker's is left in
    // the launcher's folder. Then the proxy stops lying, and the same
    // download tries again or the launcher is started anew.
    std::atomic<bool> refused{false};
    std::atomic<bool> leftovers{false};
    const QString folder = app.path();
    runLoader(
        app.path(),
        [&](const QString &text) {
            if (text != refusal || refused.exchange(true))
                return;
            leftovers = !QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty();
            if (sameRun)
                tellTruth();
            else
                ProcessState::requestExit();
        },
        [&] { return QFile::exists(genuine); });
    QVERIFY(refused);
    QVERIFY(!leftovers);
    if (!sameRun) {
        ProcessState::exitRequested = false;
        tellTruth();
        runLoader(
            app.path(), [](const QString &) {}, [&] { return QFile::exists(genuine); });
    }
    QVERIFY(QFile::exists(genuine));
    QVERIFY(!QFile::exists(evil) && !QFile::exists(old));
}

QTEST_GUILESS_MAIN(TestManInTheMiddle)
#include "tst_maninthemiddle.moc"
