#pragma once

#include "service/NewsSink.h"

#include <QImage>
#include <QMutex>
#include <QPointer>
#include <QPropertyAnimation>
#include <QString>
#include <QVector>
#include <QWidget>

#include <functional>

class CustomLabel;
class QLabel;

// The news panel: a vertical stack of cards (title, short text, date badge,
// picture on the right) that slide in one after another, scroll with the
// mouse wheel behind a thin indicator, and open their link when clicked.
// Every child has a fixed geometry; there is no layout and no scroll bar.
//
// The load worker appends items through addNews on its own thread before it
// emits newsListLoaded; the GUI thread builds the cards only after that
// signal has arrived. The item texts are guarded by a mutex all the same, so
// a late addNews can never race a build.
class NewsList final : public QWidget, public NewsSink
{
    Q_OBJECT

public:
    struct NewsItem
    {
        QString caption;
        QString text;
        QString date;
        QString link;
    };

    using LinkOpener = std::function<void(const QString &link)>;

    static constexpr int VisibleHeight = 390;
    static constexpr int CardWidth = 276;
    static constexpr int CardHeight = 90;
    static constexpr int CardPitch = 100;
    static constexpr int ContainerMinHeight = 2000;
    static constexpr int CaptionLimit = 30;
    static constexpr int TextLimit = 160;
    static constexpr int PictureSize = 90;
    static constexpr int RevealDelayMs = 200;
    static constexpr int RevealStepMs = 150;
    static constexpr int SlideMs = 300;
    static constexpr int SlideDistance = 321;
    static constexpr int ScrollMs = 100;

    explicit NewsList(QWidget *parent = nullptr);
    ~NewsList() override;

    // Any thread. Shortens the caption to 30 and the text to 160 characters
    // (UTF-16 code units) plus "..." when they are longer, appends the item
    // and returns its index.
    unsigned int addNews(const QString &caption, const QString &text, const QString &date,
                         const QString &link) override;

    // Creates the cards of the items added since the last build and sizes
    // the scroll indicator. The card container grows beyond its 2000 px when
    // more than 20 items need room, so every card can be scrolled to.
    void build();
    // Reveals the built cards: the first after 200 ms, each further one
    // 150 ms after the one before.
    void startReveal();
    // Shows the picture of item idx scaled to exactly 90 × 90 (aspect ratio
    // not kept); ignored for an index without a built card or a null image.
    void setNewsImage(uint idx, const QImage &image);

    // Where clicked links go; by default the system's "open" action.
    void setLinkOpener(LinkOpener opener);

    int count() const;
    NewsItem item(int idx) const;
    int contentHeight() const { return contentHeightPx; }
    int handleHeight() const { return handleHeightPx; }

    bool eventFilter(QObject *object, QEvent *event) override;

public slots:
    void showNewsWidget();

protected:
    void wheelEvent(QWheelEvent *event) override;

private:
    struct NewsCard
    {
        QString link;
        QWidget *card = nullptr;
        QWidget *content = nullptr;
        QLabel *background = nullptr;
        QLabel *captionLabel = nullptr;
        QLabel *textLabel = nullptr;
        QLabel *dateLabel = nullptr;
        QLabel *pictureLabel = nullptr;
        CustomLabel *captionText = nullptr;
        CustomLabel *textText = nullptr;
        CustomLabel *dateText = nullptr;
        QPropertyAnimation *slideAnimation = nullptr;
    };

    NewsCard makeCard(int i, const NewsItem &entry);

    mutable QMutex itemsMutex;
    QVector<NewsItem> items; // guarded by itemsMutex
    QVector<NewsCard> cards;
    QWidget *container;
    QPointer<QPropertyAnimation> scrollAnimation;
    QLabel *handle;
    QLabel *track;
    int contentHeightPx = 0;
    int nextToShow = 0;
    int handleHeightPx = 0;
    LinkOpener openLink;
};
