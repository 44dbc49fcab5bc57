#include "signing/InstallerSignature.h"
#include "signing/ListSignature.h"
#include "signing/SecretKey.h"
#include "signing/SignedText.h"
#include "signing/SigningKey.h"

#include <QCryptographicHash>
#include <QtTest>

Q_DECLARE_METATYPE(InstallerSignature::Verdict)
Q_DECLARE_METATYPE(ListSignature::Verdict)

namespace {

using InstallerVerdict = InstallerSignature::Verdict;
using ListVerdict = ListSignature::Verdict;

const QByteArray Installer = "MZ the installer";
const QByteArray List = "[sync list]\n";

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

// A statement of one's own making, signed as it stands.
QByteArray signRaw(const SecretKey &key, const QByteArray &statement)
{
    return statement + "signature " + key.sign(statement).toBase64() + '\n';
}

} // namespace

class TestSigning : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keyText_data();
    void keyText();
    void installer_data();
    void installer();
    void list_data();
    void list();

private:
    SecretKey project;
    SecretKey stranger;
};

void TestSigning::initTestCase()
{
    project = SecretKey::generate();
    stranger = SecretKey::generate();
    QVERIFY(project.isValid() && stranger.isValid());
    QVERIFY(project.publicKey().toText() != stranger.publicKey().toText());
}

void TestSigning::keyText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    const QByteArray bytes = QByteArray::fromHex("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    QTest::newRow("base64") << QString::fromLatin1(bytes.toBase64()) << true;
    QTest::newRow("hex") << QString::fromLatin1(bytes.toHex()) << true;
    QTest::newRow("hex with a letter past f")
        << QString::fromLatin1(bytes.toHex()).replace(0, 1, QLatin1Char('g')) << false;
    QTest::newRow("base64 one short") << QString::fromLatin1(bytes.toBase64()).mid(1) << false;
    QTest::newRow("31 bytes") << QString::fromLatin1(bytes.left(31).toHex()) << false;
    QTest::newRow("empty") << QString() << false;
}

// A key that cannot be read verifies nothing, not everything.
void TestSigning::keyText()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const SigningKey key = SigningKey::fromText(text);
    QCOMPARE(key.isValid(), valid);
    const QByteArray statement = InstallerSignature::make(project, QStringLiteral("2.0"), sha256(Installer));
    QCOMPARE(InstallerSignature::check(statement, key, sha256(Installer), QStringLiteral("2.0"),
                                       QStringLiteral("1.0.0.0")),
             InstallerVerdict::Unreadable);
}

void TestSigning::installer_data()
{
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("installer");
    QTest::addColumn<QString>("announced");
    QTest::addColumn<InstallerVerdict>("verdict");

    const QByteArray genuine = InstallerSignature::make(project, QStringLiteral("2.0"), sha256(Installer));
    const QByteArray statement = genuine.left(genuine.indexOf("signature "));
    QTest::newRow("genuine") << genuine << Installer << "2.0" << InstallerVerdict::Valid;
    QTest::newRow("another key") << InstallerSignature::make(stranger, QStringLiteral("2.0"), sha256(Installer))
                                 << Installer << "2.0" << InstallerVerdict::Unreadable;
    QTest::newRow("another installer") << genuine << QByteArray("MZ another") << "2.0" << InstallerVerdict::OtherFile;
    QTest::newRow("another version announced") << genuine << Installer << "2.1" << InstallerVerdict::OtherVersion;
    QTest::newRow("the running version") << InstallerSignature::make(project, "1.0.0.0", sha256(Installer)) << Installer
                                         << "1.0.0.0" << InstallerVerdict::NotNewer;
    QTest::newRow("an older version") << InstallerSignature::make(project, "0.9", sha256(Installer)) << Installer
                                      << "0.9" << InstallerVerdict::NotNewer;
    QTest::newRow("newer in its fourth number") << InstallerSignature::make(project, "1.0.0.1", sha256(Installer))
                                                << Installer << "1.0.0.1" << InstallerVerdict::Valid;
    QTest::newRow("a list's signature") << ListSignature::make(project, Installer, 2) << Installer << "2.0"
                                        << InstallerVerdict::Unreadable;
    QTest::newRow("version edited after signing") << QByteArray(genuine).replace("version 2.0", "version 9.0")
                                                  << Installer << "9.0" << InstallerVerdict::Unreadable;
    QTest::newRow("a line after the signature") << genuine + "version 3.0\n"
                                                << Installer << "2.0" << InstallerVerdict::Unreadable;
    QTest::newRow("signature cut short") << genuine.left(genuine.size() - 6) + "==\n"
                                         << Installer << "2.0" << InstallerVerdict::Unreadable;
    QTest::newRow("a field repeated, signed") << signRaw(project,
                                                         statement.left(statement.indexOf("sha256")) + "version 2.0\n"
                                                             + statement.mid(statement.indexOf("sha256")))
                                              << Installer << "2.0" << InstallerVerdict::Unreadable;
    QTest::newRow("a field more, signed")
        << signRaw(project, statement + "note x\n") << Installer << "2.0" << InstallerVerdict::Unreadable;
    QTest::newRow("over the size bound, signed")
        << signRaw(project, statement + "note " + QByteArray(SignedText::MaxSize, 'x') + '\n') << Installer << "2.0"
        << InstallerVerdict::Unreadable;
}

