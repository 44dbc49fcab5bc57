// The IMG archive editor on archives of any content: the static readers,
// the read-only editor, a session of edits on a copy, and the conversion to
// the launcher's fixed-directory form. Besides memory errors it checks that
// nothing is read from outside the file, that the readers leave the file
// alone, that edits keep every other file's data, and that a conversion
// either yields a well-formed archive holding the source's data or leaves
// the source untouched.
#include "ArchiveInput.h"
#include "FuzzSupport.h"

#include "files/imgarchive/ArchiveEditor.h"
#include "files/imgarchive/ProgressReceiver.h"

#include <QFile>
#include <QMultiHash>
#include <QtEndian>

#include <algorithm>

using ImgArchive::ArchiveEditor;

namespace {

constexpr qint64 SectorSize = ArchiveEditor::SectorSize;
constexpr quint32 DataStart = ArchiveEditor::DataStartSector;
const QString NewName = QStringLiteral("fuzz_new.dff");
// Hostile directories may let every record cover the whole file. To keep
// each input fast, only so many records get the (linear) lookup checked and
// only so many bytes of member data are read and compared per step.
constexpr int LookupProbes = 64;
constexpr qint64 ByteBudget = 4 * 1024 * 1024;

QByteArray pattern(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7);
    return bytes;
}

QByteArray padded(const QByteArray &data, qint64 length)
{
    return data + QByteArray(int(length - data.size()), '\0');
}

// The bytes a record covers in a file, zero bytes where the file ends early.
QByteArray extent(const QByteArray &file, quint32 startSector, quint32 sectors)
{
    const qint64 offset = qint64(startSector) * SectorSize;
    const qint64 length = qint64(sectors) * SectorSize;
    const QByteArray present = offset < file.size() ? file.mid(int(offset), int(length)) : QByteArray();
    return padded(present, length);
}

bool overlaps(quint64 start, quint64 end, quint64 otherStart, quint64 otherEnd)
{
    return start < otherEnd && otherStart < end;
}

class CheckingReceiver final : public ProgressReceiver
{
public:
    void updateProgressBar(quint64 total, quint64 done) override { FUZZ_CHECK(done <= total); }
    void updateCurrentFile(const QString &, const QString &) override { }
};

// The file as the static readers and the read-only editor see it.
void checkReaders(const QString &path, const QByteArray &archive)
{
    ArchiveEditor::isV2StaticHeader(path);
    QVector<ImgDirEntry> records;
    qint32 count = 0;
    if (ArchiveEditor::readDirectory(path, &records, &count))
        FUZZ_CHECK(records.size() <= qMax(count, 0) && count <= ArchiveEditor::MaxRecords);

    ArchiveEditor reader(path);
    if (reader.openReadOnly()) {
        const QVector<ImgDirEntry> directory = reader.directory();
        qint64 budget = ByteBudget;
        for (int i = 0; i < directory.size(); ++i) {
            const ImgDirEntry &entry = directory.at(i);
            budget -= qint64(entry.sectors()) * SectorSize;
            if (budget < 0)
                break;
            const QByteArray bytes = reader.read(i);
            if (entry.name.isEmpty()) {
                FUZZ_CHECK(bytes.isEmpty());
                continue;
            }
            FUZZ_CHECK(reader.entrySectors(i) == entry.sectors());
            // Everything read lies inside the file and is what the file holds.
            if (!bytes.isEmpty()) {
                const qint64 offset = qint64(entry.startSector) * SectorSize;
                FUZZ_CHECK(bytes.size() == qint64(entry.sectors()) * SectorSize);
                FUZZ_CHECK(offset + bytes.size() <= archive.size());
                FUZZ_CHECK(bytes == archive.mid(int(offset), bytes.size()));
            }
            if (i < LookupProbes) {
                const int found = reader.find(entry.name);
                FUZZ_CHECK(found >= 0 && found <= i);
                FUZZ_CHECK(directory.at(found).name.compare(entry.name, Qt::CaseInsensitive) == 0);
            }
        }
        FUZZ_CHECK(reader.nextFreeSector() >= DataStart);
        // A read-only editor refuses every change.
        FUZZ_CHECK(!reader.append(NewName, QByteArray(1, 'x')));
        FUZZ_CHECK(!reader.replace(0, QByteArray(1, 'x')));
        reader.close();
    }
    FUZZ_CHECK(FuzzSupport::readFile(path) == archive);
}

struct Written
{
    quint64 start = 0;
    quint64 end = 0; // in sectors, exclusive
};

