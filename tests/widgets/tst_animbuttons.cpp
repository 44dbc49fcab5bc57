#include "widgets/AnimBgButton.h"
#include "widgets/AnimButton.h"
#include "widgets/HeaderButton.h"

#include <QApplication>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsOpacityEffect>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace {

bool hover(QWidget *widget, bool enter)
{
    QEvent event(enter ? QEvent::Enter : QEvent::Leave);
    return QApplication::sendEvent(widget, &event);
}

// The opacity that the companion of the given kind animates.
double opacityOf(QWidget *watched)
{
    auto *effect = qobject_cast<QGraphicsOpacityEffect *>(watched->graphicsEffect());
    return effect ? effect->opacity() : -1.0;
}

// One fading companion on a button inside a parent, with the widget whose
// effect it animates.
struct FadeFixture
{
    QWidget parent;
    QPushButton *button = new QPushButton(&parent);
    QWidget *faded = nullptr;

    explicit FadeFixture(const QString &kind)
    {
        button->setGeometry(20, 10, 90, 50);
        if (kind == QLatin1String("AnimButton")) {
            new AnimButton(button);
            faded = button;
        } else {
            faded = new HeaderButton(button);
        }
    }
};

} // namespace

class TestAnimButtons : public QObject
{
    Q_OBJECT

private slots:
    void hoverFades_data();
    void hoverFades();
    void reversesFromCurrentValue_data();
    void reversesFromCurrentValue();
    void headerFrameSitsBeneathButton();
    void restyle_data();
    void restyle();
    void colourHoverReversesFromCurrentValue();
    void inactiveButtonIgnoresHover();
    void glowReplacesOpacityUntilSetActive();
};

void TestAnimButtons::hoverFades_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<double>("rest");
    QTest::newRow("icon button") << QStringLiteral("AnimButton") << 0.5;
    QTest::newRow("header highlight") << QStringLiteral("HeaderButton") << 0.0;
}

void TestAnimButtons::hoverFades()
{
    QFETCH(QString, kind);
    QFETCH(double, rest);
    FadeFixture f(kind);
    QCOMPARE(opacityOf(f.faded), rest);
    QVERIFY(f.button->hasMouseTracking());

    QVERIFY(hover(f.button, true)); // consumed
    QTRY_COMPARE(opacityOf(f.faded), 1.0);
    QVERIFY(hover(f.button, false));
    QTRY_COMPARE(opacityOf(f.faded), rest);

    // Other events still reach the button.
    QSignalSpy clicks(f.button, &QPushButton::clicked);
    QTest::mouseClick(f.button, Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
}

void TestAnimButtons::reversesFromCurrentValue_data()
{
    hoverFades_data();
}

void TestAnimButtons::reversesFromCurrentValue()
{
    QFETCH(QString, kind);
    QFETCH(double, rest);
    FadeFixture f(kind);

    hover(f.button, true);
    QTest::qWait(100);
    const double midway = opacityOf(f.faded);
    QVERIFY2(midway > rest && midway < 1.0, qPrintable(QString::number(midway)));

    hover(f.button, false);
    // The way back starts where the way in stopped: no jump to either end.
    QVERIFY(qAbs(opacityOf(f.faded) - midway) < 0.02);
    QTest::qWait(60);
    const double later = opacityOf(f.faded);
    QVERIFY2(later <= midway && later >= rest, qPrintable(QString::number(later)));
    QTRY_COMPARE(opacityOf(f.faded), rest);
}

void TestAnimButtons::headerFrameSitsBeneathButton()
{
    QWidget parent;
    auto *before = new QPushButton(&parent);
    auto *button = new QPushButton(&parent);
    button->setGeometry(200, 0, 130, 50);
    auto *frame = new HeaderButton(button);
    QCOMPARE(frame->parentWidget(), &parent);
    QCOMPARE(frame->geometry(), button->geometry());
    const QObjectList order = parent.children();
    QCOMPARE(order.indexOf(frame) + 1, order.indexOf(button));
    QVERIFY(order.indexOf(before) < order.indexOf(frame));
}

void TestAnimButtons::restyle_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<bool>("background");
    QTest::addColumn<bool>("border");
    QTest::addColumn<QString>("expected");

    const QString join = QStringLiteral("border-radius: 4px;\npadding: 0;\ncolor: #ffffff;");
    QTest::newRow("background and border")
        << join << true << true
        << join + QStringLiteral("background-color: rgba(248, 201, 12, 0);border: 1px solid rgba(255, 255, 255, 255);");
    QTest::newRow("background only") << join << true << false
                                     << join + QStringLiteral("background-color: rgba(248, 201, 12, 0);");
    QTest::newRow("border only") << QString() << false << true
                                 << QStringLiteral("border: 1px solid rgba(255, 255, 255, 255);");
    QTest::newRow("unterminated base gets its semicolon")
        << QStringLiteral("color: red") << true << false
        << QStringLiteral("color: red;background-color: rgba(248, 201, 12, 0);");
}

