#pragma once

#include <QString>

#include <atomic>

// Values shared by the whole process across threads.
namespace ProcessState {

// Set (never cleared) when the launcher is closing: when the player exits,
// when the game has been started and when the main window is destroyed.
// Every worker polls it between steps and stops.
extern std::atomic<bool> exitRequested;

// Sets exitRequested.
void requestExit();

// True once exitRequested is set.
bool isExitRequested();

} // namespace ProcessState
