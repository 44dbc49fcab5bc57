#pragma once

#include <QByteArray>
#include <QFile>

// How a fuzz input becomes an archive file. An archive of the launcher's own
// form keeps its data behind 400 KiB of directory area that is almost all
// zero bytes, far more than an input should hold. So the first byte chooses:
//   bit 0 clear: the rest of the input is the file as it stands;
//   bit 0 set:   the next 4096 bytes are the start of the file (header and
//                the first 127 records), zero bytes follow up to the data
//                area at 409,600, and the remaining input is the data area.
namespace ArchiveInput {

constexpr int HeadSize = 4096;
constexpr int DataAreaOffset = 409600;

inline QByteArray decode(const QByteArray &input)
{
    if (input.isEmpty() || !(input.at(0) & 1))
        return input.mid(1);
    QByteArray file = input.mid(1, HeadSize);
    file.append(QByteArray(DataAreaOffset - file.size(), '\0'));
    file.append(input.mid(1 + HeadSize));
    return file;
}

// Writes decode(input) to path without building it in memory: the zero
// bytes of the directory area become a hole in the file. False when the
// file cannot be written.
inline bool writeDecoded(const QString &path, const QByteArray &input)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (input.isEmpty() || !(input.at(0) & 1))
        return file.write(input.constData() + qMin(1, input.size()), qMax(0, input.size() - 1))
            == qMax(0, input.size() - 1);
    const QByteArray head = input.mid(1, HeadSize);
    const QByteArray data = input.mid(1 + HeadSize);
    return file.write(head) == head.size() && file.resize(DataAreaOffset) && file.seek(DataAreaOffset)
        && file.write(data) == data.size();
}

// The size of decode(input).
inline qint64 decodedSize(const QByteArray &input)
{
    if (input.isEmpty() || !(input.at(0) & 1))
        return qMax(0, input.size() - 1);
    return DataAreaOffset + qMax(0, input.size() - 1 - HeadSize);
}

// The inverse for files whose directory fits the head and whose bytes
// between the head and the data area are zero (what the corpus holds).
inline QByteArray encodeFixedDirectory(const QByteArray &file)
{
    QByteArray input(1, '\1');
    input.append(file.left(HeadSize));
    input.append(QByteArray(qMax(0, HeadSize - file.size()), '\0'));
    input.append(file.mid(DataAreaOffset));
    return input;
}

inline QByteArray encodePlain(const QByteArray &file)
{
    return QByteArray(1, '\0') + file;
}

} // namespace ArchiveInput
