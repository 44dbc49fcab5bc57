#include "service/Compression.h"
#include "service/PayloadCipher.h"

#include "support/TestFiles.h"

#include <QCryptographicHash>
#include <QSet>
#include <QtEndian>
#include <QtTest>

namespace {

// Distinct bytes, so that a key split in the wrong order shows.
constexpr quint64 TestKey = Q_UINT64_C(0xF1E2D3C4B5A69788);

QByteArray repetitiveText(int size)
{
    const QByteArray line = QByteArrayLiteral("gtasa/models/gta3.img|1234567|d41d8cd98f00b204e9800998ecf8427e\n");
    QByteArray text;
    while (text.size() < size)
        text += line;
    text.truncate(size);
    return text;
}

quint8 keyPart(quint64 key, int i)
{
    return quint8(key >> (8 * (i % 8)));
}

// The chaining written out independently of the class: every output byte is
// the input XOR the key part XOR the previous output byte.
QByteArray chain(quint64 key, QByteArray body)
{
    quint8 previous = 0;
    for (int i = 0; i < body.size(); ++i) {
        previous = quint8(quint8(body[i]) ^ keyPart(key, i) ^ previous);
        body[i] = char(previous);
    }
    return body;
}

QByteArray unchain(quint64 key, QByteArray body)
{
    quint8 previous = 0;
    for (int i = 0; i < body.size(); ++i) {
        const quint8 current = quint8(body[i]);
        body[i] = char(current ^ previous ^ keyPart(key, i));
        previous = current;
    }
    return body;
}

// A cipher text made by hand: version, flags and the chained body (which
// must start with the random byte).
QByteArray seal(quint64 key, char flags, const QByteArray &body)
{
    return QByteArray(1, char(0x1C)) + flags + chain(key, body);
}

QByteArray crcBigEndian(const QByteArray &data)
{
    QByteArray block(2, '\0');
    qToBigEndian(qChecksum(data.constData(), uint(data.size()), Qt::ChecksumIso3309), block.data());
    return block;
}

QByteArray sha1(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1);
}

PayloadCipher makeCipher(PayloadCipher::CompressionMode compression, PayloadCipher::ProtectionMode protection)
{
    PayloadCipher cipher(TestKey);
    cipher.setCompressionMode(compression);
    cipher.setProtectionMode(protection);
    return cipher;
}

int blockSize(PayloadCipher::ProtectionMode protection)
{
    return protection == PayloadCipher::ProtectChecksum ? 2 : protection == PayloadCipher::ProtectHash ? 20 : 0;
}

const char *compressionName(PayloadCipher::CompressionMode mode)
{
    return mode == PayloadCipher::CompressAuto ? "auto" : mode == PayloadCipher::CompressAlways ? "always" : "never";
}

const char *protectionName(PayloadCipher::ProtectionMode mode)
{
    return mode == PayloadCipher::ProtectNone ? "none" : mode == PayloadCipher::ProtectChecksum ? "crc" : "sha1";
}

const PayloadCipher::CompressionMode AllCompressions[] = {PayloadCipher::CompressAuto, PayloadCipher::CompressAlways,
                                                          PayloadCipher::CompressNever};
const PayloadCipher::ProtectionMode AllProtections[] = {PayloadCipher::ProtectNone, PayloadCipher::ProtectChecksum,
                                                        PayloadCipher::ProtectHash};

} // namespace

class TestPayloadCipher : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void emptyPlaintextLayout_data();
    void emptyPlaintextLayout();
    void byteLayoutMatchesChainingAndCrc();
    void cacheCipherUsesBuiltInKeyCompressionAndHash();
    void encryptionsOfTheSamePlaintextDiffer();
    void changedByteIsDetected_data();
    void changedByteIsDetected();
    void foreignVersionIsRejected_data();
    void foreignVersionIsRejected();
    void missingKeyFails();
    void tooShortInputFails_data();
    void tooShortInputFails();
    void handBuiltCipherTexts_data();
    void handBuiltCipherTexts();
    void everyTruncationFails_data();
    void everyTruncationFails();
};

