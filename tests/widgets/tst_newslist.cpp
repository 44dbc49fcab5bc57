#include "widgets/NewsList.h"

#include "support/LabelPixmap.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QThread>
#include <QWheelEvent>
#include <QtTest>

namespace {

// Records when and in which order watched widgets are shown.
struct ShowClock : QObject
{
    QElapsedTimer clock;
    QList<QObject *> order;
    QList<qint64> times;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::ShowToParent) {
            order.append(watched);
            times.append(clock.elapsed());
        }
        return false;
    }
};

struct Fixture
{
    QWidget host;
    NewsList *news;
    QStringList opened;

    explicit Fixture(int items = 0)
    {
        host.resize(293, 390);
        news = new NewsList(&host);
        news->setLinkOpener([this](const QString &link) { opened.append(link); });
        for (int i = 0; i < items; ++i)
            news->addNews(QStringLiteral("Caption %1").arg(i), QStringLiteral("Text %1").arg(i),
                          QStringLiteral("0%1.01").arg(i % 10), QStringLiteral("https://news.test/%1").arg(i));
    }

    QWidget *container() const { return news->findChild<QWidget *>(QStringLiteral("newsContainer")); }
    QWidget *handle() const { return news->findChild<QWidget *>(QStringLiteral("scrollHandle")); }
    QList<QWidget *> cards() const
    {
        return container()->findChildren<QWidget *>(QStringLiteral("newsCard"), Qt::FindDirectChildrenOnly);
    }
    QWidget *content(int i) const { return cards().at(i)->findChild<QWidget *>(QStringLiteral("newsContent")); }
    QLabel *picture(int i) const { return cards().at(i)->findChild<QLabel *>(QStringLiteral("pictureLabel")); }

    bool wheel(int delta, Qt::Orientation orientation = Qt::Vertical)
    {
        const QPoint angle = orientation == Qt::Vertical ? QPoint(0, delta) : QPoint(delta, 0);
        QWheelEvent event(QPointF(100, 100), QPointF(100, 100), QPoint(), angle, Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(news, &event);
        return event.isAccepted();
    }
};

} // namespace

class TestNewsList : public QObject
{
    Q_OBJECT

private slots:
    void shortensLongTexts_data();
    void shortensLongTexts();
    void addNewsFromAnotherThread();
    void buildPlacesCardsAndSizesHandle_data();
    void buildPlacesCardsAndSizesHandle();
    void wheelScrollsWithinContent_data();
    void wheelScrollsWithinContent();
    void horizontalWheelIsLeftAlone();
    void everyCardCanBeScrolledTo();
    void pictureIsScaledToTheLabel();
    void clickOpensLinkOnlyOnTheCard();
    void revealsCardsInOrder();
};

void TestNewsList::shortensLongTexts_data()
{
    QTest::addColumn<int>("captionLength");
    QTest::addColumn<int>("textLength");
    QTest::addColumn<bool>("captionCut");
    QTest::addColumn<bool>("textCut");

    QTest::newRow("at the limits") << 30 << 160 << false << false;
    QTest::newRow("one past") << 31 << 161 << true << true;
    QTest::newRow("empty") << 0 << 0 << false << false;
    QTest::newRow("long") << 200 << 1000 << true << true;
}

void TestNewsList::shortensLongTexts()
{
    QFETCH(int, captionLength);
    QFETCH(int, textLength);
    QFETCH(bool, captionCut);
    QFETCH(bool, textCut);

    QString caption;
    for (int i = 0; i < captionLength; ++i)
        caption += QChar(u'А' + i % 32); // Cyrillic, as the news are
    QString text;
    for (int i = 0; i < textLength; ++i)
        text += QChar(u'a' + i % 26);

    NewsList news;
    QCOMPARE(news.addNews(caption, text, QStringLiteral("30.12"), QStringLiteral("l")), 0u);
    const NewsList::NewsItem item = news.item(0);
    QCOMPARE(item.caption, captionCut ? caption.left(30) + QStringLiteral("...") : caption);
    QCOMPARE(item.text, textCut ? text.left(160) + QStringLiteral("...") : text);
    QCOMPARE(item.date, QStringLiteral("30.12"));
    QCOMPARE(item.link, QStringLiteral("l"));
}

