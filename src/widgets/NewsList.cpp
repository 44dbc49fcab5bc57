#include "widgets/NewsList.h"

#include "platform/Platform.h"
#include "widgets/CustomLabel.h"

#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QMutexLocker>
#include <QPixmap>
#include <QTimer>
#include <QWheelEvent>

#include <cstdlib>

namespace {

QString shortened(const QString &value, int limit)
{
    if (value.size() <= limit)
        return value;
    return value.left(limit) + QStringLiteral("...");
}

template<typename Widget>
Widget *place(QWidget *parent, const QRect &geometry, const char *objectName)
{
    auto *widget = new Widget(parent);
    widget->setObjectName(QLatin1String(objectName));
    widget->setGeometry(geometry);
    widget->setMouseTracking(true);
    return widget;
}

CustomLabel *renderText(QLabel *host, double scale, int pointSize, int weight, int flags, const QString &text)
{
    auto *label = new CustomLabel(host, scale);
    label->setMouseTracking(true);
    label->setAutoRender(false);
    label->setFont(QFont(QStringLiteral("Montserrat"), pointSize, weight));
    label->setColor(Qt::white);
    label->setFlags(flags);
    label->setText(text);
    label->render();
    return label;
}

} // namespace

NewsList::NewsList(QWidget *parent)
    : QWidget(parent)
    , openLink(&Platform::openAddress)
{
    setMouseTracking(true);
    if (parent)
        resize(parent->size());
    else
        resize(293, VisibleHeight);

    container = place<QWidget>(this, QRect(0, 0, CardWidth, ContainerMinHeight), "newsContainer");
    track = place<QLabel>(this, QRect(288, 1, 3, VisibleHeight), "scrollTrack");
    track->setStyleSheet(QStringLiteral("background: rgba(0, 0, 0, 75); border-radius: 4px;"));
    handle = place<QLabel>(this, QRect(288, 1, 3, 0), "scrollHandle");
    handle->setStyleSheet(QStringLiteral("background: #eb7d0a; border-radius: 4px;"));
}

NewsList::~NewsList() = default;

unsigned int NewsList::addNews(const QString &caption, const QString &text, const QString &date, const QString &link)
{
    NewsItem entry{shortened(caption, CaptionLimit), shortened(text, TextLimit), date, link};
    QMutexLocker locker(&itemsMutex);
    items.append(entry);
    return unsigned(items.size() - 1);
}

int NewsList::count() const
{
    QMutexLocker locker(&itemsMutex);
    return items.size();
}

NewsList::NewsItem NewsList::item(int idx) const
{
    QMutexLocker locker(&itemsMutex);
    return idx >= 0 && idx < items.size() ? items.at(idx) : NewsItem();
}

void NewsList::setLinkOpener(LinkOpener opener)
{
    openLink = std::move(opener);
}

NewsList::NewsCard NewsList::makeCard(int i, const NewsItem &entry)
{
    NewsCard c;
    c.link = entry.link;

    c.card = place<QWidget>(container, QRect(0, CardPitch * i, CardWidth, CardHeight), "newsCard");
    c.card->show();
    c.card->setCursor(Qt::PointingHandCursor);
    c.card->installEventFilter(this);

    c.slideAnimation = new QPropertyAnimation(c.card, "pos", c.card);
    c.slideAnimation->setDuration(SlideMs);
    c.slideAnimation->setStartValue(QPoint(-SlideDistance, CardPitch * i));
    c.slideAnimation->setEndValue(QPoint(0, CardPitch * i));

    c.content = place<QWidget>(c.card, QRect(0, 0, CardWidth, CardHeight), "newsContent");
    c.content->hide();

    c.background = place<QLabel>(c.content, QRect(0, 0, CardWidth, CardHeight), "background");
    c.background->setStyleSheet(QStringLiteral("background: rgba(234,128,13, 150); border-radius: 4px;"));

    c.captionLabel = place<QLabel>(c.content, QRect(9, 8, 170, 20), "captionLabel");
    c.captionText = renderText(c.captionLabel, 4.0, 38, 81, Qt::AlignLeft | Qt::AlignVCenter, entry.caption);

    c.textLabel = place<QLabel>(c.content, QRect(9, 28, 175, 40), "textLabel");
    c.textText = renderText(c.textLabel, 5.5, 38, 40, Qt::AlignLeft | Qt::TextWordWrap, entry.text);

    c.dateLabel = place<QLabel>(c.content, QRect(0, 68, 50, 15), "dateLabel");
    c.dateLabel->setStyleSheet(QStringLiteral("background: rgba(0, 0, 0, 100);"));
    c.dateText = renderText(c.dateLabel, 6.3, 33, 81, Qt::AlignCenter, entry.date);

    c.pictureLabel = place<QLabel>(c.content, QRect(186, 0, PictureSize, PictureSize), "pictureLabel");
    c.pictureLabel->setStyleSheet(QStringLiteral("border-top-right-radius: 4px; border-bottom-right-radius: 4px;"));

    for (QWidget *w : {static_cast<QWidget *>(c.background), static_cast<QWidget *>(c.captionLabel),
                       static_cast<QWidget *>(c.textLabel), static_cast<QWidget *>(c.dateLabel),
                       static_cast<QWidget *>(c.pictureLabel)})
        w->show();
    return c;
}

