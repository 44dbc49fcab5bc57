#include "files/imgarchive/ArchiveEditor.h"
#include "files/imgarchive/ProgressReceiver.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QMap>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtEndian>
#include <QtTest>

#include <algorithm>

using ImgArchive::ArchiveEditor;

namespace {

constexpr qint64 Sector = 2048;
constexpr qint64 EmptySize = 200 * Sector;

struct Rec
{
    quint32 start;
    quint16 first;
    quint16 second;
    QByteArray name;
};

// Magic, count and directory records, laid out byte by byte.
QByteArray directoryBytes(const QByteArray &magic, qint32 count, const QVector<Rec> &records)
{
    QByteArray out = magic;
    char word[4];
    qToLittleEndian<qint32>(count, word);
    out.append(word, 4);
    for (const Rec &r : records) {
        char head[8];
        qToLittleEndian<quint32>(r.start, head);
        qToLittleEndian<quint16>(r.first, head + 4);
        qToLittleEndian<quint16>(r.second, head + 6);
        out.append(head, 8);
        out.append(r.name.left(24).leftJustified(24, '\0'));
    }
    return out;
}

const Rec StaticHeader{0, 0, 0, "v2staticHeader.v2sh"};

// Places bytes at an offset, growing the file with zero bytes.
void putAt(QByteArray &file, qint64 offset, const QByteArray &bytes)
{
    if (file.size() < offset + bytes.size())
        file.append(QByteArray(int(offset + bytes.size() - file.size()), '\0'));
    file.replace(int(offset), bytes.size(), bytes);
}

QByteArray pattern(qint64 size, int seed)
{
    QByteArray out(int(size), Qt::Uninitialized);
    for (int i = 0; i < out.size(); ++i)
        out[i] = char((i * 7 + seed * 31 + i / 251) & 0xff);
    return out;
}

// Checks that path is a V2SH archive whose members are exactly `expected`
// (contents compared with their sector padding), with every member inside
// the data area, none overlapping and the file ending after the last one.
// Returns a description of the first problem, empty when there is none.
QString checkArchive(const QString &path, const QMap<QString, QByteArray> &expected)
{
    if (!ArchiveEditor::isV2StaticHeader(path))
        return QStringLiteral("not V2SH");
    const qint64 size = QFileInfo(path).size();
    ArchiveEditor editor(path);
    if (!editor.open())
        return QStringLiteral("does not open");
    if (editor.directory().size() != expected.size())
        return QStringLiteral("%1 members instead of %2").arg(editor.directory().size()).arg(expected.size());
    QVector<QPair<quint32, quint32>> extents;
    for (int i = 0; i < editor.directory().size(); ++i) {
        const ImgDirEntry &e = editor.directory().at(i);
        if (!expected.contains(e.name))
            return QStringLiteral("unexpected member ") + e.name;
        if (e.startSector < 200)
            return QStringLiteral("member in the directory area: ") + e.name;
        if (editor.read(i) != TestFiles::padded(expected.value(e.name)))
            return QStringLiteral("content differs: ") + e.name;
        extents.append({e.startSector, e.startSector + e.sectors()});
    }
    std::sort(extents.begin(), extents.end());
    for (int i = 1; i < extents.size(); ++i) {
        if (extents.at(i).first < extents.at(i - 1).second)
            return QStringLiteral("overlapping members");
    }
    if (qint64(editor.nextFreeSector()) * Sector != size)
        return QStringLiteral("file size %1 does not end after the last member").arg(size);
    return QString();
}

class RecordingReceiver final : public ProgressReceiver
{
public:
    void updateProgressBar(quint64 total, quint64 done) override { progress.append({total, done}); }
    void updateCurrentFile(const QString &currentFile, const QString &speed) override
    {
        files.append(currentFile);
        speeds.append(speed);
    }

    QVector<QPair<quint64, quint64>> progress;
    QStringList files;
    QStringList speeds;
};

} // namespace

Q_DECLARE_METATYPE(Rec)

class TestArchiveEditor : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void createEmptyLayout();
    void appendOneByte();
    void replaceInPlaceOrAtEnd_data();
    void replaceInPlaceOrAtEnd();
    void removeShortensOnlyAtEnd_data();
    void removeShortensOnlyAtEnd();
    void findIgnoresCase_data();
    void findIgnoresCase();
    void reopenFollowsNameOrder();
    void appendRefusesWhatDoesNotFit_data();
    void appendRefusesWhatDoesNotFit();
    void appendRefusedWhenDirectoryFull();
    void appendNeverOverwritesAnotherFile_data();
    void appendNeverOverwritesAnotherFile();
    void replaceMovesRecordOutOfDirectoryArea();
    void openRejectsImplausibleDirectory_data();
    void openRejectsImplausibleDirectory();
    void readStaysInsideFile();
    void readOnlyNeverWrites_data();
    void readOnlyNeverWrites();
    void isV2StaticHeader_data();
    void isV2StaticHeader();
    void isCompactOnlyAsRebuilt_data();
    void isCompactOnlyAsRebuilt();

    void convertPacksMembersInSourceOrder();
    void convertHostileArchive_data();
    void convertHostileArchive();
    void convertTruncatedArchive();
    void convertFailureLeavesSource();
    void convertNamesByCodePageAndRebuildKeepsUtf8();

