#include "widgets/CustomLabel.h"

#include "support/LabelPixmap.h"

#include <QLabel>
#include <QtTest>

namespace {

// Rows and columns of the image that hold any visible pixel.
QRect paintedArea(const QImage &image)
{
    QRect area;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(line[x]) > 0)
                area |= QRect(x, y, 1, 1);
        }
    }
    return area;
}

} // namespace

class TestCustomLabel : public QObject
{
    Q_OBJECT

private slots:
    void imageIsScaledBox_data();
    void imageIsScaledBox();
    void clipsUnlessWordWrap();
    void autoRenderOffWaitsForRender();
    void emptyBoxShowsNothing();
};

void TestCustomLabel::imageIsScaledBox_data()
{
    QTest::addColumn<QSize>("host");
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("newScale");
    QTest::addColumn<QSize>("image");
    QTest::addColumn<QSize>("rescaled");

    QTest::newRow("whole factors") << QSize(111, 31) << 5.0 << 2.0 << QSize(555, 155) << QSize(222, 62);
    QTest::newRow("fractions floored") << QSize(101, 21) << 2.5 << 6.3 << QSize(252, 52) << QSize(636, 132);
    QTest::newRow("news caption box") << QSize(170, 20) << 4.0 << 5.5 << QSize(680, 80) << QSize(935, 110);
}

void TestCustomLabel::imageIsScaledBox()
{
    QFETCH(QSize, host);
    QFETCH(double, scale);
    QFETCH(double, newScale);
    QFETCH(QSize, image);
    QFETCH(QSize, rescaled);

    QLabel hostLabel;
    hostLabel.resize(host);
    CustomLabel label(&hostLabel, scale);
    QCOMPARE(label.geometry(), QRect(QPoint(0, 0), host));
    QCOMPARE(label.renderedImage().size(), image);
    QVERIFY(label.renderedImage().hasAlphaChannel());

    // What is shown is the image brought back to the box, never larger.
    const QSize shown = shownPixmap(&label).size();
    QVERIFY(shown.width() <= host.width() && shown.height() <= host.height());
    QVERIFY(shown.width() >= host.width() - 1 || shown.height() >= host.height() - 1);

    label.setScale(newScale);
    QCOMPARE(label.renderedImage().size(), rescaled);
}

void TestCustomLabel::clipsUnlessWordWrap()
{
    QLabel host;
    host.resize(60, 60);
    CustomLabel label(&host, 2.0);
    label.setAutoRender(false);
    label.setFont(QFont(QStringLiteral("Arial"), 10));
    label.setColor(Qt::white);
    label.setText(QStringLiteral("many words that do not fit into one line of this box"));

    label.setFlags(Qt::AlignLeft | Qt::AlignTop);
    label.render();
    const QRect oneLine = paintedArea(label.renderedImage());
    QVERIFY(!oneLine.isEmpty());
    // The single line runs to the image's right edge and is cut there.
    QCOMPARE(oneLine.right(), label.renderedImage().width() - 1);

    label.setFlags(Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap);
    label.render();
    const QRect wrapped = paintedArea(label.renderedImage());
    QVERIFY2(wrapped.height() > 2 * oneLine.height(),
             qPrintable(QStringLiteral("%1 vs %2").arg(wrapped.height()).arg(oneLine.height())));
}

void TestCustomLabel::autoRenderOffWaitsForRender()
{
    QLabel host;
    host.resize(100, 30);
    CustomLabel label(&host, 3.0);
    label.setColor(QColor(0, 0, 255));
    const QImage before = label.renderedImage().copy();
    QVERIFY(!paintedArea(before).isEmpty()); // the default text, drawn at once
    const qint64 shownBefore = shownPixmap(&label).cacheKey();

    label.setAutoRender(false);
    label.setText(QStringLiteral("Other"));
    label.setColor(QColor(0, 255, 0));
    label.setFont(QFont(QStringLiteral("Arial"), 20));
    label.setFlags(Qt::AlignRight | Qt::AlignBottom);
    QCOMPARE(label.renderedImage(), before);
    QCOMPARE(shownPixmap(&label).cacheKey(), shownBefore);

    label.render();
    QVERIFY(label.renderedImage() != before);
    QVERIFY(shownPixmap(&label).cacheKey() != shownBefore);
    // Only the new colour is drawn now.
    const QImage after = label.renderedImage().convertToFormat(QImage::Format_ARGB32);
    const QRect area = paintedArea(after);
    bool green = false;
    for (int y = area.top(); y <= area.bottom() && !green; ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb px = after.pixel(x, y);
            QCOMPARE(qBlue(px), 0);
            green = green || (qAlpha(px) == 255 && qGreen(px) == 255);
        }
    }
    QVERIFY(green);
}

void TestCustomLabel::emptyBoxShowsNothing()
{
    QLabel host;
    host.resize(0, 20);
    CustomLabel label(&host, 5.0);
    QVERIFY(label.renderedImage().isNull());
    label.setText(QStringLiteral("still nothing"));
    QVERIFY(shownPixmap(&label).isNull());
}

QTEST_MAIN(TestCustomLabel)
#include "tst_customlabel.moc"
