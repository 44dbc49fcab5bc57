#pragma once

#include "files/imgarchive/ArchiveEditor.h"

#include <QMap>
#include <QtGlobal>

#include <memory>
#include <set>
#include <vector>

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

// The runs of all items of a queue. Files and members need nothing once
// their block has started; the items fetched in parts keep blocks going and
// bytes in hand for a while, and the few of them that are open (begun, not
// ended) are listed, so that the queue's bookkeeping per block never walks
// every item.
class ItemRuns final
{
public:
    void reset(size_t count)
    {
        runs.clear();
        runs.resize(count);
        openParts.clear();
    }
    size_t size() const { return runs.size(); }
    ItemRun &operator[](size_t index) { return runs[index]; }
    const ItemRun &operator[](size_t index) const { return runs[index]; }
    std::vector<ItemRun>::iterator begin() { return runs.begin(); }
    std::vector<ItemRun>::iterator end() { return runs.end(); }

    // Part items that have begun and not ended, in queue order.
    const std::set<int> &openPartItems() const { return openParts; }
    void partItemOpened(int index) { openParts.insert(index); }
    void itemEnded(int index)
    {
        runs[size_t(index)].ended = true;
        openParts.erase(index);
    }

private:
    std::vector<ItemRun> runs;
    std::set<int> openParts;
};