void TestAnimButtons::restyle()
{
    QFETCH(QString, base);
    QFETCH(bool, background);
    QFETCH(bool, border);
    QFETCH(QString, expected);

    QPushButton button;
    button.setStyleSheet(base);
    auto *anim = new AnimBgButton(&button);
    QCOMPARE(anim->parent(), &button);
    if (background)
        anim->setBackgroundColors(QColor(248, 201, 12, 0), QColor(248, 201, 12, 255));
    if (border)
        anim->setBorderColors(QColor(255, 255, 255, 255), QColor(248, 201, 12, 255));
    QCOMPARE(button.styleSheet(), expected);

    // Writing the property (as an animation step does) restyles at once.
    if (background) {
        QVERIFY(anim->setProperty("color", QColor(1, 2, 3, 4)));
        QVERIFY(button.styleSheet().contains(QStringLiteral("background-color: rgba(1, 2, 3, 4);")));
    }
}

void TestAnimButtons::colourHoverReversesFromCurrentValue()
{
    QPushButton button;
    auto *anim = new AnimBgButton(&button);
    const QColor normal(248, 201, 12, 0);
    const QColor hoverColour(248, 201, 12, 255);
    anim->setBackgroundColors(normal, hoverColour);
    anim->setBorderColors(Qt::white, hoverColour);
    anim->setActive(true);

    QVERIFY(hover(&button, true));
    QTest::qWait(100);
    const int midway = anim->color().alpha();
    QVERIFY2(midway > 0 && midway < 255, qPrintable(QString::number(midway)));
    QVERIFY(hover(&button, false));
    QVERIFY(qAbs(anim->color().alpha() - midway) <= 5);
    QTRY_COMPARE(anim->color(), normal);
    QTRY_COMPARE(anim->borderColor(), QColor(Qt::white));

    QVERIFY(hover(&button, true));
    QTRY_COMPARE(anim->color(), hoverColour);
    QTRY_COMPARE(anim->borderColor(), hoverColour);
    QVERIFY(button.styleSheet().endsWith(QStringLiteral("border: 1px solid rgba(248, 201, 12, 255);")));
}

void TestAnimButtons::inactiveButtonIgnoresHover()
{
    QPushButton button;
    auto *anim = new AnimBgButton(&button);
    anim->setBackgroundColors(QColor(248, 201, 12, 0), QColor(248, 201, 12, 255));
    anim->setGlowColors(QColor(0, 0, 0, 0), QColor(255, 255, 0, 200));
    anim->setActive(false);
    QVERIFY(!button.isEnabled());
    QCOMPARE(opacityOf(&button), 0.5);
    const QString style = button.styleSheet();

    QVERIFY(hover(&button, true)); // swallowed
    QTest::qWait(300);
    QCOMPARE(anim->color(), QColor(248, 201, 12, 0));
    QCOMPARE(button.styleSheet(), style);
    QCOMPARE(opacityOf(&button), 0.5); // no glow took the opacity's place
    QVERIFY(hover(&button, false));
}

void TestAnimButtons::glowReplacesOpacityUntilSetActive()
{
    QPushButton button;
    auto *anim = new AnimBgButton(&button);
    const QColor glowHover(255, 255, 0, 200);
    anim->setGlowColors(QColor(0, 0, 0, 0), glowHover);
    anim->setActive(true);
    QVERIFY(button.isEnabled());
    QCOMPARE(opacityOf(&button), 1.0);

    hover(&button, true);
    auto *glow = qobject_cast<QGraphicsDropShadowEffect *>(button.graphicsEffect());
    QVERIFY(glow);
    QCOMPARE(glow->blurRadius(), 20.0);
    QCOMPARE(glow->offset(), QPointF(0, 0));
    QTRY_COMPARE(glow->color(), glowHover);

    // A new glow colour applies to the glow in place.
    anim->setGlowColors(Qt::red, Qt::blue);
    QCOMPARE(glow->color(), QColor(Qt::red));

    anim->setActive(false);
    QCOMPARE(opacityOf(&button), 0.5);
    QVERIFY(!button.isEnabled());
}

QTEST_MAIN(TestAnimButtons)
#include "tst_animbuttons.moc"
