#include "files/SafePath.h"

#include "platform/Platform.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace {

// A symbolic link, or on Windows also a junction or a mount point, which Qt
// 5.15 does not count among its links.
bool isLink(const QFileInfo &info)
{
    return info.isSymLink() || Platform::isLink(info.filePath());
}

} // namespace

namespace SafePath {

bool isReservedDeviceName(const QString &name)
{
    // Windows looks at the part before the first dot, without the blanks
    // that end it.
    QString base = name.section(QLatin1Char('.'), 0, 0).toLower();
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    static const QStringList plain{QStringLiteral("con"), QStringLiteral("prn"),    QStringLiteral("aux"),
                                   QStringLiteral("nul"), QStringLiteral("conin$"), QStringLiteral("conout$")};
    if (plain.contains(base))
        return true;
    if (base.size() != 4 || !(base.startsWith(QLatin1String("com")) || base.startsWith(QLatin1String("lpt"))))
        return false;
    const QChar digit = base.at(3);
    return (digit >= QLatin1Char('1') && digit <= QLatin1Char('9')) || digit == QChar(0x00b9) || digit == QChar(0x00b2)
        || digit == QChar(0x00b3);
}

bool isPortableName(const QString &name)
{
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return false;
    for (const QChar c : name) {
        if (QStringLiteral("<>:\"|?*").contains(c))
            return false;
    }
    return !isReservedDeviceName(name);
}

bool isSafeRelative(const QString &relativePath)
{
    if (relativePath.isEmpty() || relativePath.startsWith(QLatin1Char('/')))
        return false;
    for (const QChar c : relativePath) {
        if (c == QLatin1Char('\\') || c == QLatin1Char(':') || c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    const QStringList parts = relativePath.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part.startsWith(QLatin1Char('.')) || !isPortableName(part))
            return false;
    }
    return true;
}

bool isSafeMemberName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.toUtf8().size() > 23
        || !isPortableName(name))
        return false;
    if (name.startsWith(QLatin1String("v2staticHeader.v2sh"), Qt::CaseInsensitive))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(' ') || c.unicode() < 0x20
            || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

QString inside(const QString &root, const QString &relativePath)
{
    return inside(root, relativePath, QString());
}

QString inside(const QString &root, const QString &relativePath, const QString &knownCanonicalRoot)
{
    if (!isSafeRelative(relativePath))
        return QString();
    const QString canonicalRoot = knownCanonicalRoot.isEmpty() ? Platform::canonicalPath(root) : knownCanonicalRoot;
    if (canonicalRoot.isEmpty())
        return QString();
    // Walk down the existing part of the path: a folder that is a symbolic
    // link must still resolve inside the root.
    const QStringList parts = relativePath.split(QLatin1Char('/'));
    QString current = root;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        current += QLatin1Char('/') + parts.at(i);
        const QFileInfo info(current);
        if (!info.exists() && !isLink(info))
            break;
        if (isLink(info)) {
            const QString target = Platform::canonicalPath(current);
            if (target.isEmpty() || !(target + QLatin1Char('/')).startsWith(canonicalRoot + QLatin1Char('/')))
                return QString();
        }
    }
    return root + QLatin1Char('/') + relativePath;
}

} // namespace SafePath
