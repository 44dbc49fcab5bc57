#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>

// Progress of a long run on stderr: files done of total, bytes done of
// total and the current path. On a terminal one line is redrawn in place;
// otherwise (a log, a pipe) plain lines are written, one per file and a few
// more while a large file takes long. Every other message goes through
// message() so that it never lands in the middle of the progress line.
class ProgressReporter final
{
public:
    ProgressReporter();
    ~ProgressReporter();

    ProgressReporter(const ProgressReporter &) = delete;
    ProgressReporter &operator=(const ProgressReporter &) = delete;

    void setTotals(int files, quint64 bytes);
    // Starts the next file; its path (or what is done with it) is shown.
    void startFile(const QString &path);
    // Shows what is happening to the current file without counting a file.
    void setActivity(const QString &text);
    void addBytes(quint64 bytes);
    void finishFile();
    // Ends the progress line for good.
    void finish();

    // A line of its own on stderr; the progress line comes back with the
    // next update.
    void message(const QString &text);

    static QString formatBytes(quint64 bytes);

private:
    void draw(bool force);
    void clearLine();

    bool terminal = false;
    bool lineShown = false;
    int filesTotal = 0;
    int filesDone = 0;
    quint64 bytesTotal = 0;
    quint64 bytesDone = 0;
    QString current;
    QElapsedTimer sinceDraw;
};
