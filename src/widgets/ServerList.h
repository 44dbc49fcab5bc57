#pragma once

#include "service/UserIni.h"

#include <QString>
#include <QVector>
#include <QWidget>

class ServerWidget;

// The server panel: a fixed grid of six ServerWidget slots (two columns,
// three rows), filled in the order in which servers are reported. The
// player's choice is remembered in user.ini ("SERVERS/Current") and restored
// at the next start; while nothing is chosen, the list picks the least
// populated server by itself once exactly three servers report players.
class ServerList final : public QWidget
{
    Q_OBJECT

public:
    static constexpr int SlotCount = 6;

    // Creates the six empty slots inside host; the choice is remembered in
    // the settings file at settingsPath (user.ini).
    ServerList(QWidget *host, const QString &settingsPath);

    // Selects slot i (deselecting the previous one) and remembers it in
    // user.ini. An index outside the six slots only deselects.
    void selectServer(int i);
    // Applies the choice remembered in user.ini: any index of the six slots,
    // whether or not it holds a server; anything else selects nothing.
    void restoreSelection();
    // Once every filled slot has reported: when exactly three of them report
    // at least one player, selects the least populated server among those
    // that report themselves online (an empty online server counts as the
    // least populated).
    void autoSelectServer();
    // Asks every slot's monitoring query to ask again now; a slot whose
    // query is under way, or refreshed less than 5 s ago, lets it pass.
    void refreshAll();

    // Address and port of the selected slot, of slot 0 when none is.
    QString selectedHost() const;
    quint16 selectedPort() const;

    // Index of the selected slot, -1 for none.
    int current() const { return currentIndex; }
    ServerWidget *slotAt(int i) const;

public slots:
    // Puts a server into the first slot without a query; a seventh and
    // later server is ignored.
    void addElement(const QString &name, const QString &addr, quint16 port);
    void serverClicked(int id);
    void serverDataUpdated();

private:
    ServerWidget *selectedOrFirst() const;

    UserIni settings;
    QVector<ServerWidget *> serverSlots;
    int currentIndex = -1;
};
