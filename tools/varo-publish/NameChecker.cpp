#include "NameChecker.h"

#include "files/SafePath.h"

#include <QStringList>

namespace {

// Characters that Windows file names cannot hold, or that end or escape the
// path of a mirror address ('#' starts a fragment, '?' a query, '%' an
// escape).
const QString UnsafeInFileNames = QStringLiteral("\\/:*?\"<>|#%");
const QString UnsafeInMemberNames = QStringLiteral("\\/#?%");

bool hasControlCharacter(const QString &name)
{
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

bool hasWhiteSpace(const QString &name)
{
    for (const QChar c : name) {
        if (c.isSpace())
            return true;
    }
    return false;
}

QString unsafeCharacters(const QString &name, const QString &unsafe)
{
    QString found;
    for (const QChar c : name) {
        if (unsafe.contains(c) && !found.contains(c))
            found += c;
    }
    return found;
}

} // namespace

QString NameChecker::pathNameProblem(const QString &name, bool isFile)
{
    QStringList reasons;
    if (name != name.toLower())
        reasons << QStringLiteral("has upper-case letters (the launcher lower-cases names on the player's disk)");
    if (hasWhiteSpace(name))
        reasons << QStringLiteral("has white space (the launcher turns blanks into \"_\" on the player's disk)");
    if (hasControlCharacter(name))
        reasons << QStringLiteral("has control characters");
    const QString unsafe = unsafeCharacters(name, UnsafeInFileNames);
    if (!unsafe.isEmpty())
        reasons << QStringLiteral("has the characters %1, which Windows names or mirror addresses cannot carry")
                       .arg(unsafe);
    if (name.endsWith(QLatin1Char('.')))
        reasons << QStringLiteral("ends in \".\", which Windows drops");
    if (SafePath::isReservedDeviceName(name))
        reasons << QStringLiteral("is a name Windows keeps for a device (con, nul, aux, prn, com1-com9, lpt1-lpt9)");
    if (isFile) {
        const QString suffix = name.mid(name.lastIndexOf(QLatin1Char('.')) + 1).toLower();
        if (name.contains(QLatin1Char('.'))
            && (suffix == QLatin1String("tmp") || suffix == QLatin1String("lnk") || suffix == QLatin1String("link")))
            reasons << QStringLiteral("ends in .%1, which the launcher deletes at every start").arg(suffix);
    }
    return reasons.join(QStringLiteral("; "));
}

QString NameChecker::memberNameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("a member without a name");
    QStringList reasons;
    if (hasWhiteSpace(name))
        reasons << QStringLiteral("has white space (the launcher leaves such members out of its archives)");
    const int bytes = name.toUtf8().size();
    if (bytes > MaxMemberNameBytes)
        reasons << QStringLiteral("is %1 bytes long, more than the %2 an archive record holds")
                       .arg(bytes)
                       .arg(MaxMemberNameBytes);
    if (hasControlCharacter(name))
        reasons << QStringLiteral("has control characters");
    bool ascii = true;
    for (const QChar c : name)
        ascii = ascii && c.unicode() < 0x80;
    if (!ascii)
        reasons << QStringLiteral("has characters outside ASCII (archive names are read in the player's code page)");
    const QString unsafe = unsafeCharacters(name, UnsafeInMemberNames);
    if (!unsafe.isEmpty())
        reasons << QStringLiteral("has the characters %1, which mirror addresses cannot carry").arg(unsafe);
    if (!SafePath::isPortableName(name))
        reasons << QStringLiteral("is a name the launcher refuses everywhere because Windows reads it as another "
                                  "(a device name, a trailing \".\" or blank, or one of < > : \" | ? *)");
    if (name.startsWith(QLatin1String("v2staticHeader.v2sh"), Qt::CaseInsensitive))
        reasons << QStringLiteral("is named like the record that marks the launcher's archive form");
    return reasons.join(QStringLiteral("; "));
}
