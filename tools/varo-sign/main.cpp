// varo-sign: makes the project's signing key and signs update installers.
// The secret key file belongs on an offline machine of the project's, never
// on a web server; the launcher is built with its public key
// (VARO_SIGNING_PUBLIC_KEY). Sync lists are signed by varo-publish --key.

#include "signing/InstallerSignature.h"
#include "signing/SecretKey.h"
#include "signing/SignedText.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>

namespace {

enum ExitCode : int {
    ExitOk = 0,
    ExitUsage = 64,
    ExitNoInput = 66,     // the key or the installer cannot be read
    ExitSoftware = 70,    // no random numbers, no signature
    ExitCannotWrite = 73, // the key file exists or cannot be written, the signature cannot be written
};

const char Usage[] = "usage: varo-sign keygen KEY_FILE\n"
                     "       varo-sign public-key KEY_FILE\n"
                     "       varo-sign installer KEY_FILE VERSION INSTALLER\n"
                     "\n"
                     "keygen      makes a new secret key in KEY_FILE (never over an existing file,\n"
                     "            readable by its owner only) and prints its public key, the value\n"
                     "            of the launcher's VARO_SIGNING_PUBLIC_KEY.\n"
                     "public-key  prints the public key of KEY_FILE.\n"
                     "installer   writes INSTALLER.sig: the signature of the update installer\n"
                     "            INSTALLER as the launcher of VERSION (numbers and dots, exactly\n"
                     "            the latest_version the API announces). Publish it next to the\n"
                     "            installer, at its address followed by \".sig\".\n"
                     "Sync lists are signed by varo-publish --key KEY_FILE.\n"
                     "\n"
                     "Exit status: 0 done; 64 bad arguments; 66 a file cannot be read or is not\n"
                     "a key; 70 no signature could be made; 73 a file cannot be written.\n";

int fail(int code, const QString &text)
{
    std::fprintf(stderr, "varo-sign: %s\n", qPrintable(text));
    return code;
}

SecretKey readKey(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return SecretKey();
    return SecretKey::fromFileText(file.read(SignedText::MaxSize));
}

int keygen(const QString &path)
{
    const SecretKey key = SecretKey::generate();
    if (!key.isValid())
        return fail(ExitSoftware, QStringLiteral("no random numbers to make a key from"));
    QFile file(path);
    // Never over an earlier key: losing it would strand every launcher
    // built with it.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fail(ExitCannotWrite, QStringLiteral("cannot create %1: %2").arg(path, file.errorString()));
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray text = key.toFileText();
    if (file.write(text) != text.size() || !file.flush())
        return fail(ExitCannotWrite, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    std::printf("%s\n", qPrintable(key.publicKey().toText()));
    return ExitOk;
}

int signInstaller(const QString &keyPath, const QString &version, const QString &installerPath)
{
    const SecretKey key = readKey(keyPath);
    if (!key.isValid())
        return fail(ExitNoInput, QStringLiteral("%1 is not a signing key file").arg(keyPath));
    QFile installer(installerPath);
    QCryptographicHash digest(QCryptographicHash::Sha256);
    if (!installer.open(QIODevice::ReadOnly) || !digest.addData(&installer))
        return fail(ExitNoInput, QStringLiteral("cannot read %1").arg(installerPath));
    const QByteArray signature = InstallerSignature::make(key, version, digest.result());
    if (signature.isEmpty())
        return fail(ExitUsage, QStringLiteral("%1 is not a version of numbers and dots").arg(version));
    QSaveFile file(installerPath + QStringLiteral(".sig"));
    if (!file.open(QIODevice::WriteOnly) || file.write(signature) != signature.size() || !file.commit())
        return fail(ExitCannotWrite, QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    std::printf("%s\n", qPrintable(file.fileName()));
    return ExitOk;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    const QString command = args.value(0);
    if (args.size() == 1 && (command == QLatin1String("-h") || command == QLatin1String("--help"))) {
        std::fputs(Usage, stdout);
        return ExitOk;
    }
    if (command == QLatin1String("keygen") && args.size() == 2)
        return keygen(args.at(1));
    if (command == QLatin1String("public-key") && args.size() == 2) {
        const SecretKey key = readKey(args.at(1));
        if (!key.isValid())
            return fail(ExitNoInput, QStringLiteral("%1 is not a signing key file").arg(args.at(1)));
        std::printf("%s\n", qPrintable(key.publicKey().toText()));
        return ExitOk;
    }
    if (command == QLatin1String("installer") && args.size() == 4)
        return signInstaller(args.at(1), args.at(2), args.at(3));
    std::fputs(Usage, stderr);
    return ExitUsage;
}