void NewsList::build()
{
    QVector<NewsItem> snapshot;
    {
        QMutexLocker locker(&itemsMutex);
        snapshot = items;
    }
    for (int i = cards.size(); i < snapshot.size(); ++i) {
        contentHeightPx += CardPitch;
        cards.append(makeCard(i, snapshot.at(i)));
    }
    // Cards past the 20th would lie below the container's 2000 px and could
    // never be scrolled into view; the container grows to hold them all.
    container->resize(CardWidth, qMax(ContainerMinHeight, CardPitch * cards.size()));

    handleHeightPx = VisibleHeight;
    if (contentHeightPx > 0) {
        const int squared = VisibleHeight * VisibleHeight;
        handleHeightPx = qMin(VisibleHeight, (squared + contentHeightPx - 1) / contentHeightPx);
    }
    handle->setGeometry(handle->x(), handle->y(), handle->width(), handleHeightPx);
}

void NewsList::startReveal()
{
    nextToShow = 0;
    QTimer::singleShot(RevealDelayMs, this, &NewsList::showNewsWidget);
}

void NewsList::showNewsWidget()
{
    if (nextToShow >= cards.size())
        return;
    const NewsCard &c = cards.at(nextToShow);
    c.content->show();
    c.slideAnimation->start();
    QTimer::singleShot(RevealStepMs, this, &NewsList::showNewsWidget);
    ++nextToShow;
}

void NewsList::setNewsImage(uint idx, const QImage &image)
{
    if (idx >= uint(cards.size()) || image.isNull())
        return;
    QLabel *picture = cards.at(int(idx)).pictureLabel;
    picture->setPixmap(
        QPixmap::fromImage(image.scaled(picture->size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
}

void NewsList::wheelEvent(QWheelEvent *event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0) {
        event->ignore(); // horizontal wheels do not scroll the list
        return;
    }
    event->accept();

    int target = container->y() + delta;
    if (target >= 1)
        target = 0;
    else if (target < 0)
        target = contentHeightPx >= VisibleHeight ? qMax(target, VisibleHeight - contentHeightPx) : 0;
    if (target == container->y())
        return;

    if (scrollAnimation) {
        scrollAnimation->stop();
        delete scrollAnimation.data();
    }
    scrollAnimation = new QPropertyAnimation(container, "pos", this);
    scrollAnimation->setDuration(ScrollMs);
    scrollAnimation->setStartValue(container->pos());
    scrollAnimation->setEndValue(QPoint(container->x(), target));
    scrollAnimation->start();

    if (handleHeightPx == VisibleHeight || contentHeightPx == VisibleHeight)
        return;
    // Integer ceiling of |target| / (contentHeight − 390) × room, exact for
    // every whole-pixel position.
    const qint64 room = VisibleHeight - handleHeightPx;
    const qint64 scrollable = contentHeightPx - VisibleHeight;
    const qint64 offset = (qint64(std::abs(target)) * room + scrollable - 1) / scrollable;
    handle->move(handle->x(), int(qMin(offset, room)) + 1);
}

bool NewsList::eventFilter(QObject *object, QEvent *event)
{
    const NewsCard *hit = nullptr;
    for (const NewsCard &c : qAsConst(cards)) {
        if (c.card == object) {
            hit = &c;
            break;
        }
    }
    if (!hit)
        return QWidget::eventFilter(object, event);

    switch (event->type()) {
    case QEvent::MouseButtonRelease:
        // Only a release on the card opens the link; a press dragged off the
        // card and released elsewhere does nothing.
        if (hit->card->rect().contains(static_cast<QMouseEvent *>(event)->pos()) && openLink)
            openLink(hit->link);
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        return true;
    default:
        return QWidget::eventFilter(object, event);
    }
}
