#include "app/GameSettings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using Entries = QMap<QString, qint32>;

class TestGameSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void readAndSave_data();
    void readAndSave();
    void pathsFollowTheDocumentsFolder();
    void saveWithoutFileCreatesEmptyFile();
    void saveIntoMissingFolderFailsSilently();
    void emptyDocumentsFolderGivesEmptyObject();
    void accessors();

private:
    QString userFilesDir() const;
    void writeConfig(const QByteArray &content) const;
    QByteArray readConfig() const;

    QScopedPointer<QTemporaryDir> documents;
};

namespace {

// The bytes a text-mode write produces for "\n"-separated lines.
QByteArray onDisk(QByteArray lines)
{
#ifdef Q_OS_WIN
    lines.replace("\n", "\r\n");
#endif
    return lines;
}

} // namespace

void TestGameSettings::init()
{
    documents.reset(new QTemporaryDir);
    QVERIFY(documents->isValid());
    QVERIFY(QDir(documents->path()).mkdir(QStringLiteral("GTA San Andreas User Files")));
}

QString TestGameSettings::userFilesDir() const
{
    return documents->path() + QStringLiteral("/GTA San Andreas User Files");
}

void TestGameSettings::writeConfig(const QByteArray &content) const
{
    QFile file(userFilesDir() + QStringLiteral("/listva.cfg"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QByteArray TestGameSettings::readConfig() const
{
    QFile file(userFilesDir() + QStringLiteral("/listva.cfg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void TestGameSettings::readAndSave_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Entries>("expected");
    QTest::addColumn<QByteArray>("saved");

    const QByteArray example("a=1\nb = 2\nc=x\nd=1=2\n\n");
    const Entries exampleEntries{{"a", 1}, {"b ", 2}, {"c", 0}};
    const QByteArray exampleSaved("a=1\nb =2\nc=0\n");
    QTest::newRow("mixed records") << example << exampleEntries << exampleSaved;
    QByteArray crlf = example;
    crlf.replace("\n", "\r\n");
    QTest::newRow("CR LF line ends") << crlf << exampleEntries << exampleSaved;
    QTest::newRow("last line without line end")
        << QByteArray("a=1\nb=2") << Entries{{"a", 1}, {"b", 2}} << QByteArray("a=1\nb=2\n");

    QTest::newRow("duplicate key keeps last")
        << QByteArray("k=1\nk=7\nk = 3\n") << Entries{{"k", 7}, {"k ", 3}} << QByteArray("k=7\nk =3\n");
    QTest::newRow("normalised in key order") << QByteArray("z=007\n\t \nB= 5 \na=+2\n")
                                             << Entries{{"B", 5}, {"a", 2}, {"z", 7}} << QByteArray("B=5\na=2\nz=7\n");
    QTest::newRow("empty key and empty value")
        << QByteArray("=5\nv=\n") << Entries{{"", 5}, {"v", 0}} << QByteArray("=5\nv=0\n");
    QTest::newRow("placeholder in key") << QByteArray("x%1%2=4\n") << Entries{{"x%1%2", 4}} << QByteArray("x%1%2=4\n");
    QTest::newRow("Latin-1 key") << QByteArray("\xe9t\xe9=1\n") << Entries{{QStringLiteral("\u00e9t\u00e9"), 1}}
                                 << QStringLiteral("\u00e9t\u00e9=1\n").toLocal8Bit();

    QTest::newRow("unsigned values wrap to 32 signed bits")
        << QByteArray("max=2147483647\nhalf=2147483648\nall=4294967295\nover=4294967296\nneg=-1\n")
        << Entries{{"max", 2147483647}, {"half", -2147483647 - 1}, {"all", -1}, {"over", 0}, {"neg", 0}}
        << QByteArray("all=-1\nhalf=-2147483648\nmax=2147483647\nneg=0\nover=0\n");

    // A line longer than a small read buffer is one record, not several.
    const QByteArray key40 = QByteArray(36, 'k');
    QTest::newRow("40-byte line") << QByteArray(key40 + "=123\n") << Entries{{QString::fromLatin1(key40), 123}}
                                  << QByteArray(key40 + "=123\n");
    const QByteArray longKey(GameSettings::MaxLineLength - 2, 'k');
    QTest::newRow("line at the limit") << QByteArray(longKey + "=1\r\n" + "b=2\n")
                                       << Entries{{QString::fromLatin1(longKey), 1}, {"b", 2}}
                                       << QByteArray("b=2\n" + longKey + "=1\n");
    // Over-long lines are dropped whole; their tail must not turn into a
    // record of its own ("kkk...=3").
    const QByteArray tooLong = QByteArray(GameSettings::MaxLineLength - 1, 'k') + "=3";
    QTest::newRow("line over the limit") << QByteArray("a=1\n" + tooLong + "\nb=2\n") << Entries{{"a", 1}, {"b", 2}}
                                         << QByteArray("a=1\nb=2\n");
    QTest::newRow("70 KiB lines") << QByteArray(QByteArray(70 * 1024, 'x') + "=3\na=1\n" + QByteArray(70 * 1024, 'y')
                                                + "=4")
                                  << Entries{{"a", 1}} << QByteArray("a=1\n");
}

void TestGameSettings::readAndSave()
{
    QFETCH(QByteArray, content);
    QFETCH(Entries, expected);
    QFETCH(QByteArray, saved);

    writeConfig(content);
    GameSettings settings(documents->path());
    QCOMPARE(settings.values(), expected);

    settings.save();
    QCOMPARE(readConfig(), onDisk(saved));
}

void TestGameSettings::pathsFollowTheDocumentsFolder()
{
    const GameSettings settings(QDir::toNativeSeparators(documents->path()));
    const QString dir = QDir::toNativeSeparators(userFilesDir() + QLatin1Char('/'));
    QCOMPARE(settings.configPath(), dir + QStringLiteral("listva.cfg"));
    QCOMPARE(settings.settingsPath(), dir + QStringLiteral("gta_sa.set"));
}

void TestGameSettings::saveWithoutFileCreatesEmptyFile()
{
    const GameSettings settings(documents->path());
    QVERIFY(settings.values().isEmpty());
    settings.save();
    QCOMPARE(readConfig(), QByteArray());
}

void TestGameSettings::saveIntoMissingFolderFailsSilently()
{
    QVERIFY(QDir(userFilesDir()).removeRecursively());
    GameSettings settings(documents->path());
    settings.setInt(QStringLiteral("a"), 1);
    settings.save();
    QVERIFY(!QFileInfo::exists(userFilesDir()));
}

void TestGameSettings::emptyDocumentsFolderGivesEmptyObject()
{
    // Run where a save to a relative path would land, and check nothing does.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(userFilesDir()));
    GameSettings settings{QString()};
    QVERIFY(settings.configPath().isEmpty());
    QVERIFY(settings.settingsPath().isEmpty());
    QVERIFY(settings.values().isEmpty());
    settings.setInt(QStringLiteral("a"), 1);
    settings.save();
    const QStringList left = QDir(userFilesDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QVERIFY(QDir::setCurrent(previous));
    QCOMPARE(left, QStringList());
}

void TestGameSettings::accessors()
{
    writeConfig("zero=0\ntwo=2\nall=4294967295\n");
    GameSettings settings(documents->path());

    QCOMPARE(settings.intValue(QStringLiteral("two"), 9), 2);
    QCOMPARE(settings.intValue(QStringLiteral("missing"), 9), 9);
    QCOMPARE(settings.boolValue(QStringLiteral("zero"), true), false);
    QCOMPARE(settings.boolValue(QStringLiteral("two"), false), true);
    QCOMPARE(settings.boolValue(QStringLiteral("all"), false), true);
    QCOMPARE(settings.boolValue(QStringLiteral("missing"), true), true);
    QCOMPARE(settings.boolValue(QStringLiteral("missing"), false), false);

    settings.setBool(QStringLiteral("two"), true);
    settings.setBool(QStringLiteral("new"), false);
    settings.setInt(QStringLiteral("zero"), -5);
    QCOMPARE(settings.values(), (Entries{{"all", -1}, {"new", 0}, {"two", 1}, {"zero", -5}}));

    settings.save();
    QCOMPARE(readConfig(), onDisk("all=-1\nnew=0\ntwo=1\nzero=-5\n"));
}

QTEST_GUILESS_MAIN(TestGameSettings)
#include "tst_gamesettings.moc"
