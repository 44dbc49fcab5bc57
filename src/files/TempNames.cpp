#include "files/TempNames.h"

namespace TempNames {

QString block(const QString &destination)
{
    return destination + QStringLiteral(" block.tmp");
}

QString unpacked(const QString &destination)
{
    return destination + QStringLiteral(" new.tmp");
}

QString member(const QString &archive, const QString &name)
{
    return archive + QStringLiteral(" member ") + name + QStringLiteral(".tmp");
}

QString part(const QString &destination, quint32 part)
{
    return destination + QStringLiteral(" part") + QString::number(part) + QStringLiteral(".tmp");
}

QString assembled(const QString &destination)
{
    return destination + QStringLiteral(" whole.tmp");
}

} // namespace TempNames
