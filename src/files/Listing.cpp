#include "files/Listing.h"

#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QSet>
#include <QStringRef>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace {

// Chatty per-line tracing, off unless enabled by a logging rule
// ("varo.files.debug=true").
Q_LOGGING_CATEGORY(lcListing, "varo.files", QtInfoMsg)

const QLatin1String DirectoriesHeader("[directories]");
const QLatin1String EntriesHeader("[entries]");
const QLatin1String ImgHeader("[img]");
const QLatin1String ImgArchiveKindText("img_archive");
const QLatin1String AudioFileKindText("audio_file");

// The fields of one line, split at every single space with empty fields kept.
// Only the first MaxFields are kept; count is the true number of fields.
struct Fields
{
    static constexpr int MaxFields = 8;
    QStringRef items[MaxFields];
    int count = 0;

    QStringRef at(int index) const { return index < count && index < MaxFields ? items[index] : QStringRef(); }
};

Fields splitFields(const QStringRef &line)
{
    Fields fields;
    int start = 0;
    for (;;) {
        int space = line.indexOf(QLatin1Char(' '), start);
        const int end = space < 0 ? line.size() : space;
        if (fields.count < Fields::MaxFields)
            fields.items[fields.count] = line.mid(start, end - start);
        ++fields.count;
        if (space < 0)
            return fields;
        start = space + 1;
    }
}

// Numbers that do not parse (or do not fit) read as 0.
quint32 toUnsigned(const QStringRef &text)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    return ok ? quint32(value) : 0;
}

qint32 toSigned(const QStringRef &text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? qint32(value) : 0;
}

ListingEntry parseEntryLine(const Fields &fields, bool withTimes)
{
    ListingEntry entry;
    entry.path = fields.at(0).toString();
    entry.name = fields.at(1).toString();
    entry.size = toUnsigned(fields.at(3));
    const QStringRef kind = fields.at(2);
    if (kind == ImgArchiveKindText) {
        entry.kind = EntryKind::ImgArchive;
        entry.imgId = toSigned(fields.at(4));
        entry.blockCount = toUnsigned(fields.at(5));
        entry.extra = toUnsigned(fields.at(6));
    } else if (kind == AudioFileKindText) {
        entry.kind = EntryKind::AudioFile;
        entry.md5 = fields.at(4).toString();
        entry.blockCount = toUnsigned(fields.at(5));
        entry.partSize = toUnsigned(fields.at(6));
        if (withTimes)
            entry.mtime = toUnsigned(fields.at(7));
    } else {
        entry.kind = EntryKind::File;
        entry.md5 = fields.at(4).toString();
        if (withTimes)
            entry.mtime = toUnsigned(fields.at(5));
    }
    return entry;
}

void appendText(QByteArray &out, const QString &text)
{
    out.append(text.toUtf8());
}

void appendNumber(QByteArray &out, qint64 value)
{
    char buffer[24];
    const int length = std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(value));
    out.append(buffer, length);
}

// Sorts stably by key and keeps one item of every run of equal keys: the
// first one that is not removed, or the first one when all are. A removed
// record must not stand in for a live one with the same key: the live one
// would be dropped and lost when the listing is next written.
template<typename Container, typename KeyOf, typename IsRemoved>
void sortAndKeepOnePerKey(Container &items, KeyOf keyOf, IsRemoved isRemoved)
{
    using Item = typename Container::value_type;
    std::stable_sort(items.begin(), items.end(), [&](const Item &a, const Item &b) { return keyOf(a) < keyOf(b); });
    const int count = items.size();
    int kept = 0;
    for (int first = 0; first < count;) {
        int end = first + 1;
        while (end < count && keyOf(items.at(end)) == keyOf(items.at(first)))
            ++end;
        int chosen = first;
        for (int i = first; i < end; ++i) {
            if (!isRemoved(items.at(i))) {
                chosen = i;
                break;
            }
        }
        if (chosen != kept)
            items[kept] = std::move(items[chosen]);
        ++kept;
        first = end;
    }
    items.erase(items.begin() + kept, items.end());
}

} // namespace