void TestPayloadCipher::roundTrip_data()
{
    QTest::addColumn<PayloadCipher::CompressionMode>("compression");
    QTest::addColumn<PayloadCipher::ProtectionMode>("protection");
    QTest::addColumn<QByteArray>("plaintext");

    const QList<QPair<const char *, QByteArray>> texts = {
        {"empty", QByteArray()},
        {"one byte", QByteArray(1, '\xA5')},
        {"text 4 KiB", repetitiveText(4096)},
        {"random 3 MiB", TestFiles::noise(3 * 1024 * 1024, 7)},
    };
    for (auto compression : AllCompressions) {
        for (auto protection : AllProtections) {
            for (const auto &text : texts) {
                QTest::addRow("%s/%s/%s", compressionName(compression), protectionName(protection), text.first)
                    << compression << protection << text.second;
            }
        }
    }
}

void TestPayloadCipher::roundTrip()
{
    QFETCH(PayloadCipher::CompressionMode, compression);
    QFETCH(PayloadCipher::ProtectionMode, protection);
    QFETCH(QByteArray, plaintext);

    PayloadCipher cipher = makeCipher(compression, protection);
    const QByteArray cipherText = cipher.encrypt(plaintext);
    QCOMPARE(cipher.lastError(), PayloadCipher::NoError);

    // Compression is chosen as the mode says; in auto mode only when it
    // actually saves space.
    const QByteArray packed = Compression::compress(plaintext);
    const bool compressed = compression == PayloadCipher::CompressAlways
        || (compression == PayloadCipher::CompressAuto && packed.size() < plaintext.size());
    const char expectedFlags = char((compressed ? 0x01 : 0) | (protection == PayloadCipher::ProtectChecksum ? 0x02 : 0)
                                    | (protection == PayloadCipher::ProtectHash ? 0x04 : 0));
    QCOMPARE(cipherText.at(0), char(0x1C));
    QCOMPARE(cipherText.at(1), expectedFlags);
    QCOMPARE(cipherText.size(), 3 + blockSize(protection) + (compressed ? packed.size() : plaintext.size()));

    // A fresh instance (another run of the program) reads it back.
    PayloadCipher reader(TestKey);
    const QByteArray decrypted = reader.decrypt(cipherText);
    QCOMPARE(reader.lastError(), PayloadCipher::NoError);
    QVERIFY(decrypted == plaintext);

    // The plaintext is not left readable in the cipher text.
    if (plaintext.size() > 64 && !compressed)
        QVERIFY(!cipherText.contains(plaintext.left(32)));
}

void TestPayloadCipher::emptyPlaintextLayout_data()
{
    QTest::addColumn<PayloadCipher::CompressionMode>("compression");
    QTest::addColumn<PayloadCipher::ProtectionMode>("protection");
    QTest::addColumn<QByteArray>("expectedBody"); // after the random byte

    QTest::newRow("always/sha1") << PayloadCipher::CompressAlways << PayloadCipher::ProtectHash
                                 << sha1(QByteArray(4, '\0')) + QByteArray(4, '\0');
    QTest::newRow("never/none") << PayloadCipher::CompressNever << PayloadCipher::ProtectNone << QByteArray();
    QTest::newRow("never/crc") << PayloadCipher::CompressNever << PayloadCipher::ProtectChecksum
                               << crcBigEndian(QByteArray());
    QTest::newRow("always/none") << PayloadCipher::CompressAlways << PayloadCipher::ProtectNone << QByteArray(4, '\0');
}

void TestPayloadCipher::emptyPlaintextLayout()
{
    QFETCH(PayloadCipher::CompressionMode, compression);
    QFETCH(PayloadCipher::ProtectionMode, protection);
    QFETCH(QByteArray, expectedBody);

    PayloadCipher cipher = makeCipher(compression, protection);
    const QByteArray cipherText = cipher.encrypt(QByteArray());
    QCOMPARE(cipherText.size(), 3 + expectedBody.size());
    QCOMPARE(unchain(TestKey, cipherText.mid(2)).mid(1), expectedBody);

    const QByteArray decrypted = cipher.decrypt(cipherText);
    QVERIFY(decrypted.isEmpty());
    QCOMPARE(cipher.lastError(), PayloadCipher::NoError);
}

