#include "app/BuildInfo.h"

#include <QStringList>

#ifndef VARO_BUILD_DATE
#define VARO_BUILD_DATE __DATE__
#endif

namespace BuildInfo {

QString version()
{
    return QStringLiteral("1.0.0.0");
}

QString compilerDate()
{
    return QString::fromLatin1(VARO_BUILD_DATE);
}

QDate parseCompilerDate(const QString &text)
{
    // __DATE__ pads a one-digit day with a blank ("Jan  5 2024"), so the
    // parts are separated by any run of white space.
    const QStringList parts = text.simplified().split(QLatin1Char(' '));
    if (parts.size() != 3)
        return QDate();
    static const QString months = QStringLiteral("JanFebMarAprMayJunJulAugSepOctNovDec");
    const QString &monthName = parts.at(0);
    const int position = monthName.size() == 3 ? months.indexOf(monthName) : -1;
    if (position < 0 || position % 3 != 0)
        return QDate();
    bool dayOk = false;
    bool yearOk = false;
    const int day = parts.at(1).toInt(&dayOk);
    int year = parts.at(2).toInt(&yearOk);
    if (!dayOk || !yearOk || year < 0)
        return QDate();
    if (year <= 98)
        year += 2000;
    return QDate(year, position / 3 + 1, day);
}

QString buildDate()
{
    const QDate date = parseCompilerDate(compilerDate());
    return date.isValid() ? date.toString(QStringLiteral("dd.MM.yyyy")) : QString();
}

QString versionText()
{
    return QStringLiteral("Версия %1 от %2").arg(version(), buildDate());
}

} // namespace BuildInfo
