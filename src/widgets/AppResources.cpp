#include "widgets/AppResources.h"

#include <QFile>
#include <QFontDatabase>

#include <atomic>

// Q_INIT_RESOURCE declares a function of the global namespace, so it is used
// outside the namespace below.
static void initResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace AppResources {

void ensureLoaded()
{
    static std::atomic<bool> loaded(false);
    if (!loaded.exchange(true))
        initResources();
}

QStringList fontFiles()
{
    return {
        QStringLiteral(":/fonts/SF-Compact-Text-Bold.otf"),
        QStringLiteral(":/fonts/SF-Compact-Text-Heavy.otf"),
        QStringLiteral(":/fonts/SF-Compact-Text-Medium.otf"),
        QStringLiteral(":/fonts/SF-Compact-Text-Regular.otf"),
        QStringLiteral(":/fonts/Gilroy-Bold.otf"),
        QStringLiteral(":/fonts/Gilroy-Black.otf"),
        QStringLiteral(":/fonts/Montserrat-Bold.ttf"),
        QStringLiteral(":/fonts/Montserrat-Medium.ttf"),
        QStringLiteral(":/fonts/Montserrat-Regular.ttf"),
        QStringLiteral(":/fonts/Montserrat-SemiBold.ttf"),
        QStringLiteral(":/fonts/Montserrat-Light.ttf"),
    };
}

int registerFonts()
{
    ensureLoaded();
    int registered = 0;
    for (const QString &file : fontFiles()) {
        // A file that does not load is skipped; the widgets then fall back
        // to the system's font for that family.
        if (!QFile::exists(file))
            continue;
        const int id = QFontDatabase::addApplicationFont(file);
        if (id < 0)
            continue;
        (void)QFontDatabase::applicationFontFamilies(id);
        ++registered;
    }
    return registered;
}

} // namespace AppResources
