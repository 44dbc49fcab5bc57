#include "ModalCloser.h"

#include "widgets/AppResources.h"
#include "app/MessageBoxRelay.h"
#include "app/MessageDialog.h"
#include "platform/Platform.h"
#include "widgets/CustomLabel.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {

// The rows and columns of an image that hold visible pixels.
QRect drawnArea(const QImage &image)
{
    QRect area;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) > 0)
                area |= QRect(x, y, 1, 1);
        }
    }
    return area;
}

const CustomLabel *textCaption(const MessageDialog &dialog)
{
    return dialog.findChild<QLabel *>(QStringLiteral("textLabel"))->findChild<CustomLabel *>();
}

const CustomLabel *headerCaption(const MessageDialog &dialog)
{
    return dialog.findChild<QLabel *>(QStringLiteral("headerLabel"))->findChild<CustomLabel *>();
}

} // namespace

class TestMessageDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void types_data();
    void types();
    void results_data();
    void results();
    void textIsTrimmed();
    void longTextWraps();
    void keepOnScreen_data();
    void keepOnScreen();
    void droppedDialogStaysHalfOnScreen();
    void systemMessageBoxBlocksWorkerUntilClosed();
};

void TestMessageDialog::initTestCase()
{
    // Some checks look at rendered text, drawn with the launcher's own font:
    // the five Montserrat files load, the six absent files are skipped.
    QCOMPARE(AppResources::registerFonts(), 5);
}

void TestMessageDialog::types_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<QString>("accent");
    QTest::addColumn<bool>("titled");

    QTest::newRow("info") << int(MessageDialog::Info) << ":/images/info.png"
                          << "#ffa500" << true;
    QTest::newRow("warning") << int(MessageDialog::Warning) << ":/images/alert.png"
                             << "#FFC700" << true;
    QTest::newRow("error") << int(MessageDialog::Error) << ":/images/error.png"
                           << "#FF5050" << true;
    QTest::newRow("unknown value") << 7 << ""
                                   << "" << false;
}

void TestMessageDialog::types()
{
    QFETCH(int, type);
    QFETCH(QString, icon);
    QFETCH(QString, accent);
    QFETCH(bool, titled);

    MessageDialog dialog;
    dialog.setType(MessageDialog::Error);
    dialog.setType(static_cast<MessageDialog::MessageType>(type));

    QCOMPARE(dialog.findChild<QWidget *>(QStringLiteral("bodyWidget"))->styleSheet(),
             QStringLiteral("#bodyWidget {background: #ff9000;border-top: 2px solid %1;}").arg(accent));
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("headerLabel"))->styleSheet(),
             QStringLiteral("background-image: url(%1); background-position: left center; "
                            "background-repeat: no-repeat;")
                 .arg(icon));
    if (!icon.isEmpty())
        QVERIFY2(!QImage(icon).isNull(), qPrintable(icon));
    // The title is drawn; an unknown type clears it.
    QCOMPARE(drawnArea(headerCaption(dialog)->renderedImage()).isEmpty(), !titled);
}

void TestMessageDialog::results_data()
{
    QTest::addColumn<int>("buttons");
    QTest::addColumn<QString>("press"); // a button's object name, or "Escape"
    QTest::addColumn<int>("result");

    QTest::newRow("ok") << int(MessageDialog::OkOnly) << "btnOkTrigger" << 1;
    QTest::newRow("yes") << int(MessageDialog::YesNo) << "btnYesTrigger" << 1;
    QTest::newRow("no") << int(MessageDialog::YesNo) << "btnNoTrigger" << 0;
    QTest::newRow("escape in yes/no") << int(MessageDialog::YesNo) << "Escape" << 0;
    QTest::newRow("escape in ok only") << int(MessageDialog::OkOnly) << "Escape" << 0;
}

void TestMessageDialog::results()
{
    QFETCH(int, buttons);
    QFETCH(QString, press);
    QFETCH(int, result);

    ModalCloser closer([&press](QDialog *dialog) {
        if (press == QLatin1String("Escape"))
            QTest::keyClick(dialog, Qt::Key_Escape);
        else
            QTest::mouseClick(dialog->findChild<QPushButton *>(press), Qt::LeftButton);
        return -1; // closed by the key or the button, or left open (and the test times out)
    });
    // No parent: the second-instance message comes before any window.
    QCOMPARE(MessageDialog::showMessage(nullptr, MessageDialog::Info, QStringLiteral("Вопрос?"),
                                        static_cast<MessageDialog::MessageButtons>(buttons)),
             result);
    QCOMPARE(closer.messages, QStringList{QStringLiteral("Вопрос?")});
}

void TestMessageDialog::textIsTrimmed()
{
    MessageDialog padded;
    padded.setText(QStringLiteral(" \n\t Лаунчер уже запущен \r\n "));
    MessageDialog plain;
    plain.setText(QStringLiteral("Лаунчер уже запущен"));

    QCOMPARE(padded.text(), QStringLiteral("Лаунчер уже запущен"));
    QCOMPARE(textCaption(padded)->renderedImage(), textCaption(plain)->renderedImage());
    QVERIFY(!drawnArea(textCaption(plain)->renderedImage()).isEmpty());
}

