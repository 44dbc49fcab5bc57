// img-convert ARCHIVE: rewrites one IMG archive (VER2 or V2SH) in place as a
// compact V2SH archive with the launcher's own archive editor, exactly as the
// synchronisation's conversion stage does. bench/run builds it against the
// project's libraries and times it against cp of the same file.
//
// Exit status: 0 converted, 1 the editor refused or failed, 64 bad arguments.

#include "files/imgarchive/ArchiveEditor.h"

#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2 || argv[1][0] == '\0') {
        std::fputs("usage: img-convert ARCHIVE\n", stderr);
        return 64;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    if (!ImgArchive::ArchiveEditor::convertToV2StaticHeader(path)) {
        std::fprintf(stderr, "img-convert: cannot convert %s\n", argv[1]);
        return 1;
    }
    return 0;
}