private:
    QString archivePath() const { return scratch->filePath(QStringLiteral("gta3.img")); }
    QString tempPath() const { return scratch->filePath(QStringLiteral("gta3.img.tmp")); }

    QScopedPointer<QTemporaryDir> scratch;
};

void TestArchiveEditor::init()
{
    scratch.reset(new QTemporaryDir);
    QVERIFY(scratch->isValid());
}

void TestArchiveEditor::createEmptyLayout()
{
    QVERIFY(TestFiles::write(archivePath(), pattern(500000, 1))); // truncated, not kept
    QVERIFY(ArchiveEditor::createEmpty(archivePath()));
    QByteArray expected = directoryBytes("V2SH", 1, {StaticHeader});
    putAt(expected, EmptySize - 1, QByteArray(1, '\0'));
    QCOMPARE(TestFiles::read(archivePath()), expected);

    ArchiveEditor editor(archivePath());
    QVERIFY(editor.open());
    QVERIFY(editor.directory().isEmpty());
    QCOMPARE(editor.nextFreeSector(), 200u);
    QVERIFY(editor.close());
    QCOMPARE(TestFiles::read(archivePath()), expected);
}

void TestArchiveEditor::appendOneByte()
{
    QVERIFY(ArchiveEditor::createEmpty(archivePath()));
    ArchiveEditor editor(archivePath());
    QVERIFY(editor.open());
    QVERIFY(editor.append(QStringLiteral("a.dff"), QByteArray("x")));
    QCOMPARE(editor.directory().at(0).startSector, 200u);
    QCOMPARE(editor.entrySectors(0), 1u);
    QCOMPARE(editor.read(0), TestFiles::padded("x"));
    QCOMPARE(editor.nextFreeSector(), 201u);
    QVERIFY(editor.close());
    QCOMPARE(QFileInfo(archivePath()).size(), 411648);
    QCOMPARE(checkArchive(archivePath(), {{QStringLiteral("a.dff"), "x"}}), QString());
}

void TestArchiveEditor::replaceInPlaceOrAtEnd_data()
{
    QTest::addColumn<qint64>("newSize");
    QTest::addColumn<quint32>("expectedStart");
    QTest::addColumn<quint32>("expectedEnd");
    // a.dff takes sectors 200-202, b.dff sector 203.
    QTest::newRow("smaller keeps its place") << 2 * Sector << 200u << 204u;
    QTest::newRow("same sectors keep their place") << 3 * Sector - 5 << 200u << 204u;
    QTest::newRow("larger moves behind the last") << 4 * Sector << 204u << 208u;
    QTest::newRow("empty keeps its place") << qint64(0) << 200u << 204u;
}

void TestArchiveEditor::replaceInPlaceOrAtEnd()
{
    QFETCH(qint64, newSize);
    QFETCH(quint32, expectedStart);
    QFETCH(quint32, expectedEnd);
    QVERIFY(ArchiveEditor::createEmpty(archivePath()));
    const QByteArray b = pattern(Sector, 2);
    const QByteArray replacement = pattern(newSize, 3);
    {
        ArchiveEditor editor(archivePath());
        QVERIFY(editor.open());
        QVERIFY(editor.append(QStringLiteral("a.dff"), pattern(3 * Sector, 1)));
        QVERIFY(editor.append(QStringLiteral("b.dff"), b));
        QVERIFY(editor.replace(0, replacement));
        QCOMPARE(editor.directory().at(0).startSector, expectedStart);
        QCOMPARE(editor.nextFreeSector(), expectedEnd);
        QVERIFY(!editor.replace(5, replacement));
    }
    QCOMPARE(checkArchive(archivePath(), {{QStringLiteral("a.dff"), replacement}, {QStringLiteral("b.dff"), b}}),
             QString());
}

void TestArchiveEditor::removeShortensOnlyAtEnd_data()
{
    QTest::addColumn<QString>("removed");
    QTest::addColumn<qint64>("expectedSize");
    // a.dff: 200-201, b.dff: 202, c.dff: 203-205.
    QTest::newRow("last") << QStringLiteral("c.dff") << 203 * Sector;
    QTest::newRow("first leaves a gap") << QStringLiteral("a.dff") << 206 * Sector;
    QTest::newRow("middle leaves a gap") << QStringLiteral("b.dff") << 206 * Sector;
}

