// Writes the seed inputs of every fuzz target into <corpus folder>/<target>/,
// made with the project's own writers where it has them: listings through
// Listing::writeListing, archives through the archive editor, cipher texts
// and list files through PayloadCipher and writeBinaryList.
//
//   fuzz_make_corpus tests/fuzz/corpus
#include "ArchiveInput.h"

#include "files/Listing.h"
#include "files/imgarchive/ArchiveEditor.h"
#include "service/BinaryListFile.h"
#include "service/Compression.h"
#include "service/PayloadCipher.h"
#include "signing/InstallerSignature.h"
#include "signing/ListSignature.h"
#include "signing/SecretKey.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <cstdio>

namespace {

QString corpusRoot;
bool failed = false;

void put(const char *target, const char *name, const QByteArray &bytes)
{
    const QString dir = corpusRoot + QLatin1Char('/') + QLatin1String(target);
    QDir().mkpath(dir);
    QFile file(dir + QLatin1Char('/') + QLatin1String(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        failed = true;
    }
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

ListingEntry entry(EntryKind kind, const QString &path, quint32 size, const QString &md5, quint32 mtime)
{
    ListingEntry e;
    e.kind = kind;
    e.path = path;
    e.name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    e.size = size;
    e.md5 = md5;
    e.mtime = mtime;
    return e;
}

Listing sampleListing()
{
    const QString md5a = QStringLiteral("0cc175b9c0f1b6a831c399e269772661");
    const QString md5b = QStringLiteral("92eb5ffee6ae2fec3ad71c777531578f");
    Listing listing;
    listing.directories << QStringLiteral("audio") << QStringLiteral("audio/sfx") << QStringLiteral("models");
    listing.entries << entry(EntryKind::File, QStringLiteral("gta_sa.exe"), 14383616, md5a, 1700000000);
    ListingEntry audio = entry(EntryKind::AudioFile, QStringLiteral("audio/sfx/genrl"), 70000000, md5b, 1700000001);
    audio.blockCount = 2;
    audio.partSize = 41943040;
    listing.entries << audio;
    ListingEntry archive = entry(EntryKind::ImgArchive, QStringLiteral("models/gta3.img"), 413696, QString(), 0);
    archive.imgId = 0;
    archive.blockCount = 1;
    archive.extra = 413696;
    listing.entries << archive;
    ListingEntry second = entry(EntryKind::ImgArchive, QStringLiteral("models/gta_int.img"), 409600, QString(), 0);
    second.imgId = -3;
    listing.entries << second;
    ListingEntry member;
    member.name = QStringLiteral("infernus.dff");
    member.size = 2048;
    member.md5 = md5a;
    listing.imgGroups[0] << member;
    member.name = QStringLiteral("infernus.txd");
    member.size = 4096;
    member.md5 = md5b;
    listing.imgGroups[0] << member;
    return listing;
}

void listingSeeds()
{
    Listing listing = sampleListing();
    QByteArray text;
    listing.writeListing(text, false);
    put("fuzz_listing", "sync_list", text);
    listing.writeListing(text, true);
    put("fuzz_listing", "state_with_times", text);
    Listing empty;
    empty.writeListing(text, false);
    put("fuzz_listing", "empty", text);
    // Hand-made oddities the reader must take: headers out of order and
    // repeated, "[img]" without its blank, short lines, a zero byte.
    put("fuzz_listing", "odd",
        QByteArrayLiteral("[entries]\na b\nx y file notanumber\n[img]7\nm.dff 2048 ab\n[img] -5\nn.dff 1 2 3\n"
                          "[directories]\ndata\n\n[entries]\ndata/a.txt a.txt file 1 c\n\0after zero\n"));
}

// A VER2 archive in the game's layout: three files packed from sector 1,
// one with a blank in its name and one of length 0.
QByteArray ver2Archive()
{
    struct Record
    {
        quint32 start;
        quint16 sectors;
        const char *name;
    };
    const Record records[] = {{1, 1, "bullet.dff"}, {2, 2, "car one.txd"}, {4, 0, "empty.col"}, {4, 1, "zz.ifp"}};
    const int count = int(sizeof records / sizeof records[0]);
    QByteArray file(5 * 2048, '\0');
    file.replace(0, 4, "VER2");
    qToLittleEndian<qint32>(count, file.data() + 4);
    for (int i = 0; i < count; ++i) {
        char *record = file.data() + 8 + 32 * i;
        qToLittleEndian<quint32>(records[i].start, record);
        qToLittleEndian<quint16>(records[i].sectors, record + 4);
        qstrncpy(record + 8, records[i].name, 24);
        for (int k = 0; k < records[i].sectors * 2048; ++k)
            file[int(records[i].start) * 2048 + k] = char('A' + i);
    }
    return file;
}

void archiveSeeds(const QString &scratch)
{
    const QString path = scratch + QStringLiteral("/gta3.img");
    ImgArchive::ArchiveEditor::createEmpty(path);
    const QByteArray emptyArchive = readAll(path);
    {
        ImgArchive::ArchiveEditor editor(path);
        editor.open();
        editor.append(QStringLiteral("infernus.dff"), QByteArray(3000, 'i'));
        editor.append(QStringLiteral("bullet.txd"), QByteArray(100, 'b'));
        editor.append(QStringLiteral("removed.col"), QByteArray(10, 'r'));
        editor.remove(editor.find(QStringLiteral("removed.col")));
        editor.close();
    }
    const QByteArray v2sh = readAll(path);

    QFile::remove(path);
    QFile ver2File(path);
    ver2File.open(QIODevice::WriteOnly);
    ver2File.write(ver2Archive());
    ver2File.close();
    ImgArchive::ArchiveEditor::convertToV2StaticHeader(path);
    const QByteArray converted = readAll(path);

    for (const char *target : {"fuzz_archiveeditor", "fuzz_imgdirectory"}) {
        put(target, "v2sh_empty", ArchiveInput::encodeFixedDirectory(emptyArchive));
        put(target, "v2sh_three_members", ArchiveInput::encodeFixedDirectory(v2sh));
        put(target, "v2sh_converted", ArchiveInput::encodeFixedDirectory(converted));
        put(target, "ver2", ArchiveInput::encodePlain(ver2Archive()));
        put(target, "ver2_directory_only", ArchiveInput::encodePlain(ver2Archive().left(8 + 32 * 4)));
    }
}

void cipherSeeds(const QString &scratch)
{
    const QByteArray plain = QByteArrayLiteral("[{\"new_name\":\"01\",\"addr\":\"192.0.2.10\",\"port\":7771}]");
    const char *compression[] = {"auto", "always", "never"};
    const char *protection[] = {"none", "crc", "sha1"};
    for (int c = 0; c < 3; ++c) {
        for (int p = 0; p < 3; ++p) {
            PayloadCipher cipher(PayloadCipher::BuiltInKey);
            cipher.setCompressionMode(PayloadCipher::CompressionMode(c));
            cipher.setProtectionMode(PayloadCipher::ProtectionMode(p));
            const QByteArray name = QByteArray("cipher_") + compression[c] + '_' + protection[p];
            put("fuzz_cipher", name.constData(), cipher.encrypt(plain));
        }
    }
    put("fuzz_cipher", "cipher_empty_cache_form", PayloadCipher::forCache().encrypt(QByteArray()));

    writeBinaryList(scratch + QStringLiteral("/servers.bin"), plain);
    put("fuzz_cipher", "list_servers", readAll(scratch + QStringLiteral("/servers.bin")));
    Listing listing = sampleListing();
    QByteArray state;
    listing.writeListing(state, true);
    writeBinaryList(scratch + QStringLiteral("/state.bin"), state);
    put("fuzz_cipher", "list_sync_state", readAll(scratch + QStringLiteral("/state.bin")));

    put("fuzz_cipher", "block_empty", Compression::compress(QByteArray()));
    put("fuzz_cipher", "block_text", Compression::compress(state));
}

void answerSeeds()
{
    // The first byte is the answer kind: 0 ping, 1 updates, 2 servers,
    // 3 news, 4 monitoring.
    const struct
    {
        const char *name;
        char kind;
        const char *body;
    } answers[] = {
        {"ping_cdn", 0, R"({"cdn": "http://cdn2.example.org/"})"},
        {"ping_without_cdn", 0, R"({"status": "ok"})"},
        {"updates_offer", 1,
         R"({"act": "UPDATE", "latest_version": "1.0.1.0", "download_url": "https://example.org/setup.exe"})"},
        {"updates_none", 1, R"({"act": "no"})"},
        {"servers", 2,
         R"([{"new_name": "A", "addr": "alpha", "port": 7777}, {"new_name": "B", "addr": "beta", "port": "7778"},)"
         R"( {"new_name": "C", "addr": "gamma", "port": 70000}, 5])"},
        {"servers_object", 2, R"({})"},
        {"news", 3,
         R"([{"caption": "Title", "text": "Body", "date": "01.01.2024", "link": "https://example.org/n/1",)"
         R"( "image": "https://example.org/p.png"}, {"caption": 5}])"},
        {"monitoring", 4, R"({"numplayers": 10, "maxplayers": 100})"},
        {"monitoring_partial", 4, R"({"hostname": "x", "numplayers": 1e12})"},
    };
    for (const auto &answer : answers)
        put("fuzz_apianswers", answer.name, QByteArray(1, answer.kind) + answer.body);
}

void settingsSeeds()
{
    put("fuzz_gamesettings", "mixed", "a=1\nb = 2\nc=x\nd=1=2\n\n");
    put("fuzz_gamesettings", "crlf", "FpsLimit=60\r\nWidescreen=1\r\nDrawDistance=4294967295\r\n");
    put("fuzz_gamesettings", "long_line", QByteArray("key=") + QByteArray(100, '7') + "\nshort=5\n");
    put("fuzz_gamesettings", "empty", "");
}

// Signed with the key that fuzz_signatures verifies with.
void signatureSeeds()
{
    const SecretKey key = SecretKey::fromFileText(
        "varo-signing-secret-key 1\nAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n");
    const QByteArray installer = "MZ seed installer";
    const QByteArray list = "[directories]\n\n[entries]\n";
    put("fuzz_signatures", "installer",
        InstallerSignature::make(key, QStringLiteral("2.0"),
                                 QCryptographicHash::hash(installer, QCryptographicHash::Sha256)));
    put("fuzz_signatures", "list", ListSignature::make(key, list, 3));
    put("fuzz_signatures", "list_expires",
        ListSignature::make(key, list, 3, QDateTime::fromSecsSinceEpoch(1800000000, Qt::UTC)));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_corpus <corpus folder>\n");
        return 64;
    }
    corpusRoot = QString::fromLocal8Bit(argv[1]);
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return 1;

    listingSeeds();
    archiveSeeds(scratch.path());
    cipherSeeds(scratch.path());
    answerSeeds();
    settingsSeeds();
    signatureSeeds();
    return failed ? 1 : 0;
}