void TestNewsList::addNewsFromAnotherThread()
{
    NewsList news;
    QList<unsigned int> indexes;
    QThread *worker = QThread::create([&] {
        for (int i = 0; i < 50; ++i)
            indexes.append(news.addNews(QString::number(i), QString(), QString(), QString()));
    });
    worker->start();
    QVERIFY(worker->wait(10000));
    delete worker;
    QCOMPARE(news.count(), 50);
    for (int i = 0; i < 50; ++i) {
        QCOMPARE(indexes.at(i), unsigned(i));
        QCOMPARE(news.item(i).caption, QString::number(i));
    }
    QCOMPARE(news.item(50).caption, QString());
}

void TestNewsList::buildPlacesCardsAndSizesHandle_data()
{
    QTest::addColumn<int>("items");
    QTest::addColumn<int>("handleHeight");
    QTest::newRow("none") << 0 << 390;
    QTest::newRow("three") << 3 << 390;
    QTest::newRow("just filling the view") << 4 << 381; // ceil(152100 / 400)
    QTest::newRow("five") << 5 << 305;
    QTest::newRow("twenty") << 20 << 77;
}

void TestNewsList::buildPlacesCardsAndSizesHandle()
{
    QFETCH(int, items);
    QFETCH(int, handleHeight);
    Fixture f(items);
    f.news->build();
    QCOMPARE(f.news->contentHeight(), 100 * items);
    QCOMPARE(f.news->handleHeight(), handleHeight);
    QCOMPARE(f.handle()->geometry(), QRect(288, 1, 3, handleHeight));

    const QList<QWidget *> cards = f.cards();
    QCOMPARE(cards.size(), items);
    for (int i = 0; i < items; ++i) {
        QCOMPARE(cards.at(i)->geometry(), QRect(0, 100 * i, 276, 90));
        QVERIFY(f.content(i)->isHidden());
        QCOMPARE(cards.at(i)->cursor().shape(), Qt::PointingHandCursor);
    }

    // A second build adds nothing for items it has already built.
    f.news->build();
    QCOMPARE(f.cards().size(), items);
    QCOMPARE(f.news->contentHeight(), 100 * items);
}

void TestNewsList::wheelScrollsWithinContent_data()
{
    QTest::addColumn<int>("items");
    QTest::addColumn<QList<int>>("deltas");
    QTest::addColumn<int>("containerY");
    QTest::addColumn<int>("handleY");

    QTest::newRow("five, one notch down") << 5 << QList<int>{-120} << -110 << 86;
    QTest::newRow("five, down and up") << 5 << QList<int>{-120, 120} << 0 << 1;
    QTest::newRow("five, notch up at the top") << 5 << QList<int>{120} << 0 << 1;
    QTest::newRow("three never scroll") << 3 << QList<int>{-120, -240} << 0 << 1;
    // Ten items: handle ceil(152100 / 1000) = 153 px, room 237 px.
    QTest::newRow("ten, part way") << 10 << QList<int>{-120} << -120 << 48;       // ceil(120 / 610 × 237) + 1
    QTest::newRow("ten, small steps") << 10 << QList<int>{-15, -15} << -30 << 13; // ceil(30 / 610 × 237) + 1
    QTest::newRow("ten, to the end") << 10 << QList<int>{-360, -360} << -610 << 238;
}

void TestNewsList::wheelScrollsWithinContent()
{
    QFETCH(int, items);
    QFETCH(QList<int>, deltas);
    QFETCH(int, containerY);
    QFETCH(int, handleY);

    Fixture f(items);
    f.news->build();
    const int handleHeight = f.handle()->height();
    for (int delta : qAsConst(deltas)) {
        QVERIFY(f.wheel(delta));
        QTest::qWait(150); // the 100 ms scroll animation
    }
    QCOMPARE(f.container()->y(), containerY);
    QCOMPARE(f.container()->x(), 0);
    QCOMPARE(f.handle()->y(), handleY);
    QCOMPARE(f.handle()->height(), handleHeight);
}

void TestNewsList::horizontalWheelIsLeftAlone()
{
    Fixture f(5);
    f.news->build();
    QVERIFY(!f.wheel(-120, Qt::Horizontal));
    QTest::qWait(150);
    QCOMPARE(f.container()->y(), 0);
}

