// varo-publish [--key KEY_FILE [--expires-in DAYS]] GAME_DIR MIRROR_DIR: publishes a game folder as the sync list
// and file mirror that the launcher synchronises from.

#include "ExitCode.h"
#include "Publisher.h"

#include "signing/SecretKey.h"
#include "signing/SignedText.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QStringList>

#include <cstdio>

namespace {

const char Usage[] = "usage: varo-publish [--key KEY_FILE [--expires-in DAYS]] GAME_DIR MIRROR_DIR\n"
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
                     "--key KEY_FILE signs the list with the project's secret key (made by\n"
                     "varo-sign keygen) in launcher_api/sync.lst.sig, written last; its serial\n"
                     "is one more than the mirror's current one. --expires-in DAYS makes the\n"
                     "signature expire that many days from now (default: never). A signed\n"
                     "mirror is only published again with a key.\n"
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
    // --key and --expires-in take a value; "--" ends the options, for
    // folders whose names begin with "-".
    QStringList operands;
    QString keyFile;
    QString expiresIn;
    bool badOption = false;
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || argument.size() <= 1 || !argument.startsWith(QLatin1Char('-'))) {
            operands << argument;
        } else if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if ((argument == QLatin1String("--key") || argument == QLatin1String("--expires-in"))
                   && i + 1 < arguments.size()) {
            (argument == QLatin1String("--key") ? keyFile : expiresIn) = arguments.at(++i);
        } else {
            badOption = true;
        }
    }
    bool daysOk = expiresIn.isEmpty();
    const int days = expiresIn.isEmpty() ? 0 : expiresIn.toInt(&daysOk);
    if (badOption || operands.size() != 2 || operands.at(0).isEmpty() || operands.at(1).isEmpty() || !daysOk
        || (!expiresIn.isEmpty() && (days < 1 || days > 36500 || keyFile.isEmpty()))) {
        std::fputs(Usage, stderr);
        return ExitUsage;
    }
    SecretKey key;
    if (!keyFile.isEmpty()) {
        QFile file(keyFile);
        if (file.open(QIODevice::ReadOnly))
            key = SecretKey::fromFileText(file.read(SignedText::MaxSize));
        if (!key.isValid()) {
            std::fprintf(stderr, "varo-publish: %s is not a signing key file (varo-sign keygen makes one)\n",
                         qPrintable(keyFile));
            return ExitNoInput;
        }
    }
    Publisher publisher(operands.at(0), operands.at(1));
    if (key.isValid())
        publisher.signWith(key, days);
    return publisher.run();
}