void Listing::writeListing(QByteArray &out, bool withTimes)
{
    out.clear();
    out.append("[directories]\n");
    for (const QString &directory : qAsConst(directories)) {
        if (directory.isEmpty())
            continue;
        appendText(out, directory);
        out.append('\n');
    }
    out.append("\n[entries]\n");
    for (const ListingEntry &entry : qAsConst(entries)) {
        if (entry.isRemoved())
            continue;
        appendText(out, entry.path);
        out.append(' ');
        appendText(out, entry.name);
        out.append(' ');
        switch (entry.kind) {
        case EntryKind::ImgArchive:
            out.append("img_archive ");
            appendNumber(out, entry.size);
            out.append(' ');
            appendNumber(out, entry.imgId);
            out.append(' ');
            appendNumber(out, entry.blockCount);
            out.append(' ');
            appendNumber(out, entry.extra);
            break;
        case EntryKind::AudioFile:
            out.append("audio_file ");
            appendNumber(out, entry.size);
            out.append(' ');
            appendText(out, entry.md5);
            out.append(' ');
            appendNumber(out, entry.blockCount);
            out.append(' ');
            appendNumber(out, entry.partSize);
            if (withTimes) {
                out.append(' ');
                appendNumber(out, entry.mtime);
            }
            break;
        case EntryKind::File:
        default:
            out.append("file ");
            appendNumber(out, entry.size);
            out.append(' ');
            appendText(out, entry.md5);
            if (withTimes) {
                out.append(' ');
                appendNumber(out, entry.mtime);
            }
            break;
        }
        out.append('\n');
    }

    // Several archive entries naming one imgId (only a damaged listing has
    // them) each get their header, but the group's lines are written once:
    // reading merges repeated groups anyway, and the output stays linear in
    // the size of the listing.
    QSet<qint32> written;
    for (int i = 0; i < entries.size(); ++i) {
        const ListingEntry &entry = entries.at(i);
        if (entry.kind != EntryKind::ImgArchive || entry.isRemoved())
            continue;
        const qint32 imgId = entry.imgId;
        out.append("\n[img] ");
        appendNumber(out, imgId);
        out.append('\n');
        const QVector<ListingEntry> &records = group(imgId);
        if (written.contains(imgId))
            continue;
        written.insert(imgId);
        for (const ListingEntry &record : records) {
            if (record.isRemoved())
                continue;
            appendText(out, record.name);
            out.append(' ');
            appendNumber(out, record.size);
            out.append(' ');
            appendText(out, record.md5);
            out.append('\n');
        }
    }
}

bool Listing::hasListingHeaders(const QByteArray &bytes)
{
    // What readListing() reads: the text before the first zero byte.
    const int zero = bytes.indexOf('\0');
    const QByteArray in = zero < 0 ? bytes : bytes.left(zero);
    const auto hasLine = [&in](const QLatin1String &header) {
        const QByteArray text(header.data(), header.size());
        return in.startsWith(text + '\n') || in.contains('\n' + text + '\n') || in == text || in.endsWith('\n' + text);
    };
    return hasLine(DirectoriesHeader) && hasLine(EntriesHeader);
}

void Listing::readListing(const QByteArray &in, bool withTimes)
{
    qCDebug(lcListing) << "[readListing]";
    // Only the text before the first zero byte counts.
    const int zero = in.indexOf('\0');
    const int textBytes = qMax(0, zero < 0 ? in.size() : zero);
    const QString text = QString::fromUtf8(in.constData(), textBytes);

    enum class Section { None, Directories, Entries, Img };
    Section section = Section::None;
    const int length = text.size();
    int start = 0;
    while (start <= length) {
        int end = text.indexOf(QLatin1Char('\n'), start);
        if (end < 0)
            end = length;
        const QStringRef line = text.midRef(start, end - start);
        start = end + 1;
        qCDebug(lcListing).noquote() << "[line]" << line;

        if (line.isEmpty())
            continue;
        if (line == DirectoriesHeader) {
            section = Section::Directories;
            continue;
        }
        if (line == EntriesHeader) {
            section = Section::Entries;
            continue;
        }
        if (line.startsWith(ImgHeader)) {
            // The number is taken from the seventh character on, after "[img] ".
            imgCursor = toSigned(line.mid(ImgHeader.size() + 1));
            group(imgCursor);
            section = Section::Img;
            continue;
        }
        switch (section) {
        case Section::None:
            break;
        case Section::Directories:
            directories.append(line.toString());
            break;
        case Section::Entries: {
            const Fields fields = splitFields(line);
            if (fields.count >= 4)
                entries.append(parseEntryLine(fields, withTimes));
            break;
        }
        case Section::Img: {
            const Fields fields = splitFields(line);
            if (fields.count != 3)
                break;
            ListingEntry record;
            record.name = fields.at(0).toString();
            record.size = toUnsigned(fields.at(1));
            record.md5 = fields.at(2).toString();
            group(imgCursor).append(std::move(record));
            break;
        }
        }
    }
}

void Listing::normalize()
{
    sortAndKeepOnePerKey(
        directories, [](const QString &directory) -> const QString & { return directory; },
        [](const QString &directory) { return directory.isEmpty(); });
    const auto pathOf = [](const ListingEntry &entry) -> const QString & { return entry.path; };
    const auto nameOf = [](const ListingEntry &entry) -> const QString & { return entry.name; };
    const auto isRemoved = [](const ListingEntry &entry) { return entry.isRemoved(); };
    sortAndKeepOnePerKey(entries, pathOf, isRemoved);
    for (auto it = imgGroups.begin(); it != imgGroups.end(); ++it)
        sortAndKeepOnePerKey(it.value(), nameOf, isRemoved);
}

namespace {

// Appends the decimal digits of value, as QString::number would give them,
// without a string of their own.
void appendDecimal(QString &line, quint64 value)
{
    char digits[24];
    const int length = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    line.append(QLatin1String(digits, length));
}

} // namespace

