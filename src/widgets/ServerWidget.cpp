#include "widgets/ServerWidget.h"

#include "service/ServerQuery.h"
#include "widgets/PropertyFade.h"

#include <QEvent>
#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QPainterPath>
#include <QPolygon>
#include <QRegion>

namespace {

const QString DotWaiting = QStringLiteral("background: #f8c90c; border-radius: 4px;");
const QString DotOffline = QStringLiteral("background: #EF2626; border-radius: 4px;");
const QString DotOnline = QStringLiteral("background: #26EF5E; border-radius: 4px;");

// Least room between the end of the name and the start of the player count.
constexpr int NameCountGap = 6;

QLabel *makeLabel(QWidget *parent, const char *objectName, const QRect &geometry, int pointSize, int weight)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(objectName));
    label->setGeometry(geometry);
    label->setFont(QFont(QStringLiteral("Montserrat"), pointSize, weight));
    label->hide();
    return label;
}

QWidget *makePlain(QWidget *parent, const char *objectName, const QRect &geometry, const QString &style)
{
    auto *widget = new QWidget(parent);
    widget->setObjectName(QLatin1String(objectName));
    widget->setGeometry(geometry);
    widget->setStyleSheet(style);
    widget->hide();
    return widget;
}

} // namespace

ServerWidget::ServerWidget(int slot, QWidget *parent)
    : QFrame(parent)
    , index(slot)
{
    setGeometry((index % 2) * ColumnPitch, (index / 2) * RowPitch, Width, Height);
    setStyleSheet(QStringLiteral("ServerWidget { background-color: #eb7d0a; border-radius: 4px; }"));
    setMouseTracking(true);

    selectedBar = makePlain(this, "selectedBar", QRect(0, 56, 230, 4),
                            QStringLiteral("background: #f8c90c; border-bottom-left-radius: 4px; "
                                           "border-bottom-right-radius: 4px;"));
    recommendLabel = makeLabel(this, "recommendLabel", QRect(160, 5, 80, 12), 5, 75);
    recommendLabel->setStyleSheet(QStringLiteral("color: #FFFF00;"));
    nameLabel = makeLabel(this, "nameLabel", QRect(20, 13, 130, 17), 11, 75);
    statusLabel = makeLabel(this, "statusLabel", QRect(32, 32, 70, 15), 10, 60);
    statusDot = makePlain(this, "statusDot", QRect(20, 37, 8, 8), DotWaiting);
    countLabel = makeLabel(this, "countLabel", QRect(120, 23, 80, 12), 8, 60);
    countLabel->setAlignment(Qt::AlignCenter);
    pieBg = makePlain(this, "pieBg", QRect(190, 21, 20, 20), QStringLiteral("background: url(:/images/pcount_0.png);"));
    pie = makePlain(this, "pie", QRect(190, 21, 20, 20), QStringLiteral("background: url(:/images/pcount_2.png);"));
    pie->raise();

    opacityEffect = new QGraphicsOpacityEffect(this);
    opacityEffect->setOpacity(RestOpacity);
    setGraphicsEffect(opacityEffect);

    installEventFilter(this);
}

ServerWidget::~ServerWidget()
{
    // The query lives on its own thread; its destructor stops that thread
    // and waits for it, so no report arrives for a deleted slot.
    delete query;
}

void ServerWidget::setData(const QString &serverName, const QString &serverAddr, int serverPort, bool recommended)
{
    name = serverName;
    addr = serverAddr;
    port = serverPort & 0xFFFF;

    recommendLabel->setText(QStringLiteral("РЕКОМЕНДУЕМ!"));
    statusLabel->setText(QStringLiteral("Offline"));
    countLabel->setText(QStringLiteral("-/-"));
    fitName();

    recommendLabel->setVisible(recommended);
    nameLabel->show();
    statusLabel->show();
    statusDot->show();
    countLabel->show();
    pieBg->show();

    if (underMouse())
        fade(ActiveOpacity);
    setCursor(Qt::PointingHandCursor);

    delete query;
    query = new ServerQuery(addr, port, index);
    connect(query, &ServerQuery::infoUpdated, this, &ServerWidget::infoUpdated);
    // The query lives on its own thread: a refresh request is queued there,
    // so the blocking request never runs on the GUI thread.
    connect(this, &ServerWidget::sigRefresh, query, &ServerQuery::refresh, Qt::QueuedConnection);

    ready = true;
    repaintWhole();
}

