#include "support/TestFiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QtEndian>

namespace TestFiles {

bool write(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(data) == data.size();
}

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString md5Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QByteArray padded(const QByteArray &data)
{
    return data + QByteArray(int((2048 - data.size() % 2048) % 2048), '\0');
}

bool sparse(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.resize(size);
}

#ifdef Q_OS_WIN
namespace {

// The Unix path of a Windows path under Wine (empty elsewhere).
QString unixPath(const QString &path)
{
    QProcess winepath;
    winepath.start(QStringLiteral("winepath.exe"), {QStringLiteral("-u"), QDir::toNativeSeparators(path)});
    if (!winepath.waitForFinished(30000) || winepath.exitCode() != 0)
        return QString();
    return QString::fromUtf8(winepath.readAllStandardOutput()).trimmed();
}

} // namespace
#endif

bool link(const QString &target, const QString &linkPath)
{
#ifdef Q_OS_WIN
    if (!QFileInfo(target).isDir())
        return false; // file links need privileges on Windows
    const QString nativeLink = QDir::toNativeSeparators(linkPath);
    if (QProcess::execute(QStringLiteral("cmd.exe"),
                          {QStringLiteral("/c"), QStringLiteral("mklink"), QStringLiteral("/j"), nativeLink,
                           QDir::toNativeSeparators(target)})
            == 0
        && QFileInfo::exists(linkPath))
        return true;
    const QString unixTarget = unixPath(target);
    const QString unixLink = unixPath(linkPath);
    if (unixTarget.isEmpty() || unixLink.isEmpty())
        return false;
    // start.exe returns before the Unix program has done its work.
    QProcess::execute(QStringLiteral("start.exe"),
                      {QStringLiteral("/unix"), QStringLiteral("/bin/ln"), QStringLiteral("-s"), unixTarget, unixLink});
    for (int waited = 0; waited < 30000 && !QFileInfo::exists(linkPath); waited += 50)
        QThread::msleep(50);
    return QFileInfo::exists(linkPath);
#else
    return QFile::link(target, linkPath);
#endif
}

QByteArray noise(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 state = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = char(state >> 24);
    }
    return data;
}

bool ver2Archive(const QString &path, const QVector<Member> &members)
{
    const int count = members.size();
    const qint64 directoryEnd = 8 + 32 * qint64(count);
    quint32 sector = quint32((directoryEnd + 2047) / 2048);
    QByteArray out(int(sector) * 2048, '\0');
    memcpy(out.data(), "VER2", 4);
    qToLittleEndian<qint32>(count, out.data() + 4);
    for (int i = 0; i < count; ++i) {
        const Member &m = members.at(i);
        const quint16 sectors = m.sectors ? m.sectors : quint16((m.data.size() + 2047) / 2048);
        char *record = out.data() + 8 + 32 * i;
        qToLittleEndian<quint32>(sector, record);
        qToLittleEndian<quint16>(sectors, record + 4);
        qToLittleEndian<quint16>(0, record + 6);
        const QByteArray name = m.name.toLocal8Bit().left(23);
        memcpy(record + 8, name.constData(), size_t(name.size()));
        QByteArray padded = m.data;
        padded.resize(int(sectors) * 2048);
        for (int k = m.data.size(); k < padded.size(); ++k)
            padded[k] = '\0';
        out.append(padded);
        sector += sectors;
    }
    return write(path, out);
}

QByteArray withArchiveDirectory(QByteArray bytes, const QStringList &names)
{
    QByteArray directory("VER2");
    directory.append(QByteArray(4, '\0'));
    qToLittleEndian<qint32>(names.size(), directory.data() + 4);
    for (int i = 0; i < names.size(); ++i) {
        QByteArray record(32, '\0');
        qToLittleEndian<quint32>(quint32(i + 1), record.data());
        qToLittleEndian<quint16>(1, record.data() + 4);
        const QByteArray name = names.at(i).toUtf8().left(23);
        record.replace(8, name.size(), name);
        directory.append(record);
    }
    bytes.replace(0, directory.size(), directory);
    return bytes;
}

} // namespace TestFiles
