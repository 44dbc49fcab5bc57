#include "app/LogFile.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <memory>

namespace {

struct State
{
    QMutex mutex;
    std::unique_ptr<QFile> file;
    qint64 written = 0;
    qint64 maxBytes = 0;
    bool full = false;
    QtMessageHandler previous = nullptr;
};

State &state()
{
    static State value;
    return value;
}

char kindLetter(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 'D';
    case QtInfoMsg:
        return 'I';
    case QtWarningMsg:
        return 'W';
    case QtCriticalMsg:
        return 'C';
    case QtFatalMsg:
        return 'F';
    }
    return '?';
}

// Writes the line and returns where the message went before.
QtMessageHandler writeLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    State &s = state();
    QMutexLocker locker(&s.mutex);
    if (!s.file || s.full)
        return s.previous;
    QString text = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz "))
        + QLatin1Char(kindLetter(type)) + QLatin1Char(' ');
    if (context.category && qstrcmp(context.category, "default") != 0)
        text += QLatin1String(context.category) + QStringLiteral(": ");
    text += message + QLatin1Char('\n');
    static const QByteArray fullNote = QByteArrayLiteral("[log] the file has reached its size limit; later "
                                                         "lines are left out\n");
    QByteArray line = text.toUtf8();
    // Room for the note is kept, so that the file ends with it within the
    // bound.
    if (s.written + line.size() + fullNote.size() > s.maxBytes) {
        line = fullNote;
        s.full = true;
    }
    s.written += s.file->write(line);
    return s.previous;
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (QtMessageHandler previous = writeLine(type, context, message))
        previous(type, context, message);
}

} // namespace

namespace LogFile {

bool install(const QString &path, const QString &previousPath, qint64 maxBytes)
{
    uninstall();
    if (QFile::exists(path)) {
        QFile::remove(previousPath);
        QFile::rename(path, previousPath);
    }
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return false;
    State &s = state();
    QMutexLocker locker(&s.mutex);
    s.file = std::move(file);
    s.written = 0;
    s.maxBytes = maxBytes;
    s.full = false;
    // A message logged meanwhile waits for the lock, and then finds the
    // handler it is to be passed on to.
    s.previous = qInstallMessageHandler(handler);
    return true;
}

void uninstall()
{
    State &s = state();
    QMutexLocker locker(&s.mutex);
    if (!s.file)
        return;
    qInstallMessageHandler(s.previous);
    s.file.reset();
}

} // namespace LogFile