void ServerWidget::setReady()
{
    ready = true;
}

void ServerWidget::requestRefresh()
{
    emit sigRefresh();
}

void ServerWidget::infoUpdated(int playersNow, int totalNow)
{
    players = playersNow;
    total = totalNow;
    reported = true;
    if (total < 1) {
        countLabel->setText(QStringLiteral("-/-"));
        statusLabel->setText(QStringLiteral("Offline"));
        statusDot->setStyleSheet(DotOffline);
        setPie(0.0);
    } else {
        countLabel->setText(QStringLiteral("%1/%2").arg(players).arg(total));
        statusLabel->setText(QStringLiteral("Online"));
        statusDot->setStyleSheet(DotOnline);
        setPie(double(players) / double(total));
    }
    fitName();
    repaintWhole();
    emit updated();
}

void ServerWidget::fitName()
{
    // The name's box reaches under the centred player count; a name that
    // would run into the count ends in an ellipsis before it instead.
    const QFontMetrics countMetrics(countLabel->font());
    const int countLeft = countLabel->x()
        + (countLabel->width() - countMetrics.horizontalAdvance(countLabel->text())) / 2;
    const int room = qMin(nameLabel->width(), countLeft - NameCountGap - nameLabel->x());
    const QString shown = QFontMetrics(nameLabel->font()).elidedText(name, Qt::ElideRight, qMax(0, room));
    nameLabel->setText(shown);
    nameLabel->setToolTip(shown == name ? QString() : name);
}

void ServerWidget::repaintWhole()
{
    // When several parts change at once, Qt repaints what lies beneath only
    // under those parts, but the opacity effect draws the whole rectangle
    // around them: at half opacity the slot would be laid over its own old
    // image there, leaving darker patches. One update of the whole slot
    // makes both the same rectangle.
    update();
}

void ServerWidget::setPie(double f)
{
    if (!(f >= 0.01)) {
        pie->hide();
        return;
    }
    // More players than places fills the pie once, not more.
    const double fraction = qMin(f, 1.0);
    QPainterPath path(QPointF(10, 10));
    path.arcTo(QRectF(-1, -1, 21, 21), 90.0, -360.0 * fraction);
    path.closeSubpath();
    pie->setMask(QRegion(path.toFillPolygon().toPolygon()));
    pie->show();
}

void ServerWidget::fade(double target)
{
    if (!opacityEffect)
        return;
    PropertyFade::restart(fadeAnim, opacityEffect, "opacity", target, this);
}

void ServerWidget::setSelected(bool on)
{
    selected = on;
    if (on) {
        selectedBar->show();
        fade(ActiveOpacity);
    } else {
        selectedBar->hide();
        if (!hovered)
            fade(RestOpacity);
    }
    repaintWhole();
}

bool ServerWidget::eventFilter(QObject *obj, QEvent *event)
{
    if (obj != this)
        return QFrame::eventFilter(obj, event);

    if (opacityEffect && ready) {
        switch (event->type()) {
        case QEvent::Enter:
            if (query)
                fade(ActiveOpacity);
            hovered = true;
            return true;
        case QEvent::Leave:
            if (!selected)
                fade(RestOpacity);
            hovered = false;
            return true;
        case QEvent::MouseButtonRelease:
            if (query) {
                // A press that is dragged off the slot and released elsewhere
                // is no click on it.
                if (rect().contains(static_cast<QMouseEvent *>(event)->pos()))
                    emit clicked();
                return true;
            }
            return QFrame::eventFilter(obj, event);
        default:
            break;
        }
    }
    if ((event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) && query)
        return true;
    return QFrame::eventFilter(obj, event);
}