void TestPayloadCipher::byteLayoutMatchesChainingAndCrc()
{
    // "123456789" is the check input of CRC-16/X-25, whose check value is
    // 0x906E; the body is longer than the key, so the key parts wrap.
    const QByteArray check = QByteArrayLiteral("123456789");
    PayloadCipher cipher = makeCipher(PayloadCipher::CompressNever, PayloadCipher::ProtectChecksum);
    const QByteArray cipherText = cipher.encrypt(check);
    QCOMPARE(cipherText.left(2), QByteArray("\x1C\x02", 2));
    const QByteArray body = unchain(TestKey, cipherText.mid(2));
    QCOMPARE(body.mid(1, 2), QByteArray("\x90\x6E", 2));
    QCOMPARE(body.mid(3), check);

    // And the other way: a cipher text chained by hand decrypts.
    const QByteArray handMade = seal(TestKey, 0x02, QByteArray("\x42\x90\x6E", 3) + check);
    QCOMPARE(cipher.decrypt(handMade), check);
    QCOMPARE(cipher.lastError(), PayloadCipher::NoError);
}

void TestPayloadCipher::cacheCipherUsesBuiltInKeyCompressionAndHash()
{
    const QByteArray plaintext = repetitiveText(1000);
    const QByteArray cipherText = PayloadCipher::forCache().encrypt(plaintext);
    QCOMPARE(cipherText.at(1), char(0x05));
    const QByteArray body = unchain(PayloadCipher::BuiltInKey, cipherText.mid(2));
    QCOMPARE(body.mid(1, 20), sha1(body.mid(21)));
    QByteArray unpacked;
    QVERIFY(Compression::uncompress(body.mid(21), &unpacked));
    QCOMPARE(unpacked, plaintext);
}

void TestPayloadCipher::encryptionsOfTheSamePlaintextDiffer()
{
    const QByteArray plaintext = QByteArrayLiteral("servers");
    PayloadCipher cipher = PayloadCipher::forCache();
    QSet<QByteArray> seen;
    for (int i = 0; i < 8; ++i) {
        const QByteArray cipherText = cipher.encrypt(plaintext);
        seen.insert(cipherText);
        QCOMPARE(cipher.decrypt(cipherText), plaintext);
    }
    // Each random byte is a fresh draw; eight equal draws would mean the
    // byte is not random at all.
    QVERIFY(seen.size() > 1);
}

void TestPayloadCipher::changedByteIsDetected_data()
{
    QTest::addColumn<PayloadCipher::CompressionMode>("compression");
    QTest::addColumn<PayloadCipher::ProtectionMode>("protection");
    QTest::addColumn<QByteArray>("plaintext");

    const QList<QPair<const char *, QByteArray>> texts = {
        {"empty", QByteArray()},
        {"one byte", QByteArray(1, 'x')},
        {"text 300 B", repetitiveText(300)},
        {"random 64 KiB", TestFiles::noise(64 * 1024, 11)},
    };
    for (auto compression : {PayloadCipher::CompressNever, PayloadCipher::CompressAlways}) {
        for (auto protection : {PayloadCipher::ProtectChecksum, PayloadCipher::ProtectHash}) {
            for (const auto &text : texts) {
                QTest::addRow("%s/%s/%s", compressionName(compression), protectionName(protection), text.first)
                    << compression << protection << text.second;
            }
        }
    }
}

void TestPayloadCipher::changedByteIsDetected()
{
    QFETCH(PayloadCipher::CompressionMode, compression);
    QFETCH(PayloadCipher::ProtectionMode, protection);
    QFETCH(QByteArray, plaintext);

    PayloadCipher cipher = makeCipher(compression, protection);
    const QByteArray cipherText = cipher.encrypt(plaintext);
    const int size = cipherText.size();

    // Short cipher texts: every position after the random byte with every
    // change. Long ones: both ends and an even spread between.
    QVector<int> positions;
    QVector<quint8> deltas;
    if (size <= 400) {
        for (int i = 3; i < size; ++i)
            positions << i;
        if (size <= 40) {
            for (int d = 1; d < 256; ++d)
                deltas << quint8(d);
        } else {
            deltas << 0x01 << 0x80 << 0xFF << 0x5A;
        }
    } else {
        for (int i = 3; i < 40; ++i)
            positions << i << size - 1 - (i - 3);
        for (int i = 0; i < 200; ++i)
            positions << 40 + int(qint64(size - 80) * i / 200);
        deltas << 0x01 << 0xFF;
    }

    for (int position : qAsConst(positions)) {
        for (quint8 delta : qAsConst(deltas)) {
            QByteArray damaged = cipherText;
            damaged[position] = char(quint8(damaged[position]) ^ delta);
            const QByteArray decrypted = cipher.decrypt(damaged);
            if (!decrypted.isEmpty() || cipher.lastError() != PayloadCipher::IntegrityFailed) {
                QFAIL(qPrintable(QStringLiteral("change 0x%1 at offset %2 of %3 went unnoticed")
                                     .arg(delta, 2, 16, QLatin1Char('0'))
                                     .arg(position)
                                     .arg(size)));
            }
        }
    }
}

