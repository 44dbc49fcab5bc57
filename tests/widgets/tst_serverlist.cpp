#include "widgets/AppResources.h"
#include "platform/Platform.h"
#include "service/ServerQuery.h"
#include "service/UserIni.h"
#include "support/TestHttpServer.h"
#include "widgets/ServerList.h"
#include "widgets/ServerWidget.h"

#include <QApplication>
#include <QFile>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Nothing listens on the discard port: every monitoring query a test starts
// fails at once and never leaves the machine.
constexpr int NoReport = -1;
constexpr int Offline = -2;

const QByteArray ClosedMonitoring = "http://127.0.0.1:9/servers/monitoring";

// user.ini of the test, in its temporary folder.
QString &iniPath()
{
    static QString path;
    return path;
}

struct Fixture
{
    QWidget host;
    ServerList *list;

    explicit Fixture(int servers = 0)
    {
        host.resize(470, 200);
        list = new ServerList(&host, iniPath());
        for (int i = 0; i < servers; ++i)
            list->addElement(QStringLiteral("Server %1").arg(i + 1), QStringLiteral("10.0.0.%1").arg(i + 1),
                             quint16(7001 + i));
    }
    ServerWidget *slot(int i) const { return list->slotAt(i); }
};

QLabel *label(ServerWidget *slot, const char *name)
{
    return slot->findChild<QLabel *>(QLatin1String(name));
}

QWidget *part(ServerWidget *slot, const char *name)
{
    return slot->findChild<QWidget *>(QLatin1String(name));
}

double opacity(ServerWidget *slot)
{
    return qobject_cast<QGraphicsOpacityEffect *>(slot->graphicsEffect())->opacity();
}

bool hover(QWidget *widget, bool enter)
{
    QEvent event(enter ? QEvent::Enter : QEvent::Leave);
    return QApplication::sendEvent(widget, &event);
}

void writeIni(const QByteArray &text)
{
    QFile ini(iniPath());
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write(text);
}

QByteArray readIni()
{
    QFile ini(iniPath());
    return ini.open(QIODevice::ReadOnly) ? ini.readAll() : QByteArray();
}

} // namespace

class TestServerList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void sixSlotsFilledSeventhDropped();
    void portKeepsSixteenBits_data();
    void portKeepsSixteenBits();
    void reportShowsCountsAndPie_data();
    void reportShowsCountsAndPie();
    void hoverAndSelectionFade();
    void clickSelectsAndRemembers();
    void clickOnEmptySlotDoesNothing();
    void restoreSelection_data();
    void restoreSelection();
    void automaticChoice_data();
    void automaticChoice();
    void rememberedChoiceBlocksAutomaticOne();
    void refreshAsksMonitoringAgain();

private:
    QTemporaryDir dir;
};

void TestServerList::initTestCase()
{
    // The launcher's artwork and fonts, for the slots' style sheets and texts.
    AppResources::ensureLoaded();
    AppResources::registerFonts();
    QVERIFY(dir.isValid());
    iniPath() = dir.filePath(QStringLiteral("user.ini"));
    qputenv("VARO_MONITORING_URL", ClosedMonitoring);
}

void TestServerList::init()
{
    QFile::remove(iniPath());
}

void TestServerList::sixSlotsFilledSeventhDropped()
{
    Fixture f(7);
    for (int i = 0; i < ServerList::SlotCount; ++i) {
        ServerWidget *slot = f.slot(i);
        QVERIFY(slot->isReady() && slot->hasQuery());
        QCOMPARE(slot->geometry(), QRect((i % 2) * 240, (i / 2) * 70, 230, 60));
        QCOMPARE(label(slot, "nameLabel")->text(), QStringLiteral("Server %1").arg(i + 1));
        QCOMPARE(label(slot, "statusLabel")->text(), QStringLiteral("Offline"));
        QCOMPARE(label(slot, "countLabel")->text(), QStringLiteral("-/-"));
        QVERIFY(!part(slot, "statusDot")->isHidden());
        QVERIFY(part(slot, "pie")->isHidden());
        QCOMPARE(label(slot, "recommendLabel")->isHidden(), i != 1);
        QCOMPARE(slot->cursor().shape(), Qt::PointingHandCursor);
    }
    QCOMPARE(label(f.slot(1), "recommendLabel")->text(), QStringLiteral("РЕКОМЕНДУЕМ!"));
    for (const QLabel *name : f.host.findChildren<QLabel *>(QStringLiteral("nameLabel")))
        QVERIFY(name->text() != QLatin1String("Server 7"));
}