void TestArchiveEditor::removeShortensOnlyAtEnd()
{
    QFETCH(QString, removed);
    QFETCH(qint64, expectedSize);
    QVERIFY(ArchiveEditor::createEmpty(archivePath()));
    QMap<QString, QByteArray> members{{QStringLiteral("a.dff"), pattern(2 * Sector - 9, 1)},
                                      {QStringLiteral("b.dff"), pattern(Sector, 2)},
                                      {QStringLiteral("c.dff"), pattern(3 * Sector, 3)}};
    {
        ArchiveEditor editor(archivePath());
        QVERIFY(editor.open());
        for (auto it = members.cbegin(); it != members.cend(); ++it)
            QVERIFY(editor.append(it.key(), it.value()));
        const int index = editor.find(removed);
        editor.remove(index);
        QCOMPARE(editor.find(removed), -1);
        QVERIFY(editor.read(index).isEmpty());
        QCOMPARE(editor.entrySectors(index), 0u);
    }
    QCOMPARE(QFileInfo(archivePath()).size(), expectedSize);
    members.remove(removed);
    QCOMPARE(checkArchive(archivePath(), members), QString());
}

void TestArchiveEditor::findIgnoresCase_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("expected");
    QTest::newRow("capitals") << QStringLiteral("MODEL.DFF") << 0;
    QTest::newRow("lower case of stored capitals") << QStringLiteral("other.txd") << 1;
    QTest::newRow("exact") << QStringLiteral("model.dff") << 0;
    QTest::newRow("prefix only") << QStringLiteral("model") << -1;
    QTest::newRow("missing") << QStringLiteral("gone.dff") << -1;
    QTest::newRow("empty") << QString() << -1;
}

void TestArchiveEditor::findIgnoresCase()
{
    QFETCH(QString, name);
    QFETCH(int, expected);
    QVERIFY(ArchiveEditor::createEmpty(archivePath()));
    ArchiveEditor editor(archivePath());
    QCOMPARE(editor.find(QStringLiteral("model.dff")), -1); // not open yet
    QVERIFY(editor.open());
    QVERIFY(editor.append(QStringLiteral("model.dff"), "m"));
    QVERIFY(editor.append(QStringLiteral("Other.TXD"), "o"));
    QCOMPARE(editor.find(name), expected);
    if (expected >= 0) {
        editor.remove(expected);
        QCOMPARE(editor.find(name), -1);
    }
}

void TestArchiveEditor::reopenFollowsNameOrder()
{
    QVERIFY(ArchiveEditor::createEmpty(archivePath()));
    const QStringList names{QStringLiteral("c.dff"), QStringLiteral("B.txd"), QStringLiteral("d.ifp"),
                            QStringLiteral("a.col")};
    {
        ArchiveEditor editor(archivePath());
        QVERIFY(editor.open());
        for (int i = 0; i < names.size(); ++i)
            QVERIFY(editor.append(names.at(i), pattern(Sector * i + 100, i)));
    }
    ArchiveEditor editor(archivePath());
    QVERIFY(editor.open());
    QStringList order;
    for (const ImgDirEntry &e : editor.directory())
        order.append(e.name);
    // Case-sensitive order of UTF-16 code units: capitals first.
    QCOMPARE(order,
             (QStringList{QStringLiteral("B.txd"), QStringLiteral("a.col"), QStringLiteral("c.dff"),
                          QStringLiteral("d.ifp")}));
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(editor.read(editor.find(names.at(i))), TestFiles::padded(pattern(Sector * i + 100, i)));
}

void TestArchiveEditor::appendRefusesWhatDoesNotFit_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("23 bytes") << QString(23, QLatin1Char('n')) << qint64(10) << true;
    QTest::newRow("24 bytes") << QString(24, QLatin1Char('n')) << qint64(10) << false;
    QTest::newRow("12 Cyrillic letters are 24 bytes") << QString::fromUtf8("абвгдеёжзийк") << qint64(10) << false;
    QTest::newRow("11 Cyrillic letters and a dot are 23 bytes")
        << QString::fromUtf8("абвгдеёжзий.") << qint64(10) << true;
    QTest::newRow("empty name") << QString() << qint64(10) << false;
    QTest::newRow("one byte over 65535 sectors") << QStringLiteral("big.dff") << 65535 * Sector + 1 << false;
}

void TestArchiveEditor::appendRefusesWhatDoesNotFit()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(bool, accepted);
    QVERIFY(ArchiveEditor::createEmpty(archivePath()));
    {
        ArchiveEditor editor(archivePath());
        QVERIFY(!editor.append(QStringLiteral("closed.dff"), "x"));
        QVERIFY(editor.open());
        QCOMPARE(editor.append(name, QByteArray(int(size), 'd')), accepted);
        QCOMPARE(editor.directory().size(), accepted ? 1 : 0);
    }
    if (accepted)
        QCOMPARE(checkArchive(archivePath(), {{name, QByteArray(int(size), 'd')}}), QString());
    else
        QCOMPARE(QFileInfo(archivePath()).size(), EmptySize);
}