void TestMessageDialog::longTextWraps()
{
    MessageDialog shortText;
    shortText.setText(QStringLiteral("Ок"));
    MessageDialog longText;
    longText.setText(QStringLiteral("Найдено обновление (1.0.0.1). Вы хотите скачать и установить новую версию? "
                                    "Загрузка займёт несколько минут."));

    const QImage image =
        longText.findChild<QLabel *>(QStringLiteral("textLabel"))->findChild<CustomLabel *>()->renderedImage();
    const QRect oneLine = drawnArea(textCaption(shortText)->renderedImage());
    const QRect wrapped = drawnArea(image);
    QVERIFY(!oneLine.isEmpty());
    // Several lines inside the text box instead of one line cut at its edges.
    QVERIFY2(wrapped.height() > 2 * oneLine.height(),
             qPrintable(QStringLiteral("%1 vs %2").arg(wrapped.height()).arg(oneLine.height())));
    QVERIFY(wrapped.left() > 0);
    QVERIFY(wrapped.right() < image.width() - 1);
}

void TestMessageDialog::keepOnScreen_data()
{
    QTest::addColumn<QPoint>("dropped");
    QTest::addColumn<QSize>("dialog");
    QTest::addColumn<QPoint>("kept");

    const QSize size(410, 260);
    QTest::newRow("inside") << QPoint(100, 100) << size << QPoint(100, 100);
    QTest::newRow("far left") << QPoint(-1000, 100) << size << QPoint(-205, 100);
    QTest::newRow("far above") << QPoint(100, -1000) << size << QPoint(100, -130);
    QTest::newRow("far right") << QPoint(5000, 100) << size << QPoint(1280 - 205, 100);
    QTest::newRow("far below") << QPoint(100, 5000) << size << QPoint(100, 1024 - 130);
    QTest::newRow("far down and right") << QPoint(5000, 5000) << size << QPoint(1075, 894);
    QTest::newRow("odd size, halves truncated") << QPoint(-1000, -1000) << QSize(411, 261) << QPoint(-205, -130);
    QTest::newRow("dialog larger than the screen") << QPoint(-3000, 0) << QSize(4000, 260) << QPoint(-2000, 0);
}

void TestMessageDialog::keepOnScreen()
{
    QFETCH(QPoint, dropped);
    QFETCH(QSize, dialog);
    QFETCH(QPoint, kept);

    QCOMPARE(MessageDialog::keepOnScreen(dropped, dialog, QSize(1280, 1024)), kept);
}

void TestMessageDialog::droppedDialogStaysHalfOnScreen()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    QVERIFY(screen);
    const QSize screenSize = screen->geometry().size();

    MessageDialog dialog;
    dialog.show();
    dialog.move(50, 60);
    const auto send = [&dialog](QEvent::Type type, const QPointF &local, const QPointF &global, Qt::MouseButton button,
                                Qt::MouseButtons buttons) {
        QMouseEvent event(type, local, local, global, button, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(&dialog, &event);
    };

    // Grip at (10, 10) inside the dialog, dragged far to the left.
    send(QEvent::MouseButtonPress, QPointF(9.5, 10.2), QPointF(59.5, 70.2), Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, QPointF(9.5, 10.2), QPointF(-2000.0, 300.0), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(dialog.pos(), QPoint(-2010, 290));
    send(QEvent::MouseButtonRelease, QPointF(9.5, 10.2), QPointF(-2000.0, 300.0), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(dialog.pos(), QPoint(-(dialog.width() / 2), 290));

    // And far to the lower right.
    send(QEvent::MouseButtonPress, QPointF(9.5, 10.2), QPointF(0, 0), Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, QPointF(9.5, 10.2), QPointF(9000.0, 9000.0), Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, QPointF(9.5, 10.2), QPointF(9000.0, 9000.0), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(dialog.pos(), QPoint(screenSize.width() - dialog.width() / 2, screenSize.height() - dialog.height() / 2));

    // A release of another button does not clamp.
    dialog.move(-1000, 0);
    send(QEvent::MouseButtonRelease, QPointF(1, 1), QPointF(1, 1), Qt::RightButton, Qt::NoButton);
    QCOMPARE(dialog.pos(), QPoint(-1000, 0));
}

void TestMessageDialog::systemMessageBoxBlocksWorkerUntilClosed()
{
    MessageBoxRelay::install();
    std::atomic<bool> returned(false);
    bool returnedBeforeClose = true;
    QString caption;
    QString text;
    ModalCloser closer([&](QDialog *dialog) {
        auto *box = qobject_cast<QMessageBox *>(dialog);
        if (box) {
            caption = box->windowTitle();
            text = box->text();
        }
        // Give a worker that did not wait the time to say so.
        QTest::qWait(100);
        returnedBeforeClose = returned.load();
        return 1;
    });

    QThread *worker = QThread::create([&returned] {
        Platform::systemMessageBox(QStringLiteral("test"), QStringLiteral("fail 1"));
        returned.store(true);
    });
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 10000);
    QVERIFY(worker->wait(5000));
    delete worker;
    MessageBoxRelay::uninstall();

    QVERIFY(!returnedBeforeClose);
    QCOMPARE(caption, QStringLiteral("test"));
    QCOMPARE(text, QStringLiteral("fail 1"));
}

QTEST_MAIN(TestMessageDialog)
#include "tst_messagedialog.moc"
