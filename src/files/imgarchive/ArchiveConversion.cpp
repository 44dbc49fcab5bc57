#include "files/imgarchive/ArchiveEditor.h"

#include "files/imgarchive/ArchiveFormat.h"
#include "files/imgarchive/ProgressReceiver.h"
#include "platform/Platform.h"

#include <QFileInfo>
#include <QtEndian>

#include <cstring>

// The checks of an archive's form, the creation of an empty one and the
// conversion from the game's own form.

using namespace ImgArchive::Format;

namespace {

// A member of an archive under conversion: its place in the source, its
// sizes as they were, and its name for the new record.
struct ConvertedMember
{
    quint32 oldStart = 0;
    quint16 firstSize = 0;
    quint16 secondSize = 0;
    QByteArray utf8Name;

    quint32 sectors() const { return secondSize != 0 ? secondSize : firstSize; }
};

// Writes the new directory area and then every member, packed from the data
// area on in the given order. The members' extents were checked against the
// source; a last sector that the source holds only in part is padded with
// zero bytes.
bool writeConverted(QFile &source, QFile &target, const QVector<ConvertedMember> &members, ProgressReceiver *receiver)
{
    QByteArray area(int(DataStartOffset), '\0');
    encodeHeader(area.data(), qint32(members.size() + 1));
    quint64 nextSector = ImgArchive::ArchiveEditor::DataStartSector;
    for (int k = 0; k < members.size(); ++k) {
        const ConvertedMember &m = members.at(k);
        encodeRecord(area.data() + HeaderSize + qint64(k + 1) * RecordSize, quint32(nextSector), m.firstSize,
                     m.secondSize, m.utf8Name);
        nextSector += m.sectors();
    }
    if (target.write(area) != area.size())
        return false;

    const qint64 sourceSize = source.size();
    QByteArray buffer(int(CopyChunkSize), Qt::Uninitialized);
    for (int k = 0; k < members.size(); ++k) {
        const ConvertedMember &m = members.at(k);
        const qint64 length = qint64(m.sectors()) * SectorSize;
        const qint64 offset = qint64(m.oldStart) * SectorSize;
        const qint64 present = qBound<qint64>(0, sourceSize - offset, length);
        // Members usually lie one after the other; a seek to where the last
        // read ended is skipped (one system call per member fewer).
        if (present > 0 && source.pos() != offset && !source.seek(offset))
            return false;
        for (qint64 done = 0; done < present;) {
            const qint64 step = qMin(CopyChunkSize, present - done);
            if (source.read(buffer.data(), step) != step || target.write(buffer.constData(), step) != step)
                return false;
            done += step;
        }
        if (present < length) {
            const QByteArray padding(int(length - present), '\0');
            if (target.write(padding) != padding.size())
                return false;
        }
        if (receiver)
            receiver->updateProgressBar(quint64(members.size()), quint64(k + 1));
    }
    return true;
}

} // namespace

namespace ImgArchive {

bool ArchiveEditor::isV2StaticHeader(const QString &path)
{
    QFile candidate(path);
    if (!candidate.open(QIODevice::ReadOnly))
        return false;
    const int needed = HeaderSize + NameFieldOffset + StaticHeaderNameSize;
    const QByteArray head = candidate.read(needed);
    if (head.size() < needed)
        return false;
    return std::memcmp(head.constData(), Magic, MagicSize) == 0
        && qFromLittleEndian<qint32>(head.constData() + MagicSize) >= 1
        && std::memcmp(head.constData() + HeaderSize + NameFieldOffset, StaticHeaderName, StaticHeaderNameSize) == 0;
}

bool ArchiveEditor::isCompactV2StaticHeader(const QString &path)
{
    QFile candidate(path);
    if (!candidate.open(QIODevice::ReadOnly) || candidate.size() < DataStartOffset)
        return false;
    const QByteArray area = candidate.read(DataStartOffset);
    if (area.size() != DataStartOffset || std::memcmp(area.constData(), Magic, MagicSize) != 0)
        return false;
    const qint32 count = qFromLittleEndian<qint32>(area.constData() + MagicSize);
    const qint64 recordsEnd = HeaderSize + qint64(RecordSize) * count;
    if (count < 1 || count > MaxRecords || recordsEnd > DataStartOffset)
        return false;
    if (!decodeRecord(area.constData() + HeaderSize).staticHeader)
        return false;
    if (std::any_of(area.constData() + recordsEnd, area.constData() + area.size(), [](char c) { return c != 0; }))
        return false;
    quint64 nextSector = DataStartSector;
    QString previous;
    for (qint32 i = 1; i < count; ++i) {
        const RawRecord raw = decodeRecord(area.constData() + HeaderSize + qint64(i) * RecordSize);
        const QString name = QString::fromUtf8(raw.name);
        if (raw.staticHeader || raw.startSector != nextSector || (i > 1 && name < previous))
            return false;
        nextSector += raw.sectors();
        previous = name;
    }
    return quint64(candidate.size()) == nextSector * quint64(SectorSize);
}

bool ArchiveEditor::createEmpty(const QString &path)
{
    // Whatever stands at the name goes first (a symbolic link as a link);
    // the new file is then created exclusively, never through a link.
    QFile target(path);
    QFile::remove(path);
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qCWarning(lcImgArchive) << "[img create] cannot open" << path << target.errorString();
        return false;
    }
    QByteArray area(int(DataStartOffset), '\0');
    encodeHeader(area.data(), 1);
    return target.write(area) == area.size() && target.flush();
}

