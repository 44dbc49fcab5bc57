#include "widgets/ServerList.h"

#include "widgets/ServerWidget.h"

namespace {

bool isSlotIndex(int i)
{
    return i >= 0 && i < ServerList::SlotCount;
}

} // namespace

ServerList::ServerList(QWidget *host, const QString &settingsPath)
    : QWidget(host)
    , settings(settingsPath)
{
    setMouseTracking(true);
    if (host)
        host->setMouseTracking(true);
    resize(ServerWidget::ColumnPitch + ServerWidget::Width,
           (SlotCount / 2 - 1) * ServerWidget::RowPitch + ServerWidget::Height);

    for (int i = 0; i < SlotCount; ++i) {
        auto *slot = new ServerWidget(i, this);
        slot->show();
        connect(slot, &ServerWidget::clicked, this, [this, i] { selectServer(i); });
        connect(slot, &ServerWidget::updated, this, &ServerList::serverDataUpdated);
        serverSlots.append(slot);
    }
}

ServerWidget *ServerList::slotAt(int i) const
{
    return isSlotIndex(i) ? serverSlots.at(i) : nullptr;
}

void ServerList::addElement(const QString &name, const QString &addr, quint16 port)
{
    for (ServerWidget *slot : qAsConst(serverSlots)) {
        if (!slot->hasQuery()) {
            slot->setData(name, addr, port, slot->slotIndex() == 1);
            return;
        }
    }
}

void ServerList::serverClicked(int id)
{
    selectServer(id);
}

void ServerList::serverDataUpdated()
{
    if (currentIndex == -1)
        autoSelectServer();
}

void ServerList::selectServer(int i)
{
    if (isSlotIndex(currentIndex))
        serverSlots.at(currentIndex)->setSelected(false);
    if (!isSlotIndex(i))
        return;
    serverSlots.at(i)->setSelected(true);
    currentIndex = i;
    settings.setCurrentServer(i);
}

void ServerList::restoreSelection()
{
    const int remembered = settings.currentServer();
    if (isSlotIndex(currentIndex) && currentIndex != remembered)
        serverSlots.at(currentIndex)->setSelected(false);
    if (isSlotIndex(remembered)) {
        serverSlots.at(remembered)->setSelected(true);
        currentIndex = remembered;
    } else {
        currentIndex = -1;
    }
}

void ServerList::autoSelectServer()
{
    int withPlayers = 0;
    ServerWidget *leastPopulated = nullptr;
    for (ServerWidget *slot : qAsConst(serverSlots)) {
        if (!slot->isReady())
            continue;
        // Reports arrive one by one; deciding before every filled slot has
        // reported would choose among three of four busy servers as soon as
        // the third one answered.
        if (!slot->hasReported())
            return;
        if (slot->playerCount() >= 1)
            ++withPlayers;
        // An offline server would otherwise always count as the least
        // populated one.
        const bool online = slot->capacity() >= 1 && slot->playerCount() >= 0;
        if (online && (!leastPopulated || slot->playerCount() < leastPopulated->playerCount()))
            leastPopulated = slot;
    }
    if (withPlayers == 3 && leastPopulated)
        selectServer(leastPopulated->slotIndex());
}

void ServerList::refreshAll()
{
    for (ServerWidget *slot : qAsConst(serverSlots))
        slot->requestRefresh();
}

ServerWidget *ServerList::selectedOrFirst() const
{
    return serverSlots.at(isSlotIndex(currentIndex) ? currentIndex : 0);
}

QString ServerList::selectedHost() const
{
    return selectedOrFirst()->address();
}

quint16 ServerList::selectedPort() const
{
    return selectedOrFirst()->serverPort();
}
