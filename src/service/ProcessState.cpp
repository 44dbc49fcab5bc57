#include "service/ProcessState.h"

namespace ProcessState {

std::atomic<bool> exitRequested(false);

void requestExit()
{
    exitRequested.store(true, std::memory_order_relaxed);
}

bool isExitRequested()
{
    return exitRequested.load(std::memory_order_relaxed);
}

} // namespace ProcessState
