// The game's key/value file "listva.cfg" as GameSettings reads it. The file
// lies in the user's documents folder, where other programs write too. What
// was read must be written and read back unchanged, as far as the file's
// format can carry it.
#include "FuzzSupport.h"

#include "app/GameSettings.h"

#include <QDir>

namespace {

QString documentsDir()
{
    static const QString documents = [] {
        const QString path = FuzzSupport::scratchPath(QStringLiteral("documents"));
        QDir().mkpath(path + QStringLiteral("/GTA San Andreas User Files"));
        return path;
    }();
    return documents;
}

QString configPath()
{
    static const QString path = GameSettings(documentsDir()).configPath();
    return path;
}

// Keys of printable ASCII and values that are no negative numbers are
// written back as they were read; others change by design (the file is
// written in the local 8-bit encoding, values above 2^31 - 1 come back
// negative and read as 0). A line that saving lengthens ("k=" becomes
// "k=0") past the longest line read is left out as well.
bool survivesSaving(const QMap<QString, qint32> &values)
{
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (it.value() < 0 || it.key().size() + 12 > GameSettings::MaxLineLength)
            return false;
        for (const QChar c : it.key()) {
            if (c.unicode() < 0x20 || c.unicode() > 0x7E)
                return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString documents = documentsDir();
    FuzzSupport::writeFile(configPath(), FuzzSupport::bytes(data, size));

    GameSettings settings(documents);
    const QMap<QString, qint32> values = settings.values();
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        FUZZ_CHECK(!it.key().contains(QLatin1Char('=')) && !it.key().contains(QLatin1Char('\n')));
        FUZZ_CHECK(settings.intValue(it.key(), -1) == it.value());
        FUZZ_CHECK(settings.boolValue(it.key(), false) == (it.value() != 0));
    }

    settings.save();
    const GameSettings reread(documents);
    if (survivesSaving(values))
        FUZZ_CHECK(reread.values() == values);
    return 0;
}
