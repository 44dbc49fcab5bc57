#pragma once

// The launcher's own settings file, "user.ini" next to the launcher: the
// remembered server choice and the hand-set switch that turns the game-file
// check off. The file is opened, used and closed within each call.
namespace UserIni {

// Group "SERVERS", key "Current": index of the chosen server slot, -1 for
// none (also when the file is missing or unreadable).
int currentServer();
void setCurrentServer(int index);

// Group "SERVERS", key "NoSync": 0 unless set by hand.
int noSync();

} // namespace UserIni
