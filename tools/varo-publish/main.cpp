// varo-publish GAME_DIR MIRROR_DIR: publishes a game folder as the sync list
// and file mirror that the launcher synchronises from.

#include "ExitCode.h"
#include "Publisher.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QStringList>

#include <cstdio>

namespace {

const char Usage[] = "usage: varo-publish GAME_DIR MIRROR_DIR\n"
                     "\n"
                     "Publishes the game folder GAME_DIR as the launcher's sync list and file\n"
                     "mirror in MIRROR_DIR:\n"
                     "  launcher_api/sync.lst        every folder and file, with sizes and MD5 sums\n"
                     "  launcher_api/sync.lst.hash   the MD5 of sync.lst\n"
                     "  pcgamefile/filesystem/       one packed block per file, audio part,\n"
                     "                               archive member and archive part\n"
                     "  ping.txt                     the mirror's probe\n"
                     "GAME_DIR is only read. Names the launcher would rename or delete, archive\n"
                     "members it would drop and files too large for it are refused before\n"
                     "anything is written. Publishing again into the same MIRROR_DIR replaces\n"
                     "the earlier publication: unchanged blocks are kept, blocks the new list no\n"
                     "longer names are deleted.\n"
                     "\n"
                     "Exit status: 0 published; 64 bad arguments; 65 the game folder needs\n"
                     "fixing (every offending path is named); 66 the game folder cannot be\n"
                     "read; 70 an archive could not be rebuilt; 73 the mirror cannot be written.\n";

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varo-publish"));
    // The libraries' debug lines are for developers; QT_LOGGING_RULES still
    // turns them on.
    QLoggingCategory::setFilterRules(QStringLiteral("varo.*.debug=false"));

    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() == 1
        && (arguments.first() == QLatin1String("-h") || arguments.first() == QLatin1String("--help"))) {
        std::fputs(Usage, stdout);
        return ExitOk;
    }
    // No options besides the help; "--" ends them, for folders whose names
    // begin with "-".
    QStringList operands;
    bool badOption = false;
    bool optionsEnded = false;
    for (const QString &argument : arguments) {
        if (!optionsEnded && argument == QLatin1String("--"))
            optionsEnded = true;
        else if (!optionsEnded && argument.size() > 1 && argument.startsWith(QLatin1Char('-')))
            badOption = true;
        else
            operands << argument;
    }
    if (badOption || operands.size() != 2 || operands.at(0).isEmpty() || operands.at(1).isEmpty()) {
        std::fputs(Usage, stderr);
        return ExitUsage;
    }
    Publisher publisher(operands.at(0), operands.at(1));
    return publisher.run();
}
