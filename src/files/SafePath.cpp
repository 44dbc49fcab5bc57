#include "files/SafePath.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace SafePath {

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
        if (part.isEmpty() || part.startsWith(QLatin1Char('.')))
            return false;
    }
    return true;
}

bool isSafeMemberName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.toUtf8().size() > 23)
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
    if (!isSafeRelative(relativePath))
        return QString();
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    if (canonicalRoot.isEmpty())
        return QString();
    // Walk down the existing part of the path: a folder that is a symbolic
    // link must still resolve inside the root.
    const QStringList parts = relativePath.split(QLatin1Char('/'));
    QString current = root;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        current += QLatin1Char('/') + parts.at(i);
        const QFileInfo info(current);
        if (!info.exists() && !info.isSymLink())
            break;
        if (info.isSymLink()) {
            const QString target = info.canonicalFilePath();
            if (target.isEmpty() || !(target + QLatin1Char('/')).startsWith(canonicalRoot + QLatin1Char('/')))
                return QString();
        }
    }
    return root + QLatin1Char('/') + relativePath;
}

} // namespace SafePath