void TestArchiveEditor::appendRefusedWhenDirectoryFull()
{
    QVector<Rec> records{StaticHeader};
    for (int i = 0; i < 12798; ++i)
        records.append({200, 0, 0, QByteArray::number(100000 + i)});
    QByteArray bytes = directoryBytes("V2SH", records.size(), records);
    putAt(bytes, EmptySize - 1, QByteArray(1, '\0'));
    QVERIFY(TestFiles::write(archivePath(), bytes));
    {
        ArchiveEditor editor(archivePath());
        QVERIFY(editor.open());
        QCOMPARE(editor.directory().size(), 12798);
        QVERIFY(!editor.append(QStringLiteral("one.more"), "x"));
        editor.remove(0);
        QVERIFY(editor.append(QStringLiteral("one.more"), "x")); // a removed record frees its slot
    }
    QCOMPARE(QFileInfo(archivePath()).size(), 201 * Sector);
    ArchiveEditor editor(archivePath());
    QVERIFY(editor.open());
    QCOMPARE(editor.directory().size(), 12798);
    QCOMPARE(editor.read(editor.find(QStringLiteral("one.more"))), TestFiles::padded("x"));
}

void TestArchiveEditor::appendNeverOverwritesAnotherFile_data()
{
    QTest::addColumn<QVector<Rec>>("records");
    QTest::addColumn<quint32>("expectedNext");
    QTest::newRow("empty record shares the start of a real one")
        << QVector<Rec>{StaticHeader, {200, 0, 0, "a_empty.txd"}, {200, 2, 0, "b_real.dff"}} << 202u;
    QTest::newRow("overlapping records") << QVector<Rec>{StaticHeader, {200, 4, 0, "a.dff"}, {201, 1, 0, "b.dff"}}
                                         << 204u;
    QTest::newRow("second size counts") << QVector<Rec>{StaticHeader, {200, 1, 3, "a.dff"}, {202, 1, 0, "b.dff"}}
                                        << 203u;
}

void TestArchiveEditor::appendNeverOverwritesAnotherFile()
{
    QFETCH(QVector<Rec>, records);
    QFETCH(quint32, expectedNext);
    QByteArray bytes = directoryBytes("V2SH", records.size(), records);
    putAt(bytes, 200 * Sector, pattern((expectedNext - 200) * Sector, 9));
    QVERIFY(TestFiles::write(archivePath(), bytes));

    ArchiveEditor editor(archivePath());
    QVERIFY(editor.open());
    QCOMPARE(editor.nextFreeSector(), expectedNext);
    QVERIFY(editor.append(QStringLiteral("new.dff"), pattern(Sector, 4)));
    QCOMPARE(editor.directory().last().startSector, expectedNext);
    QVERIFY(editor.close());
    QCOMPARE(TestFiles::read(archivePath()).mid(int(EmptySize), int((expectedNext - 200) * Sector)),
             pattern((expectedNext - 200) * Sector, 9));
}

void TestArchiveEditor::replaceMovesRecordOutOfDirectoryArea()
{
    // A record at sector 0 lies on the magic and the directory itself.
    QByteArray bytes = directoryBytes("V2SH", 3, {StaticHeader, {0, 1, 0, "low.dff"}, {200, 1, 0, "x.dff"}});
    putAt(bytes, 200 * Sector, pattern(Sector, 5));
    QVERIFY(TestFiles::write(archivePath(), bytes));
    {
        ArchiveEditor editor(archivePath());
        QVERIFY(editor.open());
        QVERIFY(editor.replace(editor.find(QStringLiteral("low.dff")), pattern(100, 6)));
        QCOMPARE(editor.directory().at(0).startSector, 201u);
    }
    QCOMPARE(checkArchive(archivePath(),
                          {{QStringLiteral("low.dff"), pattern(100, 6)},
                           {QStringLiteral("x.dff"), pattern(Sector, 5)}}),
             QString());
}

void TestArchiveEditor::openRejectsImplausibleDirectory_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QStringList>("names");

    QByteArray tooMany = directoryBytes("V2SH", 12800, {StaticHeader});
    putAt(tooMany, 8 + 32 * 12800 + Sector, "end");
    QTest::newRow("count beyond the directory area") << tooMany << false << QStringList();
    QByteArray huge = directoryBytes("V2SH", 0x7fffffff, {StaticHeader});
    putAt(huge, EmptySize - 1, QByteArray(1, '\0'));
    QTest::newRow("count huge") << huge << false << QStringList();
    QTest::newRow("directory beyond the end of the file")
        << directoryBytes("V2SH", 5, {StaticHeader, {200, 1, 0, "a.dff"}}) << false << QStringList();

    QByteArray valid = directoryBytes(
        "V2SH", 4,
        {StaticHeader, {200, 1, 0, "in.dff"}, {205, 1, 0, "out.dff"}, {0xffffff00u, 0xffff, 0xffff, "far.dff"}});
    putAt(valid, 201 * Sector - 1, "\x01");
    QTest::newRow("records beyond the end are left out") << valid << true << QStringList{QStringLiteral("in.dff")};
    QTest::newRow("negative count") << directoryBytes("V2SH", -5, {StaticHeader}) << true << QStringList();
    QTest::newRow("shorter than a count") << QByteArray("V2S") << true << QStringList();
}

