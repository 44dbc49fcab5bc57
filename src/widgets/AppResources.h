#pragma once

#include <QStringList>

// The fonts and images compiled into the launcher (":/fonts/", ":/images/").
namespace AppResources {

// Registers the compiled-in resources with the resource system. Safe to call
// any number of times; every window and the start-up call it first.
void ensureLoaded();

// The font files registered at start, in registration order. The first six
// belong to families that are not shipped with the sources; a file that is
// absent is skipped.
QStringList fontFiles();

// Registers every font of fontFiles() that loads with the application's font
// database, in order, and returns how many did.
int registerFonts();

} // namespace AppResources
