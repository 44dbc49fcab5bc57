#include "service/BinaryListFile.h"
#include "service/PayloadCipher.h"

#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

const QByteArray Magic = QByteArrayLiteral("VAROBNRYLST01");

} // namespace

class TestBinaryListFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void roundTrip_data();
    void roundTrip();
    void foreignFileReadsAsEmpty_data();
    void foreignFileReadsAsEmpty();
    void oversizedFileReadsAsEmpty();
    void impossibleWriteFails_data();
    void impossibleWriteFails();
    void interruptedWriteKeepsPreviousFile();

private:
    QScopedPointer<QTemporaryDir> scratch;
};

void TestBinaryListFile::init()
{
    scratch.reset(new QTemporaryDir);
    QVERIFY(scratch->isValid());
}

void TestBinaryListFile::cleanup()
{
    scratch.reset();
}

void TestBinaryListFile::roundTrip_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("server list") << QByteArray(R"({"servers":[{"name":"01","ip":"127.0.0.1","port":7771}]})");
    QTest::newRow("random 1 MiB") << TestFiles::noise(1024 * 1024, 23);
}

void TestBinaryListFile::roundTrip()
{
    QFETCH(QByteArray, data);
    const QString name = QStringLiteral("/varo_launcher.bin");

    // Over an older list, to see that it is replaced whole.
    QVERIFY(writeBinaryList(scratch->path() + name, TestFiles::noise(200000, 1)));
    QVERIFY(writeBinaryList(scratch->path() + name, data));

    const QByteArray file = TestFiles::read(scratch->path() + name);
    QVERIFY(file.startsWith(Magic));
    // The rest is a bare cipher text of the cache cipher.
    QCOMPARE(PayloadCipher::forCache().decrypt(file.mid(Magic.size())), data);
    QCOMPARE(readBinaryList(scratch->path() + name), data);
    // Nothing else is left in the folder (no temporary files).
    QCOMPARE(QDir(scratch->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("varo_launcher.bin")});
}

void TestBinaryListFile::foreignFileReadsAsEmpty_data()
{
    QTest::addColumn<QByteArray>("content");

    const QByteArray cipherText = PayloadCipher::forCache().encrypt(QByteArrayLiteral("cached list"));
    QByteArray damaged = Magic + cipherText;
    damaged[damaged.size() - 3] = char(damaged[damaged.size() - 3] ^ 0x10);
    PayloadCipher otherKey(PayloadCipher::BuiltInKey ^ 1);
    otherKey.setCompressionMode(PayloadCipher::CompressAlways);
    otherKey.setProtectionMode(PayloadCipher::ProtectHash);

    QTest::newRow("other magic") << QByteArray("VAROBNRYLST02") + cipherText;
    QTest::newRow("magic in lower case") << Magic.toLower() + cipherText;
    QTest::newRow("bare cipher text") << cipherText;
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("12 bytes of magic") << Magic.left(12);
    QTest::newRow("magic alone") << Magic;
    QTest::newRow("magic and two bytes") << Magic + cipherText.left(2);
    QTest::newRow("damaged cipher text") << damaged;
    QTest::newRow("cut cipher text") << Magic + cipherText.left(cipherText.size() - 1);
    QTest::newRow("other key") << Magic + otherKey.encrypt(QByteArrayLiteral("cached list"));
}

void TestBinaryListFile::foreignFileReadsAsEmpty()
{
    QFETCH(QByteArray, content);
    QVERIFY(TestFiles::write(scratch->path() + QStringLiteral("/varo_servers.bin"), content));
    QVERIFY(readBinaryList(scratch->path() + QStringLiteral("/varo_servers.bin")).isEmpty());
    QVERIFY(readBinaryList(scratch->path() + QStringLiteral("/missing.bin")).isEmpty());
}

void TestBinaryListFile::oversizedFileReadsAsEmpty()
{
    // A valid list padded far beyond anything the launcher writes: the
    // reader refuses it before reading it in. The padding is sparse.
    const QString path = scratch->path() + QStringLiteral("/varo_launcher.bin");
    QVERIFY(writeBinaryList(scratch->path() + QStringLiteral("/varo_launcher.bin"), QByteArrayLiteral("list")));
    QFile file(path);
    QVERIFY(file.resize(qint64(256) * 1024 * 1024 + 1));
    QVERIFY(readBinaryList(scratch->path() + QStringLiteral("/varo_launcher.bin")).isEmpty());
}

void TestBinaryListFile::impossibleWriteFails_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("target is a folder") << QStringLiteral("/folder");
    QTest::newRow("parent is a file") << QStringLiteral("/plain/varo_servers.bin");
    QTest::newRow("parent is missing") << QStringLiteral("/missing/varo_servers.bin");
}

void TestBinaryListFile::impossibleWriteFails()
{
    QFETCH(QString, name);
    QVERIFY(QDir(scratch->path()).mkdir(QStringLiteral("folder")));
    QVERIFY(TestFiles::write(scratch->path() + QStringLiteral("/plain"), "plain file"));

    QVERIFY(!writeBinaryList(scratch->path() + name, QByteArrayLiteral("servers")));
    QVERIFY(QFileInfo(scratch->path() + QStringLiteral("/folder")).isDir());
    QCOMPARE(TestFiles::read(scratch->path() + QStringLiteral("/plain")), QByteArray("plain file"));
    QCOMPARE(QDir(scratch->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{QStringLiteral("folder"), QStringLiteral("plain")}));
}

void TestBinaryListFile::interruptedWriteKeepsPreviousFile()
{
#ifdef Q_OS_UNIX
    // A file-size limit makes the write of a large list fail part-way, as a
    // full disk would, even for root.
    const QString name = QStringLiteral("/varo_launcher.bin");
    const QByteArray previous = QByteArrayLiteral("previous sync state");
    QVERIFY(writeBinaryList(scratch->path() + name, previous));
    const QByteArray previousFile = TestFiles::read(scratch->path() + name);

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    auto *oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = writeBinaryList(scratch->path() + name, TestFiles::noise(1024 * 1024, 29));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!written);
    QCOMPARE(TestFiles::read(scratch->path() + name), previousFile);
    QCOMPARE(readBinaryList(scratch->path() + name), previous);
    QCOMPARE(QDir(scratch->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("varo_launcher.bin")});
#else
    QSKIP("needs a file-size limit");
#endif
}

QTEST_GUILESS_MAIN(TestBinaryListFile)
#include "tst_binarylistfile.moc"
