#pragma once

class AppPaths;
class GameSettings;
class QWidget;

// What the launcher's dialogs need of the window they open over: a widget
// to be the parent, the dimming overlay, and for the settings dialog the
// game settings, the state of the synchronisation, the launcher's files and
// a way to synchronise again after a repair.
class DialogHost
{
public:
    // The widget the dialogs are children of; it outlives none of them.
    virtual QWidget *dialogParent() = 0;
    // Shows the overlay while at least one dialog is open; every on is
    // matched by an off.
    virtual void setOverlay(bool on) = 0;

    virtual GameSettings &settings() = 0;
    virtual const AppPaths &paths() const = 0;
    // The last synchronisation ended with the game ready / ended at all.
    virtual bool isGameReady() const = 0;
    virtual bool hasSyncEnded() const = 0;
    // Starts a synchronisation of the whole game folder anew.
    virtual void synchroniseAgain() = 0;

protected:
    ~DialogHost() = default;
};
