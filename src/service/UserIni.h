#pragma once

#include <QString>

// The launcher's own settings file, "user.ini" next to the launcher: the
// remembered server choice and the hand-set switch that turns the game-file
// check off. The file is opened, used and closed within each call.
class UserIni
{
public:
    explicit UserIni(const QString &path)
        : path(path)
    {
    }

    // Group "SERVERS", key "Current": index of the chosen server slot, -1
    // for none (also when the file is missing or unreadable).
    int currentServer() const;
    void setCurrentServer(int index) const;

    // Group "SERVERS", key "NoSync": 0 unless set by hand.
    int noSync() const;

private:
    int readInt(const char *key, int fallback) const;

    QString path;
};
