#include "FuzzSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

std::unique_ptr<QTemporaryDir> scratch;

// The code under test warns about every malformed input it meets; with
// millions of inputs that would drown the fuzzer's own report. Fatal
// messages still end the process.
void quietMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "qFatal: %s\n", qPrintable(message));
        std::abort();
    }
}

} // namespace

namespace FuzzSupport {

QString scratchDir()
{
    if (!scratch) {
        scratch = std::make_unique<QTemporaryDir>();
        if (!scratch->isValid())
            fail("cannot create the scratch folder", __FILE__, __LINE__);
    }
    return scratch->path();
}

QString scratchPath(const QString &name)
{
    return scratchDir() + QLatin1Char('/') + name;
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        fail("cannot write the input file", __FILE__, __LINE__);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QByteArray readRange(const QString &path, qint64 offset, qint64 length)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return QByteArray();
    return file.read(length);
}

qint64 fileSize(const QString &path)
{
    QFile file(path);
    return file.exists() ? file.size() : -1;
}

void fail(const char *what, const char *file, int line)
{
    std::fprintf(stderr, "FUZZ CHECK FAILED at %s:%d: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

} // namespace FuzzSupport

// Called once by libFuzzer before the first input.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Qt keeps a pointer to argc, so both live as long as the process. Only
    // the program name is passed: libFuzzer's options are not Qt's business.
    static int argc = 1;
    static char name[] = "varo-fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietMessageHandler);
    FuzzSupport::scratchDir();
    return 0;
}