void TestPayloadCipher::foreignVersionIsRejected_data()
{
    QTest::addColumn<char>("version");
    for (int version : {0x00, 0x03, 0x1B, 0x1D, 0x9C, 0xFF})
        QTest::addRow("0x%02x", version) << char(version);
}

void TestPayloadCipher::foreignVersionIsRejected()
{
    QFETCH(char, version);
    PayloadCipher cipher = PayloadCipher::forCache();
    QByteArray cipherText = cipher.encrypt(QByteArrayLiteral("list"));
    cipherText[0] = version;

    QTest::ignoreMessage(QtWarningMsg, "Invalid version or not a cyphertext.");
    QVERIFY(cipher.decrypt(cipherText).isEmpty());
    QCOMPARE(cipher.lastError(), PayloadCipher::BadVersion);
}

void TestPayloadCipher::missingKeyFails()
{
    const QByteArray cipherText =
        makeCipher(PayloadCipher::CompressAuto, PayloadCipher::ProtectChecksum).encrypt(QByteArrayLiteral("data"));
    PayloadCipher cipher;

    QTest::ignoreMessage(QtWarningMsg, "No key set.");
    QVERIFY(cipher.encrypt(QByteArrayLiteral("data")).isEmpty());
    QCOMPARE(cipher.lastError(), PayloadCipher::NoKey);

    QTest::ignoreMessage(QtWarningMsg, "No key set.");
    QVERIFY(cipher.decrypt(cipherText).isEmpty());
    QCOMPARE(cipher.lastError(), PayloadCipher::NoKey);

    // A key set later is used from then on.
    cipher.setKey(TestKey);
    QCOMPARE(cipher.decrypt(cipherText), QByteArrayLiteral("data"));
    QCOMPARE(cipher.lastError(), PayloadCipher::NoError);
}

void TestPayloadCipher::tooShortInputFails_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("version only") << QByteArray(1, char(0x1C));
    QTest::newRow("version and flags") << QByteArray("\x1C\x05", 2);
}

void TestPayloadCipher::tooShortInputFails()
{
    QFETCH(QByteArray, input);
    PayloadCipher cipher = PayloadCipher::forCache();
    cipher.decrypt(cipher.encrypt(QByteArray()));
    QCOMPARE(cipher.lastError(), PayloadCipher::NoError);

    // Must not keep reporting the previous success.
    QVERIFY(cipher.decrypt(input).isEmpty());
    QCOMPARE(cipher.lastError(), PayloadCipher::BadVersion);
}