void TestArchiveEditor::openRejectsImplausibleDirectory()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, opens);
    QFETCH(QStringList, names);
    QVERIFY(TestFiles::write(archivePath(), bytes));
    ArchiveEditor editor(archivePath());
    QCOMPARE(editor.open(), opens);
    QCOMPARE(editor.isOpen(), opens);
    if (!opens) {
        QVERIFY(!editor.close());
        QCOMPARE(TestFiles::read(archivePath()), bytes);
        return;
    }
    QStringList found;
    for (const ImgDirEntry &e : editor.directory())
        found.append(e.name);
    QCOMPARE(found, names);
    QCOMPARE(editor.nextFreeSector(), quint32(200 + names.size()));
}

void TestArchiveEditor::readStaysInsideFile()
{
    QVERIFY(ArchiveEditor::createEmpty(archivePath()));
    ArchiveEditor editor(archivePath());
    QVERIFY(editor.open());
    QVERIFY(editor.append(QStringLiteral("a.dff"), pattern(3 * Sector, 1)));
    QFile other(archivePath());
    QVERIFY(other.open(QIODevice::ReadWrite));
    QVERIFY(other.resize(202 * Sector)); // cut by someone else while open
    QVERIFY(editor.read(0).isEmpty());
    QVERIFY(editor.read(-1).isEmpty());
    QVERIFY(editor.read(1).isEmpty());
}

void TestArchiveEditor::readOnlyNeverWrites_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // A game archive: a V2SH directory written over it would run into the
    // first file's data (63 records end 24 bytes before sector 1).
    QVector<Rec> records;
    for (int i = 0; i < 63; ++i)
        records.append({quint32(1 + i), 1, 0, QByteArray("m") + QByteArray::number(100 + i) + ".dff"});
    QByteArray ver2 = directoryBytes("VER2", 63, records);
    putAt(ver2, Sector, pattern(63 * Sector, 4));
    QTest::newRow("VER2 archive") << ver2;
    // Directory in storage order, not name order: writing it back would sort it.
    QByteArray unsorted = directoryBytes("V2SH", 3, {StaticHeader, {200, 1, 0, "m163.dff"}, {201, 1, 0, "m100.dff"}});
    putAt(unsorted, 200 * Sector, pattern(2 * Sector, 5));
    QTest::newRow("unsorted V2SH archive") << unsorted;
}

void TestArchiveEditor::readOnlyNeverWrites()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(TestFiles::write(archivePath(), bytes));
    QLoggingCategory::setFilterRules(QStringLiteral("varo.imgarchive.warning=false"));
    const auto restore = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    {
        ArchiveEditor editor(archivePath());
        QVERIFY(editor.openReadOnly());
        const int index = editor.find(QStringLiteral("M100.dff"));
        QVERIFY(index >= 0);
        const quint32 start = editor.directory().at(index).startSector;
        QCOMPARE(editor.read(index), bytes.mid(int(start * Sector), int(Sector)));
        QVERIFY(!editor.append(QStringLiteral("new.dff"), "x"));
        QVERIFY(!editor.replace(index, "x"));
        editor.remove(index);
        QCOMPARE(editor.find(QStringLiteral("m100.dff")), index);
        QVERIFY(!editor.writeDirectory());
        QVERIFY(editor.close());
        QVERIFY(editor.openReadOnly()); // left open: the destructor closes it
    }
    QCOMPARE(TestFiles::read(archivePath()), bytes);

    // The next open() is a writing one again.
    ArchiveEditor editor(archivePath());
    QVERIFY(editor.openReadOnly());
    QVERIFY(editor.open());
    QVERIFY(editor.append(QStringLiteral("new.dff"), "x"));
}

