#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// Shared by the fuzz targets: the Qt application object, a quiet message
// handler, one scratch folder per process and a fatal check.
namespace FuzzSupport {

// A folder made once per process (inside TMPDIR) and removed at its end.
QString scratchDir();
// scratchDir() + "/" + name.
QString scratchPath(const QString &name);

// Replaces the file at path with data; aborts when that fails, since a
// target that cannot set up its input would otherwise test nothing.
void writeFile(const QString &path, const QByteArray &data);
// The whole file, or empty when it cannot be read.
QByteArray readFile(const QString &path);
// length bytes from offset (fewer where the file ends), or empty.
QByteArray readRange(const QString &path, qint64 offset, qint64 length);
// The file's size, or -1 when it does not exist.
qint64 fileSize(const QString &path);

// Reports the broken invariant on stderr and aborts, which libFuzzer records
// as a crash with its reproducer.
[[noreturn]] void fail(const char *what, const char *file, int line);

// The bytes of one input, copied (libFuzzer's buffer must not be kept).
inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

} // namespace FuzzSupport

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            FuzzSupport::fail(#condition, __FILE__, __LINE__);                                                         \
    } while (false)
