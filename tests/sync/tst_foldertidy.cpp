// The tidying of leftovers before a pass: the remembered state's temporary
// copies next to the launcher, and archives left between an edit and their
// rebuild.

#include "files/imgarchive/ArchiveEditor.h"
#include "support/TestFiles.h"
#include "sync/FolderTidy.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using ImgArchive::ArchiveEditor;

class TestFolderTidy : public QObject
{
    Q_OBJECT

private slots:
    void saveLeftovers_data();
    void saveLeftovers();
    void archivesLeftUnbuilt();
};

void TestFolderTidy::saveLeftovers_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("removed");
    QTest::newRow("a save cut short") << QStringLiteral("varo_launcher.bin.Ab3xYz") << true;
    QTest::newRow("the state itself") << QStringLiteral("varo_launcher.bin") << false;
    QTest::newRow("five characters") << QStringLiteral("varo_launcher.bin.Ab3xY") << false;
    QTest::newRow("seven characters") << QStringLiteral("varo_launcher.bin.Ab3xYzQ") << false;
    QTest::newRow("not letters or digits") << QStringLiteral("varo_launcher.bin.ab-cde") << false;
    QTest::newRow("another file's copy") << QStringLiteral("varo_servers.bin.Ab3xYz") << false;
    QTest::newRow("a name that only ends alike") << QStringLiteral("old_varo_launcher.bin.Ab3xYz") << false;
}

void TestFolderTidy::saveLeftovers()
{
    QFETCH(QString, name);
    QFETCH(bool, removed);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QVERIFY(TestFiles::write(path, "x"));
    QVERIFY(TestFiles::write(dir.filePath(QStringLiteral("varo_launcher.bin")), "state"));
    FolderTidy::removeSaveLeftovers(dir.filePath(QStringLiteral("varo_launcher.bin")));
    QCOMPARE(QFileInfo::exists(path), !removed);
    QCOMPARE(TestFiles::read(dir.filePath(QStringLiteral("varo_launcher.bin"))), QByteArray("state"));
}

void TestFolderTidy::archivesLeftUnbuilt()
{
    QTemporaryDir dir;
    const QString game = dir.path();
    const QString rebuilt = game + QStringLiteral("/models/gta3.img");
    const QString edited = game + QStringLiteral("/models/gta_int.img");
    const QString own = game + QStringLiteral("/multiplayer_c/models/mp.img");
    const QString foreign = game + QStringLiteral("/models/player.img");
    for (const QString &path : {rebuilt, edited, own}) {
        QDir().mkpath(QFileInfo(path).path());
        QVERIFY(ArchiveEditor::createEmpty(path));
        ArchiveEditor editor(path);
        QVERIFY(editor.open());
        QVERIFY(editor.append(QStringLiteral("b.dff"), TestFiles::noise(3000, 1)));
        QVERIFY(editor.append(QStringLiteral("a.dff"), TestFiles::noise(100, 2)));
        QVERIFY(editor.close());
    }
    QVERIFY(ArchiveEditor::convertToV2StaticHeader(rebuilt));
    QVERIFY(TestFiles::ver2Archive(foreign, {{QStringLiteral("a.dff"), TestFiles::noise(100, 3)}}));

    // Stored behind the last member, never rebuilt: only the edited
    // archive in the launcher's care; one in the game's own form is
    // converted instead.
    QCOMPARE(FolderTidy::surveyArchives(game).toCompact, QStringList{edited});
    QCOMPARE(FolderTidy::surveyArchives(game).toConvert, QStringList{foreign});
}

QTEST_GUILESS_MAIN(TestFolderTidy)
#include "tst_foldertidy.moc"