void TestArchiveEditor::isV2StaticHeader_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("expected");
    const QByteArray minimal = directoryBytes("V2SH", 1, {StaticHeader}).left(35);
    QTest::newRow("35 bytes are enough") << minimal << true;
    QTest::newRow("a byte short") << minimal.left(34) << false;
    QTest::newRow("empty file") << QByteArray() << false;
    QTest::newRow("VER2 magic") << directoryBytes("VER2", 1, {StaticHeader}) << false;
    QTest::newRow("count 0") << directoryBytes("V2SH", 0, {StaticHeader}) << false;
    QTest::newRow("count negative") << directoryBytes("V2SH", -1, {StaticHeader}) << false;
    QTest::newRow("first record another file")
        << directoryBytes("V2SH", 1, {{200, 1, 0, "v2staticHeader.v2s"}}) << false;
    QTest::newRow("longer name with the prefix")
        << directoryBytes("V2SH", 1, {{0, 0, 0, "v2staticHeader.v2shX"}}) << true;
}

void TestArchiveEditor::isV2StaticHeader()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, expected);
    QVERIFY(TestFiles::write(archivePath(), bytes));
    QCOMPARE(ArchiveEditor::isV2StaticHeader(archivePath()), expected);
    QVERIFY(!ArchiveEditor::isV2StaticHeader(archivePath() + QStringLiteral(".missing")));
}

void TestArchiveEditor::isCompactOnlyAsRebuilt_data()
{
    QTest::addColumn<QVector<Rec>>("records");
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<QByteArray>("areaTail"); // bytes right behind the records
    QTest::addColumn<bool>("expected");

    const QVector<Rec> packed{StaticHeader, {200, 2, 0, "a.dff"}, {202, 1, 0, "b.dff"}};
    QTest::newRow("packed in name order") << packed << 203 * Sector << QByteArray() << true;
    QTest::newRow("nothing but the header") << QVector<Rec>{StaticHeader} << EmptySize << QByteArray() << true;
    QTest::newRow("a gap left by a member") << QVector<Rec>{StaticHeader, {200, 2, 0, "a.dff"}, {203, 1, 0, "b.dff"}}
                                            << 204 * Sector << QByteArray() << false;
    QTest::newRow("stored behind the last") << QVector<Rec>{StaticHeader, {201, 1, 0, "a.dff"}, {200, 1, 0, "b.dff"}}
                                            << 202 * Sector << QByteArray() << false;
    QTest::newRow("names out of order") << QVector<Rec>{StaticHeader, {200, 2, 0, "b.dff"}, {202, 1, 0, "a.dff"}}
                                        << 203 * Sector << QByteArray() << false;
    QTest::newRow("data behind the last member") << packed << 204 * Sector << QByteArray() << false;
    QTest::newRow("file cut short") << packed << 202 * Sector << QByteArray() << false;
    QTest::newRow("a stale record behind the count") << packed << 203 * Sector << QByteArray("c.dff", 5) << false;
    QTest::newRow("no static header") << QVector<Rec>{{200, 2, 0, "a.dff"}} << 202 * Sector << QByteArray() << false;
}

void TestArchiveEditor::isCompactOnlyAsRebuilt()
{
    QFETCH(QVector<Rec>, records);
    QFETCH(qint64, fileSize);
    QFETCH(QByteArray, areaTail);
    QFETCH(bool, expected);
    QByteArray bytes = directoryBytes("V2SH", records.size(), records);
    putAt(bytes, bytes.size() + 40, areaTail);
    // Member data is not zero; the directory area must be.
    putAt(bytes, fileSize - 1, QByteArray(1, fileSize > EmptySize ? '\x7f' : '\0'));
    bytes.truncate(int(fileSize));
    QVERIFY(TestFiles::write(archivePath(), bytes));
    QCOMPARE(ArchiveEditor::isCompactV2StaticHeader(archivePath()), expected);

    // What the rebuild makes of any of them is compact.
    if (!expected && records.first().name == StaticHeader.name) {
        {
            ArchiveEditor editor(archivePath());
            QVERIFY(editor.open());
            QVERIFY(editor.close());
        }
        QVERIFY(ArchiveEditor::convertToV2StaticHeader(archivePath()));
        QVERIFY(ArchiveEditor::isCompactV2StaticHeader(archivePath()));
    }
}