// One editing session on a copy: append, replace the first record, remove
// one record, close. Checks the directory written and every file's data.
void checkEditing(const QString &path, const QByteArray &archive)
{
    FuzzSupport::writeFile(path, archive);
    QVector<ImgDirEntry> before;
    {
        ArchiveEditor editor(path);
        if (!editor.open()) {
            FUZZ_CHECK(!editor.isOpen());
            FUZZ_CHECK(FuzzSupport::readFile(path) == archive);
            return;
        }
        before = editor.directory();
        for (const ImgDirEntry &entry : qAsConst(before))
            FUZZ_CHECK(quint64(entry.startSector) + entry.sectors()
                       <= quint64(archive.size() + SectorSize - 1) / SectorSize);

        QVector<Written> writes;
        const QByteArray appended = pattern(3000, 'a');
        const bool appendOk = editor.append(NewName, appended);
        int appendedIndex = -1;
        if (appendOk) {
            appendedIndex = editor.directory().size() - 1;
            const ImgDirEntry &entry = editor.directory().at(appendedIndex);
            FUZZ_CHECK(entry.name == NewName && entry.sectors() == 2 && entry.startSector >= DataStart);
            FUZZ_CHECK(editor.read(appendedIndex) == padded(appended, 2 * SectorSize));
            writes.append({entry.startSector, quint64(entry.startSector) + 2});
        }

        const QByteArray replacement = pattern(5000, 'r');
        QByteArray replacedBytes;
        if (!before.isEmpty() && !before.at(0).name.isEmpty()) {
            FUZZ_CHECK(editor.replace(0, replacement));
            const ImgDirEntry &entry = editor.directory().at(0);
            FUZZ_CHECK(entry.sectors() == 3 && entry.startSector >= DataStart);
            replacedBytes = padded(replacement, 3 * SectorSize);
            FUZZ_CHECK(editor.read(0) == replacedBytes);
            writes.append({entry.startSector, quint64(entry.startSector) + 3});
        }

        const int removedIndex = before.size() - 1;
        if (removedIndex >= 1) {
            editor.remove(removedIndex);
            FUZZ_CHECK(editor.read(removedIndex).isEmpty());
        }

        // What a reader of the closed archive must find: every live record,
        // with the bytes the session wrote or those of the source, and which
        // of the session's writes (if any) is its own.
        QVector<ImgDirEntry> expected;
        QVector<QByteArray> expectedBytes;
        QVector<int> ownWrite;
        const QVector<ImgDirEntry> now = editor.directory();
        quint64 end = DataStart;
        bool exactNames = true;
        for (int i = 0; i < now.size(); ++i) {
            const ImgDirEntry &entry = now.at(i);
            if (entry.name.isEmpty())
                continue;
            end = qMax(end, quint64(entry.startSector) + entry.sectors());
            // Names that were no valid UTF-8 grow when written back and may
            // be cut to the 24-byte field.
            exactNames = exactNames && entry.name.toUtf8().size() <= ArchiveEditor::MaxNameBytes + 1;
            expected.append(entry);
            if (i == appendedIndex) {
                expectedBytes.append(padded(appended, 2 * SectorSize));
                ownWrite.append(0);
            } else if (i == 0 && !replacedBytes.isEmpty()) {
                expectedBytes.append(replacedBytes);
                ownWrite.append(writes.size() - 1);
            } else {
                expectedBytes.append(QByteArray()); // taken from the source when compared
                ownWrite.append(-1);
            }
        }
        FUZZ_CHECK(editor.nextFreeSector() == end);
        FUZZ_CHECK(editor.close());

        FUZZ_CHECK(FuzzSupport::fileSize(path) == qint64(end) * SectorSize);
        FUZZ_CHECK(ArchiveEditor::isV2StaticHeader(path));
        const QByteArray header = FuzzSupport::readRange(path, 0, 8);
        FUZZ_CHECK(header.size() == 8 && qFromLittleEndian<qint32>(header.constData() + 4) == expected.size() + 1);
        const quint64 directorySectors = (8 + 32 * quint64(expected.size() + 1) + SectorSize - 1) / SectorSize;

        ArchiveEditor reader(path);
        FUZZ_CHECK(reader.openReadOnly());
        const QVector<ImgDirEntry> after = reader.directory();
        FUZZ_CHECK(after.size() == expected.size());
        // The directory is written sorted by name and holds the same records.
        if (exactNames) {
            for (int i = 1; i < after.size(); ++i)
                FUZZ_CHECK(!(after.at(i).name < after.at(i - 1).name));
        }
        QMultiHash<quint32, int> byStart;
        for (int k = 0; k < expected.size(); ++k)
            byStart.insert(expected.at(k).startSector, k);
        QVector<bool> matched(expected.size(), false);
        qint64 budget = ByteBudget;
        for (int i = 0; i < after.size(); ++i) {
            const ImgDirEntry &entry = after.at(i);
            int k = -1;
            for (auto it = byStart.constFind(entry.startSector); it != byStart.cend() && it.key() == entry.startSector;
                 ++it) {
                const ImgDirEntry &want = expected.at(it.value());
                if (!matched.at(it.value()) && want.firstSize == entry.firstSize && want.secondSize == entry.secondSize
                    && (!exactNames || want.name == entry.name)) {
                    k = it.value();
                    break;
                }
            }
            FUZZ_CHECK(k >= 0);
            matched[k] = true;
            // Data the session wrote reads back; data of other files stays,
            // unless a hostile record shares sectors with what was written
            // (the directory area included).
            const quint64 start = entry.startSector;
            const quint64 stop = start + entry.sectors();
            bool touched = ownWrite.at(k) < 0 && overlaps(start, stop, 0, directorySectors);
            for (int w = 0; w < writes.size(); ++w) {
                if (w != ownWrite.at(k) && overlaps(start, stop, writes.at(w).start, writes.at(w).end))
                    touched = true;
            }
            budget -= qint64(entry.sectors()) * SectorSize;
            if (!touched && budget >= 0) {
                const QByteArray want = ownWrite.at(k) >= 0
                    ? expectedBytes.at(k)
                    : extent(archive, expected.at(k).startSector, expected.at(k).sectors());
                FUZZ_CHECK(reader.read(i) == want);
            }
        }
        reader.close();
    }
}