void TestServerList::portKeepsSixteenBits_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("kept");
    QTest::newRow("usual") << 7777 << 7777;
    QTest::newRow("highest") << 65535 << 65535;
    QTest::newRow("one above") << 65536 << 0;
    QTest::newRow("wrapped") << 65536 + 7777 << 7777;
}

void TestServerList::portKeepsSixteenBits()
{
    QFETCH(int, port);
    QFETCH(int, kept);
    Fixture f;
    f.list->addElement(QStringLiteral("via list"), QStringLiteral("h"), quint16(port));
    QCOMPARE(int(f.list->selectedPort()), kept);
    f.slot(1)->setData(QStringLiteral("direct"), QStringLiteral("h"), port, false);
    QCOMPARE(int(f.slot(1)->serverPort()), kept);
}

void TestServerList::reportShowsCountsAndPie_data()
{
    QTest::addColumn<int>("players");
    QTest::addColumn<int>("total");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("dot");
    QTest::addColumn<QString>("pie"); // "none", "quarter" or "full"
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("elided");

    QTest::newRow("no capacity") << 5 << 0 << "-/-"
                                 << "Offline"
                                 << "#EF2626"
                                 << "none"
                                 << "Server 1" << false;
    QTest::newRow("negative capacity") << 0 << -1 << "-/-"
                                       << "Offline"
                                       << "#EF2626"
                                       << "none"
                                       << "Server 1" << false;
    QTest::newRow("online, empty") << 0 << 50 << "0/50"
                                   << "Online"
                                   << "#26EF5E"
                                   << "none"
                                   << "Server 1" << false;
    QTest::newRow("below one percent") << 1 << 101 << "1/101"
                                       << "Online"
                                       << "#26EF5E"
                                       << "none"
                                       << "Server 1" << false;
    QTest::newRow("a quarter") << 25 << 100 << "25/100"
                               << "Online"
                               << "#26EF5E"
                               << "quarter"
                               << "Server 1" << false;
    QTest::newRow("full") << 100 << 100 << "100/100"
                          << "Online"
                          << "#26EF5E"
                          << "full"
                          << "Server 1" << false;
    QTest::newRow("above capacity") << 150 << 100 << "150/100"
                                    << "Online"
                                    << "#26EF5E"
                                    << "full"
                                    << "Server 1" << false;
    QTest::newRow("name that meets the count") << 250 << 1000 << "250/1000"
                                               << "Online"
                                               << "#26EF5E"
                                               << "quarter"
                                               << "Varo | Южный" << true;
}

void TestServerList::reportShowsCountsAndPie()
{
    QFETCH(int, players);
    QFETCH(int, total);
    QFETCH(QString, count);
    QFETCH(QString, status);
    QFETCH(QString, dot);
    QFETCH(QString, pie);
    QFETCH(QString, name);
    QFETCH(bool, elided);

    Fixture f;
    f.list->addElement(name, QStringLiteral("10.0.0.1"), 7001);
    ServerWidget *slot = f.slot(0);
    QSignalSpy updated(slot, &ServerWidget::updated);
    f.host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.host));
    // First a full report, so that each row shows it replaces earlier state.
    slot->infoUpdated(60, 60);
    slot->infoUpdated(players, total);
    QCOMPARE(updated.count(), 2);
    QCOMPARE(label(slot, "nameLabel")->text().endsWith(QChar(0x2026)), elided);
    QCOMPARE(label(slot, "nameLabel")->toolTip(), elided ? name : QString());

    // What the screen shows of the half-opaque slot after several of its
    // parts changed at once: one background all over, and the name's upper
    // half ends well left of the count's lower half.
    QTest::qWait(100);
    const QImage image =
        f.host.screen()->grabWindow(f.host.winId(), 0, 0, ServerWidget::Width, ServerWidget::Height).toImage();
    const QRgb background = image.pixel(110, 52);
    QRegion parts;
    for (QWidget *child : slot->findChildren<QWidget *>())
        parts += child->isVisible() ? child->geometry() : QRect();
    for (int y = 4; y < ServerWidget::Height - 4; ++y)
        for (int x = 4; x < ServerWidget::Width - 4; ++x)
            QVERIFY(parts.contains(QPoint(x, y)) || image.pixel(x, y) == background);
    const auto inkEdge = [&](const QRect &area, bool last) {
        int edge = -1;
        for (int x = area.left(); x <= area.right(); ++x)
            for (int y = area.top(); y <= area.bottom(); ++y)
                if (qAbs(qGray(image.pixel(x, y)) - qGray(background)) > 40 && (edge < 0 || last))
                    edge = x;
        return edge;
    };
    const int nameEnd = inkEdge(QRect(20, 13, 130, 10), true);
    const int countStart = inkEdge(QRect(104, 31, 84, 4), false);
    QVERIFY2(nameEnd > 20 && nameEnd + 4 < countStart,
             qPrintable(QStringLiteral("%1 %2").arg(nameEnd).arg(countStart)));
    QCOMPARE(slot->playerCount(), players);
    QCOMPARE(slot->capacity(), total);
    QCOMPARE(label(slot, "countLabel")->text(), count);
    QCOMPARE(label(slot, "statusLabel")->text(), status);
    QCOMPARE(part(slot, "statusDot")->styleSheet(), QStringLiteral("background: %1; border-radius: 4px;").arg(dot));

    QWidget *pieWidget = part(slot, "pie");
    QCOMPARE(pieWidget->isHidden(), pie == QLatin1String("none"));
    if (pie == QLatin1String("none"))
        return;
    const QRegion mask = pieWidget->mask();
    QVERIFY(mask.contains(QPoint(15, 4))); // upper right: the start of the sweep
    QVERIFY(mask.contains(QPoint(16, 9)));
    const bool full = pie == QLatin1String("full");
    QCOMPARE(mask.contains(QPoint(15, 15)), full);
    QCOMPARE(mask.contains(QPoint(4, 15)), full);
    QCOMPARE(mask.contains(QPoint(4, 4)), full);
}