void TestArchiveEditor::convertPacksMembersInSourceOrder()
{
    // Directory in sector 0, members scattered with junk in the gaps.
    const QVector<Rec> records{{5, 2, 0, "zeta.dff"},
                               {3, 1, 0, "with space.txd"},
                               {8, 1, 3, "alpha.col"},
                               {1, 1, 0, "mid.ifp"}};
    QByteArray bytes = pattern(11 * Sector, 77);
    const QByteArray directory = directoryBytes("VER2", 4, records);
    bytes.replace(0, directory.size(), directory);
    QVERIFY(TestFiles::write(archivePath(), bytes));
    const QByteArray zeta = bytes.mid(5 * Sector, 2 * Sector);
    const QByteArray alpha = bytes.mid(8 * Sector, 3 * Sector);
    const QByteArray mid = bytes.mid(1 * Sector, Sector);

    RecordingReceiver receiver;
    QVERIFY(ArchiveEditor::convertToV2StaticHeader(archivePath(), &receiver));
    QCOMPARE(receiver.files, QStringList{QStringLiteral("gta3.img")});
    QCOMPARE(receiver.speeds, QStringList{QString()});
    const QVector<QPair<quint64, quint64>> progress{{0, 0}, {3, 1}, {3, 2}, {3, 3}};
    QCOMPARE(receiver.progress, progress);
    QVERIFY(!QFileInfo::exists(tempPath()));

    QByteArray expected =
        directoryBytes("V2SH", 4,
                       {StaticHeader, {200, 2, 0, "zeta.dff"}, {202, 1, 3, "alpha.col"}, {205, 1, 0, "mid.ifp"}});
    putAt(expected, EmptySize, zeta + alpha + mid);
    QCOMPARE(TestFiles::read(archivePath()), expected);

    // Converting the result again (a rebuild) gives the same bytes; a stale
    // temporary file is simply overwritten.
    QVERIFY(ArchiveEditor::createEmpty(tempPath()));
    QVERIFY(ArchiveEditor::convertToV2StaticHeader(archivePath()));
    QCOMPARE(TestFiles::read(archivePath()), expected);
    QVERIFY(!QFileInfo::exists(tempPath()));
    QCOMPARE(checkArchive(archivePath(),
                          {{QStringLiteral("zeta.dff"), zeta},
                           {QStringLiteral("alpha.col"), alpha},
                           {QStringLiteral("mid.ifp"), mid}}),
             QString());
}

void TestArchiveEditor::convertHostileArchive_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("converts");
    QTest::addColumn<QStringList>("kept");

    QByteArray huge = directoryBytes("VER2", 0x7fffffff, {{1, 1, 0, "a.dff"}});
    putAt(huge, 2 * Sector - 1, "\x01");
    QTest::newRow("count huge") << huge << false << QStringList();
    QTest::newRow("count negative") << directoryBytes("VER2", -3, {{1, 1, 0, "a.dff"}}) << false << QStringList();
    QTest::newRow("shorter than a count") << QByteArray("VER2\x01") << false << QStringList();
    QTest::newRow("directory beyond the end")
        << directoryBytes("VER2", 10, {{1, 1, 0, "a.dff"}, {2, 1, 0, "b.dff"}}) << false << QStringList();
    QByteArray full = directoryBytes("VER2", 12799, {});
    putAt(full, 8 + 32 * 12799 - 1, QByteArray(1, '\0'));
    for (int i = 0; i < 12799; ++i)
        full[8 + 32 * i + 8] = 'f';
    QTest::newRow("more files than the directory area holds") << full << false << QStringList();

    QByteArray outside = directoryBytes(
        "VER2", 4,
        {{1, 1, 0, "good.dff"}, {50, 2, 0, "bad.dff"}, {0xffffffffu, 0xffff, 0, "far.dff"}, {2, 0, 0, "empty.txd"}});
    putAt(outside, Sector, pattern(Sector, 3));
    QTest::newRow("members beyond the end")
        << outside << true << QStringList{QStringLiteral("good.dff"), QStringLiteral("empty.txd")};
    QByteArray partial = directoryBytes("VER2", 1, {{1, 2, 0, "short.dff"}});
    putAt(partial, Sector, pattern(Sector + 10, 4));
    QTest::newRow("last sector stored in part") << partial << true << QStringList{QStringLiteral("short.dff")};
    QTest::newRow("no members") << directoryBytes("VER2", 0, {}) << true << QStringList();
}

void TestArchiveEditor::convertHostileArchive()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, converts);
    QFETCH(QStringList, kept);
    QVERIFY(TestFiles::write(archivePath(), bytes));
    QCOMPARE(ArchiveEditor::convertToV2StaticHeader(archivePath()), converts);
    QVERIFY(!QFileInfo::exists(tempPath()));
    if (!converts) {
        QCOMPARE(TestFiles::read(archivePath()), bytes);
        return;
    }
    QMap<QString, QByteArray> expected;
    for (const QString &name : kept) {
        const QByteArray field = name.toUtf8();
        const int at = bytes.indexOf(field.leftJustified(24, '\0'));
        const qint64 start = qFromLittleEndian<quint32>(bytes.constData() + at - 8);
        const qint64 sectors = qFromLittleEndian<quint16>(bytes.constData() + at - 4);
        expected.insert(name, bytes.mid(int(start * Sector), int(sectors * Sector)));
    }
    QCOMPARE(checkArchive(archivePath(), expected), QString());
}

