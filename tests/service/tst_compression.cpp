#include "service/Compression.h"

#include <QRandomGenerator>
#include <QtTest>

#include <zlib.h>

namespace {

QByteArray text(int size)
{
    QByteArray bytes;
    while (bytes.size() < size)
        bytes += "pcgamefile/filesystem/data/gta.dat ";
    bytes.truncate(size);
    return bytes;
}

QByteArray withHeader(quint32 size, const QByteArray &stream)
{
    QByteArray block(4, '\0');
    block[0] = char(size >> 24);
    block[1] = char(size >> 16);
    block[2] = char(size >> 8);
    block[3] = char(size);
    return block + stream;
}

// A zlib stream of no data, as another zlib-format writer may produce it.
QByteArray emptyZlibStream()
{
    uchar buffer[64];
    uLongf length = sizeof buffer;
    compress2(buffer, &length, reinterpret_cast<const Bytef *>(""), 0, 9);
    return QByteArray(reinterpret_cast<const char *>(buffer), int(length));
}

} // namespace

class TestCompression : public QObject
{
    Q_OBJECT

private slots:
    void uncompress_data();
    void uncompress();
};

void TestCompression::uncompress_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("output");

    const QByteArray data = text(10000);
    const QByteArray block = Compression::compress(data);
    const QByteArray stream = block.mid(4);
    QByteArray noise(300, Qt::Uninitialized);
    QRandomGenerator generator(17);
    for (char &byte : noise)
        byte = char(generator.generate());

    QTest::newRow("round trip") << block << qint64(-1) << true << data;
    QTest::newRow("round trip, size expected") << block << qint64(data.size()) << true << data;
    QTest::newRow("one byte") << Compression::compress("x") << qint64(-1) << true << QByteArray("x");
    QTest::newRow("empty, bare header") << Compression::compress(QByteArray()) << qint64(-1) << true << QByteArray();
    QTest::newRow("empty, with a stream") << withHeader(0, emptyZlibStream()) << qint64(0) << true << QByteArray();
    QTest::newRow("empty header, data stream") << withHeader(0, stream) << qint64(-1) << false << QByteArray();
    QTest::newRow("expected size differs") << block << qint64(data.size() - 1) << false << QByteArray();
    QTest::newRow("announces 4 GiB") << withHeader(0xFFFFFFFFu, stream) << qint64(-1) << false << QByteArray();
    QTest::newRow("announces 4 GiB, expected")
        << withHeader(0xFFFFFFFFu, stream) << qint64(0xFFFFFFFFu) << false << QByteArray();
    QTest::newRow("expands past the size")
        << withHeader(quint32(data.size() - 1), stream) << qint64(-1) << false << QByteArray();
    QTest::newRow("ends before the size")
        << withHeader(quint32(data.size() + 1), stream) << qint64(-1) << false << QByteArray();
    QTest::newRow("stream cut") << block.left(block.size() - 5) << qint64(-1) << false << QByteArray();
    QTest::newRow("header cut") << block.left(3) << qint64(-1) << false << QByteArray();
    QTest::newRow("nothing") << QByteArray() << qint64(-1) << false << QByteArray();
    QTest::newRow("garbage") << withHeader(300, noise) << qint64(-1) << false << QByteArray();
}

void TestCompression::uncompress()
{
    QFETCH(QByteArray, block);
    QFETCH(qint64, expectedSize);
    QFETCH(bool, ok);
    QFETCH(QByteArray, output);

    QByteArray out = QByteArrayLiteral("stale");
    QCOMPARE(Compression::uncompress(block, &out, expectedSize), ok);
    QCOMPARE(out, output);
}

QTEST_GUILESS_MAIN(TestCompression)
#include "tst_compression.moc"
