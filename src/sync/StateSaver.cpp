#include "sync/StateSaver.h"

#include "files/FileSystem.h"
#include "service/BinaryListFile.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcState, "varo.sync", QtInfoMsg)

constexpr qint64 MinBatchedSaveIntervalMs = 1000;
constexpr qint64 BatchedSaveCostFactor = 20;

} // namespace

void StateSaver::save(FileSystem &state)
{
    if (batched && sinceSave.isValid()
        && sinceSave.elapsed() < qMax<qint64>(MinBatchedSaveIntervalMs, BatchedSaveCostFactor * lastSaveMs)) {
        pending = true;
        return;
    }
    write(state);
}

void StateSaver::beginBatch()
{
    batched = true;
}

void StateSaver::endBatch(FileSystem *state)
{
    batched = false;
    if (pending && state)
        write(*state);
    pending = false;
}

void StateSaver::write(FileSystem &state)
{
    pending = false;
    QElapsedTimer cost;
    cost.start();
    state.normalize();
    QByteArray bytes;
    state.writeListing(bytes, true);
    // The previous state stays in place; it is older, never wrong: what it
    // does not know is hashed again or fetched again by the next pass.
    if (!writeBinaryList(path, bytes))
        qCWarning(lcState).noquote() << "[cache not saved]" << path;
    lastSaveMs = cost.elapsed();
    sinceSave.start();
}