void TestArchiveEditor::convertTruncatedArchive()
{
    const QByteArray directory = directoryBytes("VER2", 2, {{1, 1, 0, "a.dff"}, {2, 1, 0, "b.txd"}});
    QByteArray whole = directory;
    putAt(whole, Sector, pattern(2 * Sector, 8));
    // Every length across the directory and around each sector boundary,
    // a sample elsewhere (each conversion writes a 400 KiB directory area).
    QVector<int> lengths;
    for (int length = 0; length <= whole.size(); ++length) {
        const int fromBoundary = qMin(int(length % Sector), int(Sector - length % Sector));
        if (length <= directory.size() + 8 || fromBoundary <= 8 || length % 61 == 0)
            lengths.append(length);
    }
    QLoggingCategory::setFilterRules(QStringLiteral("varo.imgarchive.warning=false"));
    const auto restore = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });
    for (int length : qAsConst(lengths)) {
        const QByteArray bytes = whole.left(length);
        QVERIFY(TestFiles::write(archivePath(), bytes));
        const bool converted = ArchiveEditor::convertToV2StaticHeader(archivePath());
        QVERIFY2(!QFileInfo::exists(tempPath()), qPrintable(QString::number(length)));
        if (!converted) {
            QVERIFY2(TestFiles::read(archivePath()) == bytes, qPrintable(QString::number(length)));
            continue;
        }
        // A member survives when the source holds at least part of its sector.
        QMap<QString, QByteArray> expected;
        if (length > Sector)
            expected.insert(QStringLiteral("a.dff"), bytes.mid(int(Sector), int(Sector)));
        if (length > 2 * Sector)
            expected.insert(QStringLiteral("b.txd"), bytes.mid(int(2 * Sector), int(Sector)));
        const QString problem = checkArchive(archivePath(), expected);
        QVERIFY2(problem.isEmpty(), qPrintable(QString::number(length) + QLatin1Char(' ') + problem));
    }
}

void TestArchiveEditor::convertFailureLeavesSource()
{
    QByteArray bytes = directoryBytes("VER2", 1, {{1, 1, 0, "a.dff"}});
    putAt(bytes, Sector, pattern(Sector, 1));
    QVERIFY(TestFiles::write(archivePath(), bytes));
    QVERIFY(QDir(scratch->path()).mkdir(QStringLiteral("gta3.img.tmp")));
    RecordingReceiver receiver;
    QVERIFY(!ArchiveEditor::convertToV2StaticHeader(archivePath(), &receiver));
    QCOMPARE(TestFiles::read(archivePath()), bytes);
    QVERIFY(QFileInfo(tempPath()).isDir());
    QCOMPARE(receiver.files, QStringList{QStringLiteral("gta3.img")});

    const QString missing = scratch->filePath(QStringLiteral("none.img"));
    QVERIFY(!ArchiveEditor::convertToV2StaticHeader(missing));
    QVERIFY(!QFileInfo::exists(missing));
    QVERIFY(!QFileInfo::exists(scratch->filePath(QStringLiteral("none.img.tmp"))));
}

void TestArchiveEditor::convertNamesByCodePageAndRebuildKeepsUtf8()
{
    // The game's archives name their files in the system's 8-bit code page;
    // the converted archive holds UTF-8 and is converted again on rebuilds.
    QTextCodec *cp1251 = QTextCodec::codecForName("Windows-1251");
    QVERIFY(cp1251);
    QTextCodec *previous = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(cp1251);
    const auto restore = qScopeGuard([previous] { QTextCodec::setCodecForLocale(previous); });

    const QString texture = QString::fromUtf8("текстура.txd"); // 20 bytes in UTF-8
    const QString tooLong = QString::fromUtf8("абвгдеёжзийк"); // 12 bytes here, 24 in UTF-8
    QByteArray bytes = directoryBytes("VER2", 3,
                                      {{1, 1, 0, cp1251->fromUnicode(texture)},
                                       {2, 1, 0, cp1251->fromUnicode(tooLong)},
                                       {3, 1, 0, "plain.dff"}});
    putAt(bytes, Sector, pattern(3 * Sector, 2));
    QVERIFY(TestFiles::write(archivePath(), bytes));
    QVERIFY(ArchiveEditor::convertToV2StaticHeader(archivePath()));
    QCOMPARE(checkArchive(archivePath(),
                          {{texture, bytes.mid(int(Sector), int(Sector))},
                           {QStringLiteral("plain.dff"), bytes.mid(int(3 * Sector), int(Sector))}}),
             QString());

    const QString added = QString::fromUtf8("ещё.dff");
    {
        ArchiveEditor editor(archivePath());
        QVERIFY(editor.open());
        QVERIFY(editor.append(added, "new"));
        editor.remove(editor.find(QStringLiteral("plain.dff")));
    }
    QVERIFY(ArchiveEditor::convertToV2StaticHeader(archivePath()));
    QCOMPARE(checkArchive(archivePath(), {{texture, bytes.mid(int(Sector), int(Sector))}, {added, "new"}}), QString());
}

QTEST_GUILESS_MAIN(TestArchiveEditor)
#include "tst_archiveeditor.moc"