void TestSigning::installer()
{
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, installer);
    QFETCH(QString, announced);
    QFETCH(InstallerVerdict, verdict);
    QCOMPARE(InstallerSignature::check(signature, project.publicKey(), sha256(installer), announced,
                                       QStringLiteral("1.0.0.0")),
             verdict);
}

void TestSigning::list_data()
{
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<quint64>("highest");
    QTest::addColumn<ListVerdict>("verdict");

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray fifth = ListSignature::make(project, List, 5);
    QTest::newRow("first list") << fifth << List << quint64(0) << ListVerdict::Valid;
    QTest::newRow("the serial accepted before") << fifth << List << quint64(5) << ListVerdict::Valid;
    QTest::newRow("an older serial") << fifth << List << quint64(6) << ListVerdict::Replayed;
    QTest::newRow("expired") << ListSignature::make(project, List, 5, now.addSecs(-1)) << List << quint64(5)
                             << ListVerdict::Expired;
    QTest::newRow("not expired yet") << ListSignature::make(project, List, 5, now.addDays(1)) << List << quint64(5)
                                     << ListVerdict::Valid;
    QTest::newRow("another list") << fifth << QByteArray("[sync list]\nother\n") << quint64(0)
                                  << ListVerdict::OtherList;
    QTest::newRow("another key") << ListSignature::make(stranger, List, 7) << List << quint64(0)
                                 << ListVerdict::Unreadable;
    QTest::newRow("an installer's signature")
        << InstallerSignature::make(project, "5", sha256(List)) << List << quint64(0) << ListVerdict::Unreadable;
    QTest::newRow("serial with a leading zero, signed")
        << signRaw(project, QByteArray(fifth).replace("serial 5", "serial 05").left(fifth.indexOf("signature ") + 1))
        << List << quint64(0) << ListVerdict::Unreadable;
    QTest::newRow("expiry not in UTC, signed")
        << signRaw(project, fifth.left(fifth.indexOf("signature ")) + "expires 2000-01-01T00:00:00+03:00\n") << List
        << quint64(0) << ListVerdict::Unreadable;
}

void TestSigning::list()
{
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, list);
    QFETCH(quint64, highest);
    QFETCH(ListVerdict, verdict);
    ListSignature::Statement statement;
    QCOMPARE(ListSignature::check(signature, project.publicKey(), list, highest, QDateTime::currentDateTimeUtc(),
                                  &statement),
             verdict);
    if (verdict == ListVerdict::Valid)
        QCOMPARE(statement.serial, quint64(5));
}

QTEST_GUILESS_MAIN(TestSigning)
#include "tst_signing.moc"
