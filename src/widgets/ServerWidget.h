#pragma once

#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QPointer>
#include <QPropertyAnimation>
#include <QString>

class QLabel;
class ServerQuery;

// One of the six server slots of the server list: the server's name (cut
// with an ellipsis where it would reach the player count), its online state
// with a coloured dot, the player count as text and as a pie, and for the
// second slot the "recommended" badge. A slot is empty (contents hidden, half
// opacity, clicks ignored) until setData gives it a server and starts that
// server's monitoring query; hovering raises it to full opacity, a click
// emits clicked(). The slot is its own event filter.
class ServerWidget final : public QFrame
{
    Q_OBJECT

public:
    // Places itself in its parent at the grid position of the slot index.
    ServerWidget(int index, QWidget *parent);
    ~ServerWidget() override;

    // Fills the slot and starts its monitoring query (replacing an earlier
    // one). Only the low 16 bits of port are kept.
    void setData(const QString &name, const QString &addr, int port, bool recommended);
    void setSelected(bool on);
    // Animates the slot's opacity from its current value to target.
    void fade(double target);
    // Emits sigRefresh().
    void requestRefresh();

    bool eventFilter(QObject *obj, QEvent *event) override;

    int slotIndex() const { return index; }
    bool isReady() const { return ready; }
    bool hasQuery() const { return query != nullptr; }
    bool isSelected() const { return selected; }
    QString serverName() const { return name; }
    QString address() const { return addr; }
    quint16 serverPort() const { return quint16(port); }
    // The last reported counts; -1 until the first report.
    int playerCount() const { return players; }
    int capacity() const { return total; }
    bool hasReported() const { return reported; }

    static constexpr double RestOpacity = 0.5;
    static constexpr double ActiveOpacity = 1.0;
    static constexpr int Width = 230;
    static constexpr int Height = 60;
    static constexpr int ColumnPitch = 240;
    static constexpr int RowPitch = 70;

signals:
    void clicked();
    void sigRefresh();
    void updated();

public slots:
    void infoUpdated(int players, int total);
    void setReady();

private:
    // Shows the filled part of the pie for fraction f of the capacity.
    void setPie(double f);
    // Shows the name, cut with an ellipsis where it would reach the count.
    void fitName();
    // Schedules a repaint of the whole slot after its parts changed.
    void repaintWhole();

    QWidget *selectedBar;
    QString name;
    QString addr;
    int port = 0;
    int index;
    bool ready = false;
    int players = -1;
    int total = -1;
    bool reported = false;
    QLabel *recommendLabel;
    QLabel *nameLabel;
    QLabel *statusLabel;
    QLabel *countLabel;
    QWidget *statusDot;
    QWidget *pie;
    QWidget *pieBg;
    QPointer<QPropertyAnimation> fadeAnim;
    QPointer<QGraphicsOpacityEffect> opacityEffect;
    ServerQuery *query = nullptr;
    bool selected = false;
    bool hovered = false;
};