QString Listing::listingDigest(bool withTimes) const
{
    // Every line is built in place and the lines are hashed in large pieces:
    // temporary strings per field and a UTF-8 copy per line made up most of
    // the cost of a digest, which a pass computes four times over listings of
    // thousands of lines.
    const QLatin1Char space(' ');
    QStringList directoryLines;
    directoryLines.reserve(directories.size());
    for (const QString &directory : directories) {
        if (!directory.isEmpty())
            directoryLines.append(directory);
    }

    QStringList entryLines;
    entryLines.reserve(entries.size());
    QStringList recordLines;
    // A group shared by several archive entries (only in a damaged listing)
    // counts under the first of them alone, so the digest of such a listing
    // cannot grow with archives times records.
    QSet<qint32> listedGroups;
    for (const ListingEntry &entry : entries) {
        if (entry.isRemoved())
            continue;
        QString line;
        line.reserve(entry.path.size() + 64);
        line.append(entry.path);
        line.append(space);
        switch (entry.kind) {
        case EntryKind::ImgArchive: {
            line.append(QLatin1String("ia"));
            if (listedGroups.contains(entry.imgId))
                break;
            listedGroups.insert(entry.imgId);
            const auto found = imgGroups.constFind(entry.imgId);
            if (found == imgGroups.constEnd())
                break;
            recordLines.reserve(recordLines.size() + found.value().size());
            for (const ListingEntry &record : found.value()) {
                if (record.isRemoved())
                    continue;
                QString recordLine;
                recordLine.reserve(entry.path.size() + record.name.size() + record.md5.size() + 16);
                recordLine.append(entry.path);
                recordLine.append(QLatin1Char(':'));
                recordLine.append(record.name);
                recordLine.append(space);
                appendDecimal(recordLine, record.size);
                if (!withTimes) {
                    recordLine.append(space);
                    recordLine.append(record.md5);
                }
                recordLines.append(recordLine);
            }
            break;
        }
        case EntryKind::AudioFile:
            line.append(QLatin1String("af "));
            appendDecimal(line, entry.size);
            line.append(space);
            appendDecimal(line, entry.blockCount);
            line.append(space);
            appendDecimal(line, entry.partSize);
            line.append(space);
            if (withTimes)
                appendDecimal(line, entry.mtime);
            else
                line.append(entry.md5);
            break;
        case EntryKind::File:
        default:
            line.append(QLatin1String("f "));
            appendDecimal(line, entry.size);
            line.append(space);
            if (withTimes)
                appendDecimal(line, entry.mtime);
            else
                line.append(entry.md5);
            break;
        }
        entryLines.append(line);
    }

    std::sort(directoryLines.begin(), directoryLines.end());
    std::sort(entryLines.begin(), entryLines.end());
    std::sort(recordLines.begin(), recordLines.end());
    // The hash of the lines in pieces: the same as hashing them one by one.
    constexpr int PieceSize = 1 << 16;
    QCryptographicHash hash(QCryptographicHash::Md5);
    QString piece;
    piece.reserve(PieceSize);
    for (const QStringList *lines : {&directoryLines, &entryLines, &recordLines}) {
        for (const QString &line : *lines) {
            piece.append(line);
            // Each line is encoded on its own: a lone high surrogate at its end
            // must not pair up with the start of the next one.
            if (piece.size() >= PieceSize || (!line.isEmpty() && line.back().isHighSurrogate())) {
                hash.addData(piece.toUtf8());
                piece.resize(0);
            }
        }
    }
    hash.addData(piece.toUtf8());
    return QString::fromLatin1(hash.result().toHex());
}

void Listing::clear()
{
    directories.clear();
    clearEntries();
    imgCursor = 0;
}

void Listing::clearEntries()
{
    entries.clear();
    imgGroups.clear();
}

int Listing::firstEntryIndex(const QString &path) const
{
    for (int i = 0; i < entries.size(); ++i) {
        const ListingEntry &entry = entries.at(i);
        if (!entry.isRemoved() && entry.path == path)
            return i;
    }
    return -1;
}

int Listing::firstArchiveIndex(const QString &path) const
{
    for (int i = 0; i < entries.size(); ++i) {
        const ListingEntry &entry = entries.at(i);
        if (entry.kind == EntryKind::ImgArchive && !entry.isRemoved() && entry.path == path)
            return i;
    }
    return -1;
}

QHash<QString, int> Listing::entryIndexByPath() const
{
    QHash<QString, int> index;
    index.reserve(entries.size());
    for (int i = 0; i < entries.size(); ++i) {
        const ListingEntry &entry = entries.at(i);
        if (!entry.isRemoved() && !index.contains(entry.path))
            index.insert(entry.path, i);
    }
    return index;
}

QVector<ListingEntry> &Listing::group(qint32 imgId)
{
    return imgGroups[imgId];
}

qint32 Listing::nextImgId() const
{
    if (imgGroups.isEmpty())
        return 0;
    const qint32 largest = imgGroups.lastKey();
    if (largest < INT_MAX)
        return largest + 1;
    // The keys come from listings read off the network; one of them may be
    // the greatest number. There are far fewer keys than numbers, so a gap
    // exists among the non-negative ones.
    qint32 candidate = 0;
    for (auto it = imgGroups.lowerBound(0); it != imgGroups.constEnd() && it.key() == candidate; ++it)
        ++candidate;
    return candidate;
}