void TestPayloadCipher::handBuiltCipherTexts_data()
{
    QTest::addColumn<char>("flags");
    QTest::addColumn<QByteArray>("body"); // before chaining, random byte included
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<PayloadCipher::CipherError>("expectedError");

    const QByteArray abc = QByteArrayLiteral("abc");
    const QByteArray r(1, '\x77');
    const auto ok = PayloadCipher::NoError;
    const auto bad = PayloadCipher::IntegrityFailed;

    QTest::newRow("plain") << char(0x00) << r + abc << abc << ok;
    QTest::newRow("crc") << char(0x02) << r + crcBigEndian(abc) + abc << abc << ok;
    QTest::newRow("crc wins over hash") << char(0x06) << r + crcBigEndian(abc) + abc << abc << ok;
    QTest::newRow("crc little-endian") << char(0x02) << r + crcBigEndian(abc).right(1) + crcBigEndian(abc).left(1) + abc
                                       << QByteArray() << bad;
    QTest::newRow("crc cut short") << char(0x02) << r + QByteArray(1, '\x01') << QByteArray() << bad;
    QTest::newRow("crc no room") << char(0x02) << r << QByteArray() << bad;
    QTest::newRow("sha1") << char(0x04) << r + sha1(abc) + abc << abc << ok;
    QTest::newRow("sha1 cut short") << char(0x04) << r + sha1(abc).left(19) << QByteArray() << bad;
    QTest::newRow("sha1 of other data") << char(0x04) << r + sha1("abd") + abc << QByteArray() << bad;
    QTest::newRow("compressed") << char(0x01) << r + Compression::compress(abc) << abc << ok;
    QTest::newRow("compressed empty") << char(0x01) << r + QByteArray(4, '\0') << QByteArray() << ok;

    // Compressed payloads that cannot be unpacked, with and without a
    // matching digest: the digest only proves they were written that way.
    const QByteArray valid = Compression::compress(repetitiveText(5000));
    QByteArray shrunk = valid;
    shrunk[3] = char(quint8(shrunk[3]) - 1); // the stream yields one byte more than announced
    const QList<QPair<const char *, QByteArray>> hostile = {
        {"announces 4 GiB", QByteArray("\xFF\xFF\xFF\xFF", 4) + valid.mid(4)},
        {"announces 2 GiB", QByteArray("\x7F\xFF\xFF\xC0", 4) + valid.mid(4)},
        {"announces more than the stream holds", QByteArray("\x00\x10\x00\x00", 4) + valid.mid(4)},
        {"stream expands past the size", shrunk},
        {"stream cut", valid.left(valid.size() / 2)},
        {"header cut", QByteArray("\x00\x00", 2)},
        {"garbage stream", QByteArray("\x00\x00\x01\x00", 4) + TestFiles::noise(200, 3)},
    };
    // A payload larger than any cache the program writes (a state file of
    // a few megabytes could announce gigabytes).
    const QByteArray oversized = Compression::compress(QByteArray(int(PayloadCipher::MaxPlaintextSize) + 1, 'x'));
    QTest::newRow("digest right, payload beyond the largest cache")
        << char(0x05) << r + sha1(oversized) + oversized << QByteArray() << bad;
    for (const auto &row : hostile) {
        QTest::addRow("unpackable, %s", row.first) << char(0x01) << r + row.second << QByteArray() << bad;
        QTest::addRow("unpackable with digest, %s", row.first)
            << char(0x05) << r + sha1(row.second) + row.second << QByteArray() << bad;
    }
}

void TestPayloadCipher::handBuiltCipherTexts()
{
    QFETCH(char, flags);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, expected);
    QFETCH(PayloadCipher::CipherError, expectedError);

    PayloadCipher cipher(TestKey);
    const QByteArray decrypted = cipher.decrypt(seal(TestKey, flags, body));
    QCOMPARE(cipher.lastError(), expectedError);
    QCOMPARE(decrypted, expected);
}

void TestPayloadCipher::everyTruncationFails_data()
{
    QTest::addColumn<PayloadCipher::CompressionMode>("compression");
    QTest::addColumn<PayloadCipher::ProtectionMode>("protection");

    // Without protection and compression a shorter text is still a valid
    // cipher text of a shorter plaintext, so that pair is not listed.
    QTest::newRow("always/sha1") << PayloadCipher::CompressAlways << PayloadCipher::ProtectHash;
    QTest::newRow("always/crc") << PayloadCipher::CompressAlways << PayloadCipher::ProtectChecksum;
    QTest::newRow("always/none") << PayloadCipher::CompressAlways << PayloadCipher::ProtectNone;
    QTest::newRow("never/sha1") << PayloadCipher::CompressNever << PayloadCipher::ProtectHash;
    QTest::newRow("never/crc") << PayloadCipher::CompressNever << PayloadCipher::ProtectChecksum;
    QTest::newRow("auto/crc") << PayloadCipher::CompressAuto << PayloadCipher::ProtectChecksum;
}

void TestPayloadCipher::everyTruncationFails()
{
    QFETCH(PayloadCipher::CompressionMode, compression);
    QFETCH(PayloadCipher::ProtectionMode, protection);

    PayloadCipher cipher = makeCipher(compression, protection);
    const QByteArray cipherText = cipher.encrypt(repetitiveText(1500) + TestFiles::noise(500, 5));
    for (int length = 0; length < cipherText.size(); ++length) {
        const QByteArray decrypted = cipher.decrypt(cipherText.left(length));
        if (!decrypted.isEmpty() || cipher.lastError() == PayloadCipher::NoError)
            QFAIL(
                qPrintable(QStringLiteral("truncation to %1 of %2 bytes accepted").arg(length).arg(cipherText.size())));
    }
}

QTEST_GUILESS_MAIN(TestPayloadCipher)
#include "tst_payloadcipher.moc"