void TestNewsList::everyCardCanBeScrolledTo()
{
    Fixture f(25);
    f.news->build();
    QCOMPARE(f.cards().size(), 25);
    QVERIFY(f.container()->height() >= 2500);
    for (int i = 0; i < 6; ++i) {
        f.wheel(-480);
        QTest::qWait(120);
    }
    QTRY_COMPARE(f.container()->y(), 390 - 2500);
    // The last card lies inside the container and ends at the view's bottom.
    QWidget *last = f.cards().last();
    QVERIFY(f.container()->rect().contains(last->geometry()));
    QCOMPARE(f.container()->y() + last->geometry().bottom() + 1 + 10, 390);
    QCOMPARE(f.handle()->y() + f.handle()->height(), 391);
}

void TestNewsList::pictureIsScaledToTheLabel()
{
    Fixture f(2);
    f.news->build();
    QImage wide(300, 120, QImage::Format_RGB32);
    wide.fill(Qt::green);
    f.news->setNewsImage(1, wide);
    const QPixmap shown = shownPixmap(f.picture(1));
    QVERIFY(!shown.isNull());
    QCOMPARE(shown.size(), QSize(90, 90));
    QCOMPARE(shown.toImage().pixelColor(45, 45), QColor(Qt::green));
    QVERIFY(shownPixmap(f.picture(0)).isNull());

    // Indexes without a card (and empty pictures) are ignored.
    f.news->setNewsImage(2, wide);
    f.news->setNewsImage(uint(-1), wide);
    f.news->setNewsImage(0, QImage());
    QVERIFY(shownPixmap(f.picture(0)).isNull());
}

void TestNewsList::clickOpensLinkOnlyOnTheCard()
{
    Fixture f(3);
    f.news->build();
    QWidget *card = f.cards().at(1);

    QTest::mouseClick(card, Qt::LeftButton, {}, QPoint(100, 40));
    QCOMPARE(f.opened, QStringList{QStringLiteral("https://news.test/1")});

    // Pressed on the card, released below it: nothing opens.
    QTest::mousePress(card, Qt::LeftButton, {}, QPoint(100, 40));
    QTest::mouseRelease(card, Qt::LeftButton, {}, QPoint(100, 95));
    QTest::mousePress(card, Qt::LeftButton, {}, QPoint(100, 40));
    QTest::mouseRelease(card, Qt::LeftButton, {}, QPoint(-5, 40));
    QCOMPARE(f.opened.size(), 1);

    // Presses and double-clicks are consumed without opening anything.
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QVERIFY(QApplication::sendEvent(card, &press));
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(10, 10), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QVERIFY(QApplication::sendEvent(card, &dbl));
    QCOMPARE(f.opened.size(), 1);

    // A release on a child of the card reaches the card and opens its link.
    QTest::mouseClick(f.picture(2), Qt::LeftButton, {}, QPoint(45, 45));
    QCOMPARE(f.opened.last(), QStringLiteral("https://news.test/2"));
}

void TestNewsList::revealsCardsInOrder()
{
    Fixture f(3);
    f.news->build();
    ShowClock shows;
    for (int i = 0; i < 3; ++i)
        f.content(i)->installEventFilter(&shows);
    shows.clock.start();
    f.news->startReveal();

    QTRY_COMPARE(shows.order.size(), 3);
    QCOMPARE(shows.order, (QList<QObject *>{f.content(0), f.content(1), f.content(2)}));
    const QList<qint64> &at = shows.times;
    QVERIFY2(at.at(0) >= 200, qPrintable(QString::number(at.at(0))));
    QVERIFY2(at.at(1) - at.at(0) >= 150, qPrintable(QString::number(at.at(1) - at.at(0))));
    QVERIFY2(at.at(2) - at.at(1) >= 150, qPrintable(QString::number(at.at(2) - at.at(1))));
    QVERIFY(at.at(2) - at.at(0) < 2000);

    // Each card slides in from the left to its place; nothing more follows.
    QTRY_COMPARE(f.cards().at(2)->pos(), QPoint(0, 200));
    QCOMPARE(f.cards().at(0)->pos(), QPoint(0, 0));
    QTest::qWait(200);
    QCOMPARE(shows.order.size(), 3);
}

QTEST_MAIN(TestNewsList)
#include "tst_newslist.moc"