void TestServerList::hoverAndSelectionFade()
{
    Fixture f(1);
    ServerWidget *filled = f.slot(0);
    ServerWidget *empty = f.slot(1);
    QCOMPARE(opacity(filled), 0.5);

    hover(empty, true); // an empty slot does not react
    QTest::qWait(300);
    QCOMPARE(opacity(empty), 0.5);

    QVERIFY(hover(filled, true));
    QTRY_COMPARE(opacity(filled), 1.0);
    f.list->selectServer(0);
    QVERIFY(hover(filled, false));
    QTest::qWait(300);
    QCOMPARE(opacity(filled), 1.0); // a selected slot stays bright

    f.list->selectServer(1);
    QVERIFY(!filled->isSelected());
    QTRY_COMPARE(opacity(filled), 0.5);
    QVERIFY(!part(filled, "selectedBar")->isVisibleTo(filled));
}

void TestServerList::clickSelectsAndRemembers()
{
    Fixture f(3);
    QTest::mouseClick(f.slot(2), Qt::LeftButton, {}, QPoint(100, 30));
    QCOMPARE(f.list->current(), 2);
    QCOMPARE(UserIni(iniPath()).currentServer(), 2);
    QVERIFY(readIni().contains("Current=2"));
    QVERIFY(part(f.slot(2), "selectedBar")->isVisibleTo(f.slot(2)));
    QCOMPARE(f.list->selectedHost(), QStringLiteral("10.0.0.3"));
    QCOMPARE(f.list->selectedPort(), quint16(7003));

    f.list->serverClicked(0);
    QCOMPARE(f.list->current(), 0);
    QVERIFY(!f.slot(2)->isSelected());
    QVERIFY(!part(f.slot(2), "selectedBar")->isVisibleTo(f.slot(2)));
    QCOMPARE(UserIni(iniPath()).currentServer(), 0);

    // A press dragged off the slot and released elsewhere selects nothing.
    QTest::mousePress(f.slot(1), Qt::LeftButton, {}, QPoint(100, 30));
    QTest::mouseRelease(f.slot(1), Qt::LeftButton, {}, QPoint(100, 90));
    QCOMPARE(f.list->current(), 0);

    // An index outside the slots changes neither the choice nor the file.
    f.list->serverClicked(6);
    QCOMPARE(f.list->current(), 0);
    QCOMPARE(UserIni(iniPath()).currentServer(), 0);
}

void TestServerList::clickOnEmptySlotDoesNothing()
{
    Fixture f(1);
    QSignalSpy clicked(f.slot(3), &ServerWidget::clicked);
    QTest::mouseClick(f.slot(3), Qt::LeftButton, {}, QPoint(50, 30));
    QCOMPARE(clicked.count(), 0);
    QCOMPARE(f.list->current(), -1);
    QVERIFY(!QFile::exists(iniPath()));
    QCOMPARE(f.list->selectedHost(), QStringLiteral("10.0.0.1"));
}

