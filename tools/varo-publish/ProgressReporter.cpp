#include "ProgressReporter.h"

#include "platform/Platform.h"

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define VARO_ISATTY _isatty
#define VARO_FILENO _fileno
#else
#include <unistd.h>
#define VARO_ISATTY isatty
#define VARO_FILENO fileno
#endif

namespace {

// How often the in-place line is redrawn, and how often a plain line is
// written while one file takes long.
constexpr qint64 TerminalRedrawMs = 100;
constexpr qint64 PlainLineMs = 10000;
// Width kept by the in-place line.
constexpr int TerminalColumns = 79;

void writeErr(const QString &text)
{
    Platform::printText(Platform::Stream::Error, text);
}

} // namespace

ProgressReporter::ProgressReporter()
    : terminal(VARO_ISATTY(VARO_FILENO(stderr)) != 0)
{
    sinceDraw.start();
}

ProgressReporter::~ProgressReporter()
{
    finish();
}

QString ProgressReporter::formatBytes(quint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KiB").arg(double(bytes) / 1024, 0, 'f', 1);
    if (bytes < 1024ull * 1024 * 1024)
        return QStringLiteral("%1 MiB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
    return QStringLiteral("%1 GiB").arg(double(bytes) / (1024.0 * 1024 * 1024), 0, 'f', 2);
}

void ProgressReporter::setTotals(int files, quint64 bytes)
{
    filesTotal = files;
    bytesTotal = bytes;
    filesDone = 0;
    bytesDone = 0;
}

void ProgressReporter::startFile(const QString &path)
{
    current = path;
    draw(true);
}

void ProgressReporter::setActivity(const QString &text)
{
    current = text;
    draw(terminal);
}

void ProgressReporter::addBytes(quint64 bytes)
{
    bytesDone += bytes;
    draw(false);
}

void ProgressReporter::finishFile()
{
    ++filesDone;
    if (terminal)
        draw(filesDone == filesTotal);
}

void ProgressReporter::finish()
{
    if (terminal && lineShown)
        writeErr(QStringLiteral("\n"));
    lineShown = false;
}

void ProgressReporter::message(const QString &text)
{
    clearLine();
    writeErr(text + QLatin1Char('\n'));
}

void ProgressReporter::clearLine()
{
    if (terminal && lineShown)
        writeErr(QStringLiteral("\r\033[K"));
    lineShown = false;
}

void ProgressReporter::draw(bool force)
{
    if (!force && sinceDraw.elapsed() < (terminal ? TerminalRedrawMs : PlainLineMs))
        return;
    sinceDraw.restart();
    const int shownFile = qMin(filesDone + 1, filesTotal);
    const QString counts = QStringLiteral("[%1/%2] %3 / %4  ")
                               .arg(shownFile)
                               .arg(filesTotal)
                               .arg(formatBytes(bytesDone), formatBytes(bytesTotal));
    if (terminal) {
        // A line wider than the terminal would wrap, and "\r" would then
        // redraw only its last part: long paths lose their beginning.
        QString path = current;
        const int room = qMax(10, TerminalColumns - counts.size());
        if (path.size() > room)
            path = QStringLiteral("...") + path.right(room - 3);
        writeErr(QStringLiteral("\r\033[K") + counts + path);
        lineShown = true;
    } else {
        writeErr(counts + current + QLatin1Char('\n'));
    }
}
