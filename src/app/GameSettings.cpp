#include "app/GameSettings.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringList>

namespace {

// Reads and drops the rest of an over-long line, one buffer at a time.
void skipRestOfLine(QFile &file, QByteArray &buffer)
{
    for (;;) {
        const qint64 length = file.readLine(buffer.data(), buffer.size());
        if (length <= 0 || buffer.at(int(length) - 1) == '\n')
            return;
    }
}

} // namespace

GameSettings::GameSettings(const QString &documentsFolder)
{
    if (documentsFolder.isEmpty())
        return;
    const QString userFilesDir = QDir::fromNativeSeparators(documentsFolder)
        + QStringLiteral("/GTA San Andreas User Files");
    configFile = QDir::toNativeSeparators(userFilesDir + QStringLiteral("/listva.cfg"));
    settingsFile = QDir::toNativeSeparators(userFilesDir + QStringLiteral("/gta_sa.set"));
    load();
}

void GameSettings::load()
{
    QFile file(configFile);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;

    // Room for a line of the longest accepted length, its CR LF and the
    // terminating NUL that readLine always writes.
    QByteArray buffer(MaxLineLength + 3, Qt::Uninitialized);
    for (;;) {
        const qint64 length = file.readLine(buffer.data(), buffer.size());
        if (length <= 0)
            break;
        QByteArray record(buffer.constData(), int(length));
        const bool lineEnded = record.endsWith('\n');
        if (!lineEnded && !file.atEnd()) {
            skipRestOfLine(file, buffer);
            continue;
        }
        if (lineEnded)
            record.chop(1);
        if (record.endsWith('\r'))
            record.chop(1);
        if (record.size() > MaxLineLength)
            continue;
        parseRecord(record);
    }
}

// One "key=value" line: the key is kept exactly as written, the value is an
// unsigned decimal number around which white space is allowed; it is kept in
// 32 signed bits, so values above 2^31 - 1 wrap to negative ones.
void GameSettings::parseRecord(const QByteArray &record)
{
    const QString text = QString::fromLatin1(record);
    if (text.trimmed().isEmpty())
        return;
    const QStringList parts = text.split(QLatin1Char('='));
    if (parts.size() != 2)
        return;
    const uint value = parts.at(1).trimmed().toUInt(); // 0 when it does not parse
    entries.insert(parts.at(0), static_cast<qint32>(value));
}

void GameSettings::save() const
{
    if (configFile.isEmpty())
        return;
    QSaveFile file(configFile);
    // Where no temporary file can be made next to it (a folder the user may
    // not create files in), write the file in place as before.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        file.write(QStringLiteral("%1=%2\n").arg(it.key(), QString::number(it.value())).toLocal8Bit());
    file.commit();
}

QString GameSettings::settingsPath() const
{
    return settingsFile;
}

QString GameSettings::configPath() const
{
    return configFile;
}

qint32 GameSettings::intValue(const QString &key, qint32 defaultValue) const
{
    return entries.value(key, defaultValue);
}

bool GameSettings::boolValue(const QString &key, bool defaultValue) const
{
    const auto it = entries.constFind(key);
    return it == entries.cend() ? defaultValue : it.value() != 0;
}

void GameSettings::setInt(const QString &key, qint32 value)
{
    entries.insert(key, value);
}

void GameSettings::setBool(const QString &key, bool value)
{
    entries.insert(key, value ? 1 : 0);
}

QMap<QString, qint32> GameSettings::values() const
{
    return entries;
}