void TestServerList::restoreSelection_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("current");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("a loaded server") << QByteArray("[SERVERS]\nCurrent=1\n") << 1 << "10.0.0.2" << 7002;
    QTest::newRow("an empty slot") << QByteArray("[SERVERS]\nCurrent=4\n") << 4 << "" << 0;
    QTest::newRow("past the slots") << QByteArray("[SERVERS]\nCurrent=6\n") << -1 << "10.0.0.1" << 7001;
    QTest::newRow("none") << QByteArray("[SERVERS]\nCurrent=-1\n") << -1 << "10.0.0.1" << 7001;
    QTest::newRow("not a number") << QByteArray("[SERVERS]\nCurrent=two\n") << -1 << "10.0.0.1" << 7001;
    QTest::newRow("no file") << QByteArray() << -1 << "10.0.0.1" << 7001;
}

void TestServerList::restoreSelection()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, current);
    QFETCH(QString, host);
    QFETCH(int, port);

    if (!ini.isEmpty())
        writeIni(ini);
    Fixture f(3);
    f.list->restoreSelection();
    QCOMPARE(f.list->current(), current);
    QCOMPARE(f.list->selectedHost(), host);
    QCOMPARE(int(f.list->selectedPort()), port);
    for (int i = 0; i < ServerList::SlotCount; ++i)
        QCOMPARE(f.slot(i)->isSelected(), i == current);
    QCOMPARE(readIni(), ini); // read, never rewritten
}

void TestServerList::automaticChoice_data()
{
    // One value per server: players reported against a capacity of 100;
    // NoReport: the query has not answered yet; Offline: it reported 0/0.
    QTest::addColumn<QList<int>>("players");
    QTest::addColumn<int>("chosen");

    QTest::newRow("three online") << QList<int>{40, 12, 30} << 1;
    QTest::newRow("first among equals") << QList<int>{12, 40, 12} << 0;
    QTest::newRow("two online") << QList<int>{40, 12} << -1;
    QTest::newRow("two with players, one empty") << QList<int>{40, 0, 30} << -1;
    QTest::newRow("four online") << QList<int>{40, 12, 30, 5} << -1;
    QTest::newRow("an empty server is the least populated") << QList<int>{0, 40, 12, 30} << 0;
    QTest::newRow("not before every server has answered") << QList<int>{40, 12, 30, NoReport} << -1;
    QTest::newRow("not an offline one") << QList<int>{Offline, 40, 12, 30} << 2;
    QTest::newRow("three online, one offline last") << QList<int>{40, 12, 30, Offline} << 1;
}

void TestServerList::automaticChoice()
{
    QFETCH(QList<int>, players);
    QFETCH(int, chosen);

    Fixture f(players.size());
    for (int i = 0; i < players.size(); ++i) {
        if (players.at(i) == Offline)
            f.slot(i)->infoUpdated(0, 0);
        else if (players.at(i) != NoReport)
            f.slot(i)->infoUpdated(players.at(i), 100);
    }
    QCOMPARE(f.list->current(), chosen);
    QCOMPARE(UserIni(iniPath()).currentServer(), chosen);

    // Later reports do not move an automatic choice.
    if (chosen >= 0) {
        f.slot(chosen)->infoUpdated(99, 100);
        QCOMPARE(f.list->current(), chosen);
    }
}

void TestServerList::rememberedChoiceBlocksAutomaticOne()
{
    writeIni("[SERVERS]\nCurrent=2\n");
    Fixture f(3);
    f.list->restoreSelection();
    f.slot(0)->infoUpdated(40, 100);
    f.slot(1)->infoUpdated(12, 100);
    f.slot(2)->infoUpdated(30, 100);
    QCOMPARE(f.list->current(), 2);
}

void TestServerList::refreshAsksMonitoringAgain()
{
    TestHttpServer server;
    QVERIFY(server.isListening());
    const QString path = QStringLiteral("/servers/monitoring");
    server.setReply(path, TestHttpServer::Reply::ok(R"({"numplayers": 7, "maxplayers": 50})"));
    qputenv("VARO_MONITORING_URL", server.url(path).toUtf8());

    {
        Fixture f(1);
        // The first poll is skipped while the system is younger than the
        // throttle interval; afterwards it comes at once.
        const int first = Platform::tickCount() > ServerQuery::ThrottleMs ? 1 : 0;
        QTRY_COMPARE(server.requestCount(path), first);
        QTest::qWait(100);
        QCOMPARE(server.requestCount(path), first);

        f.list->refreshAll(); // only the filled slot has a query to ask
        QTRY_COMPARE(server.requestCount(path), first + 1);
        QTRY_COMPARE(label(f.slot(0), "countLabel")->text(), QStringLiteral("7/50"));
        QCOMPARE(label(f.slot(0), "statusLabel")->text(), QStringLiteral("Online"));
    }
    qputenv("VARO_MONITORING_URL", ClosedMonitoring);
}

QTEST_MAIN(TestServerList)
#include "tst_serverlist.moc"
