#pragma once

#include "files/imgarchive/ArchiveEditor.h"

#include <QMap>
#include <QtGlobal>

#include <memory>

// What the download queue knows of one item while it runs.
struct ItemRun
{
    bool begun = false;
    bool ended = false;
    quint32 nextPiece = 0;
    quint32 storedPieces = 0; // members stored, or parts joined in order
    qint64 joinedBytes = 0;   // of the assembled file
    // Parts received ahead of their turn: part -> its unpacked length.
    QMap<quint32, qint64> arrived;
    QMap<quint32, qint64> arrivedWireBytes;
    quint64 doneBase = 0;
    quint64 wholeBytes = 0; // received bytes of an archive fetched whole
    // The archive members are written into (entry downloads only).
    std::unique_ptr<ImgArchive::ArchiveEditor> editor;

    // Writes the archive's directory and lets it go.
    void closeArchive()
    {
        if (editor) {
            editor->close();
            editor.reset();
        }
    }
};
