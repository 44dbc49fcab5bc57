// Signature files from a server: an installer's and the sync list's. Any
// bytes are read without harm, and what reads as a signed text keeps its
// fields when it is signed anew.
#include "FuzzSupport.h"

#include "signing/InstallerSignature.h"
#include "signing/ListSignature.h"
#include "signing/SecretKey.h"
#include "signing/SignedText.h"

#include <QCryptographicHash>

namespace {

// The key of the seed inputs (fuzz_make_corpus signs them with it), so that
// mutations start from signatures that verify.
const QByteArray SeedKey = "varo-signing-secret-key 1\nAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n";
const QByteArray Installer = "MZ seed installer";
const QByteArray List = "[directories]\n\n[entries]\n";

void checkText(const QByteArray &input, const QByteArray &header, const SecretKey &key)
{
    SignedText::Fields fields;
    if (!SignedText::parse(input, header, &fields))
        return;
    // The statement and the signature line have the same lengths as the
    // input's, so the new text is within the bound too.
    SignedText::Fields again;
    const QByteArray remade = SignedText::make(header, fields, key);
    FUZZ_CHECK(remade.size() == input.size());
    FUZZ_CHECK(SignedText::open(remade, header, key.publicKey(), &again));
    FUZZ_CHECK(again == fields);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const SecretKey key = SecretKey::fromFileText(SeedKey);
    FUZZ_CHECK(key.isValid());
    const QByteArray input = FuzzSupport::bytes(data, size);

    InstallerSignature::check(input, key.publicKey(), QCryptographicHash::hash(Installer, QCryptographicHash::Sha256),
                              QStringLiteral("2.0"), QStringLiteral("1.0.0.0"));
    ListSignature::Statement statement;
    const ListSignature::Verdict verdict = ListSignature::check(input, key.publicKey(), List, 2,
                                                                QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC),
                                                                &statement);
    if (verdict == ListSignature::Verdict::Valid)
        FUZZ_CHECK(statement.serial >= 2 && statement.sha256.size() == 32);
    if (ListSignature::read(input, &statement))
        FUZZ_CHECK(statement.serial > 0 && statement.sha256.size() == 32);

    checkText(input, "varo-installer-signature 1", key);
    checkText(input, "varo-sync-list-signature 1", key);
    return 0;
}
