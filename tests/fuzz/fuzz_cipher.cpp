// The payload cipher, the encrypted list files and the block unpacker: every
// input is given to decrypt() as a cipher text, to Compression::uncompress()
// as a block, and to readBinaryList() as the content of a list file. Whatever
// they accept must survive a round trip through the writing side.
#include "FuzzSupport.h"

#include "service/BinaryListFile.h"
#include "service/Compression.h"
#include "service/PayloadCipher.h"

namespace {

const QString ListName = QStringLiteral("/fuzz_list.bin");

void checkDecrypt(const QByteArray &input)
{
    PayloadCipher cipher(PayloadCipher::BuiltInKey);
    const QByteArray plain = cipher.decrypt(input);
    const PayloadCipher::CipherError error = cipher.lastError();
    FUZZ_CHECK(plain.isEmpty() || error == PayloadCipher::NoError);
    if (error != PayloadCipher::NoError)
        return;

    // Encrypting what was read gives a cipher text that reads the same, under
    // the modes chosen by the input's flags byte.
    const int flags = uchar(input.at(1));
    cipher.setCompressionMode(PayloadCipher::CompressionMode(flags % 3));
    cipher.setProtectionMode(PayloadCipher::ProtectionMode((flags / 3) % 3));
    const QByteArray again = cipher.encrypt(plain);
    FUZZ_CHECK(cipher.lastError() == PayloadCipher::NoError && !again.isEmpty());
    FUZZ_CHECK(cipher.decrypt(again) == plain && cipher.lastError() == PayloadCipher::NoError);

    // Without a key nothing is read.
    PayloadCipher keyless;
    FUZZ_CHECK(keyless.decrypt(input).isEmpty() && keyless.lastError() == PayloadCipher::NoKey);
}

void checkUncompress(const QByteArray &input)
{
    QByteArray out;
    const bool ok = Compression::uncompress(input, &out);
    if (!ok) {
        FUZZ_CHECK(out.isEmpty());
        return;
    }
    FUZZ_CHECK(out.size() == Compression::announcedSize(input));
    // The size check alone must decide the same way.
    QByteArray sized;
    FUZZ_CHECK(Compression::uncompress(input, &sized, out.size()) && sized == out);
    FUZZ_CHECK(!Compression::uncompress(input, &sized, out.size() + 1) && sized.isEmpty());
    QByteArray back;
    FUZZ_CHECK(Compression::uncompress(Compression::compress(out), &back) && back == out);
}

void checkListFile(const QByteArray &input)
{
    static const QString path = FuzzSupport::scratchDir() + ListName;
    FuzzSupport::writeFile(path, input);
    const QByteArray plain = readBinaryList(path);
    if (plain.isEmpty())
        return;
    FUZZ_CHECK(writeBinaryList(path, plain));
    FUZZ_CHECK(readBinaryList(path) == plain);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = FuzzSupport::bytes(data, size);
    checkDecrypt(input);
    checkUncompress(input);
    checkListFile(input);
    return 0;
}
