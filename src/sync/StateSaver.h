#pragma once

#include <QElapsedTimer>
#include <QString>

class FileSystem;

// Writes the remembered state of the game folder (encrypted) to its file
// next to the launcher, at most as often as it is worth it. Outside a
// batch every save is written at once. In a batch (the downloads, the
// folder reservation: a save for every stored file would write the whole
// state once per file, which grows with the square of the folder's size)
// the state is written at most once a second and with no more than a
// twentieth of the time, the last change when the batch ends. A run killed
// in between leaves an older state, never a wrong one: a file it does not
// know is hashed again, a member it remembers with its old sum is fetched
// again.
class StateSaver
{
public:
    explicit StateSaver(const QString &path)
        : path(path)
    {
    }

    void save(FileSystem &state);
    void beginBatch();
    // Ends the batch, writing state if a save was held back.
    void endBatch(FileSystem *state);

private:
    void write(FileSystem &state);

    QString path;
    bool batched = false;
    bool pending = false;
    QElapsedTimer sinceSave;
    qint64 lastSaveMs = 0;
};