bool ArchiveEditor::convertToV2StaticHeader(const QString &path, ProgressReceiver *receiver)
{
    const QFileInfo info(path);
    if (receiver) {
        receiver->updateCurrentFile(info.fileName(), QString());
        receiver->updateProgressBar(0, 0);
    }

    QFile source(path);
    // Unbuffered: members are read whole into the copy buffer, and QFile's
    // read-ahead would only add a copy of its own.
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        qCWarning(lcImgArchive) << "[img convert] cannot open" << path << source.errorString();
        return false;
    }
    QByteArray magic;
    qint32 count = 0;
    QVector<RawRecord> records;
    if (!readHeader(source, &magic, &count) || count < 0 || !readRecords(source, magic, count, &records)) {
        qCWarning(lcImgArchive) << "[img convert] not a readable archive:" << path;
        return false;
    }

    // Names of the fixed-directory form are UTF-8 (a rebuild converts those
    // again); the game's own archives use the system's 8-bit code page.
    const bool utf8Names = magic == QByteArray(Magic, MagicSize);
    // The last sector of a source may be stored in part only.
    const quint64 sourceSectors = sectorsFor(source.size());
    QVector<ConvertedMember> members;
    for (const RawRecord &raw : qAsConst(records)) {
        if (raw.staticHeader)
            continue;
        const QString name = utf8Names ? QString::fromUtf8(raw.name) : QString::fromLocal8Bit(raw.name);
        if (name.contains(QLatin1Char(' '))) {
            qCDebug(lcImgArchive) << "[img convert] name with a space left out:" << name;
            continue;
        }
        ConvertedMember member;
        member.utf8Name = name.toUtf8();
        if (member.utf8Name.size() > MaxNameBytes) {
            qCWarning(lcImgArchive) << "[img convert] name too long for a record left out:" << name;
            continue;
        }
        if (quint64(raw.startSector) + raw.sectors() > sourceSectors) {
            qCWarning(lcImgArchive) << "[img convert] data outside the archive left out:" << name << raw.startSector
                                    << raw.sectors();
            continue;
        }
        member.oldStart = raw.startSector;
        member.firstSize = raw.firstSize;
        member.secondSize = raw.secondSize;
        members.append(member);
    }
    if (members.size() > MaxRecords - 1) {
        qCWarning(lcImgArchive) << "[img convert] too many files for the directory area:" << members.size() << path;
        return false;
    }

    const QString tempPath = info.path() + QLatin1Char('/') + info.baseName() + QStringLiteral(".img.tmp");
    if (QFileInfo(tempPath).absoluteFilePath().compare(info.absoluteFilePath(), Qt::CaseInsensitive) == 0) {
        qCWarning(lcImgArchive) << "[img convert] the archive has the temporary name:" << path;
        return false;
    }
    // Created afresh: a leftover or a link at the temporary name is removed
    // first, and the exclusive creation never follows a link.
    QFile temp(tempPath);
    QFile::remove(tempPath);
    if (!temp.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qCWarning(lcImgArchive) << "[img convert] cannot create" << tempPath << temp.errorString();
        return false;
    }
    bool ok = writeConverted(source, temp, members, receiver);
    ok = ok && temp.flush();
    temp.close();
    source.close();
    // The source is replaced only by a complete copy, in one step.
    if (!ok || !Platform::replaceFile(tempPath, path)) {
        qCWarning(lcImgArchive) << "[img convert] failed, archive left as it was:" << path;
        QFile::remove(tempPath);
        return false;
    }
    qCDebug(lcImgArchive) << "[img convert]" << path << members.size();
    return true;
}

} // namespace ImgArchive
