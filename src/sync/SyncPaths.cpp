#include "sync/SyncPaths.h"

#include "files/SafePath.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcPaths, "varo.sync", QtInfoMsg)

} // namespace

bool SyncPaths::isSafe(const QString &path)
{
    if (SafePath::isSafeRelative(path))
        return true;
    qCWarning(lcPaths).noquote() << "[unsafe path] left alone:" << path;
    return false;
}

QString SyncPaths::inside(const QString &gameDir, const QString &path)
{
    const QString full = SafePath::inside(gameDir, path);
    if (full.isEmpty())
        qCWarning(lcPaths).noquote() << "[unsafe path] left alone:" << path;
    return full;
}
