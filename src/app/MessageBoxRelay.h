#pragma once

#include <QString>

// Shows the launcher's system message boxes (Platform::systemMessageBox) as
// owner-less boxes with one OK button on the GUI thread.
namespace MessageBoxRelay {

// Routes Platform::systemMessageBox here for the rest of the process (until
// uninstall). Call on the GUI thread, after the application object exists.
void install();
void uninstall();

// Shows the box and returns when it has been closed. From the GUI thread the
// box is shown directly; from another thread it is shown on the GUI thread
// while the caller waits, unless the launcher is closing: a caller that
// waits when the exit is requested returns at once, so that the window's
// teardown, which waits for the workers, can never wait for a box that is
// no longer shown.
void show(const QString &caption, const QString &text);

} // namespace MessageBoxRelay