// The entries that a conversion keeps, in source order.
QVector<ImgDirEntry> convertible(const QVector<ImgDirEntry> &records, qint64 sourceSize)
{
    const quint64 sourceSectors = (quint64(sourceSize) + SectorSize - 1) / SectorSize;
    QVector<ImgDirEntry> kept;
    for (const ImgDirEntry &entry : records) {
        if (entry.name.contains(QLatin1Char(' ')) || entry.name.toUtf8().size() > ArchiveEditor::MaxNameBytes)
            continue;
        if (quint64(entry.startSector) + entry.sectors() > sourceSectors)
            continue;
        kept.append(entry);
    }
    return kept;
}

void checkConversion(const QString &path, const QByteArray &archive)
{
    FuzzSupport::writeFile(path, archive);
    QVector<ImgDirEntry> records;
    qint32 count = 0;
    const bool readable = ArchiveEditor::readDirectory(path, &records, &count);

    // Conversions that would copy more than the budget are not tried; the
    // same code paths are reached by smaller inputs.
    if (readable) {
        qint64 toCopy = 0;
        for (const ImgDirEntry &entry : convertible(records, archive.size()))
            toCopy += qint64(entry.sectors()) * SectorSize;
        if (toCopy > ByteBudget)
            return;
    }

    CheckingReceiver receiver;
    const bool converted = ArchiveEditor::convertToV2StaticHeader(path, &receiver);
    const QString tempPath = path.left(path.lastIndexOf(QLatin1Char('.'))) + QStringLiteral(".img.tmp");
    FUZZ_CHECK(!QFile::exists(tempPath));
    if (!converted) {
        FUZZ_CHECK(FuzzSupport::readFile(path) == archive);
        return;
    }
    FUZZ_CHECK(readable && count >= 0);

    const QVector<ImgDirEntry> kept = convertible(records, archive.size());
    FUZZ_CHECK(ArchiveEditor::isV2StaticHeader(path));
    QVector<ImgDirEntry> after;
    qint32 afterCount = 0;
    FUZZ_CHECK(ArchiveEditor::readDirectory(path, &after, &afterCount));
    FUZZ_CHECK(afterCount == kept.size() + 1 && after.size() == kept.size());
    quint64 next = DataStart;
    for (int k = 0; k < kept.size(); ++k) {
        const ImgDirEntry &source = kept.at(k);
        const ImgDirEntry &entry = after.at(k);
        FUZZ_CHECK(entry.name == source.name);
        FUZZ_CHECK(entry.firstSize == source.firstSize && entry.secondSize == source.secondSize);
        FUZZ_CHECK(entry.startSector == next);
        FUZZ_CHECK(FuzzSupport::readRange(path, qint64(next) * SectorSize, qint64(entry.sectors()) * SectorSize)
                   == extent(archive, source.startSector, source.sectors()));
        next += entry.sectors();
    }
    FUZZ_CHECK(FuzzSupport::fileSize(path) == qint64(next) * SectorSize);

    // The editor takes the converted archive as it stands.
    ArchiveEditor reader(path);
    FUZZ_CHECK(reader.openReadOnly());
    FUZZ_CHECK(reader.directory().size() == kept.size());
    quint64 namedEnd = DataStart;
    for (const ImgDirEntry &entry : reader.directory()) {
        if (!entry.name.isEmpty())
            namedEnd = qMax(namedEnd, quint64(entry.startSector) + entry.sectors());
    }
    FUZZ_CHECK(reader.nextFreeSector() == namedEnd);
    reader.close();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray archive = ArchiveInput::decode(FuzzSupport::bytes(data, size));
    const QString source = FuzzSupport::scratchPath(QStringLiteral("source.img"));
    FuzzSupport::writeFile(source, archive);
    checkReaders(source, archive);
    checkEditing(FuzzSupport::scratchPath(QStringLiteral("edited.img")), archive);
    checkConversion(FuzzSupport::scratchPath(QStringLiteral("converted.img")), archive);
    return 0;
}
