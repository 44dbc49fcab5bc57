#include "app/MainWindow.h"

#include "widgets/AppResources.h"
#include "app/BuildInfo.h"
#include "app/GameSettings.h"
#include "app/GameStarter.h"
#include "app/MainWindowLayout.h"
#include "app/MessageDialog.h"
#include "app/SettingsDialog.h"
#include "platform/Platform.h"
#include "service/Endpoints.h"
#include "service/LoadThread.h"
#include "service/ProcessState.h"
#include "sync/SyncThread.h"
#include "widgets/AnimBgButton.h"
#include "widgets/AnimButton.h"
#include "widgets/CustomLabel.h"
#include "widgets/HeaderButton.h"
#include "widgets/NewsList.h"
#include "widgets/ServerList.h"

#include <QCoreApplication>
#include <QDir>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QPainterPath>
#include <QPushButton>
#include <QRegion>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QThread>
#include <QtMath>

#include <cmath>

Q_LOGGING_CATEGORY(lcApp, "varo.app", QtInfoMsg)

namespace {

// Each coordinate rounded to the nearest integer, halves going upward.
QPoint roundedPoint(const QPointF &point)
{
    return QPoint(qFloor(point.x() + 0.5), qFloor(point.y() + 0.5));
}

CustomLabel *makeCaption(QLabel *host, int pointSize, int weight, const QColor &color, int flags, const QString &text)
{
    auto *caption = new CustomLabel(host, 5.0);
    caption->setAutoRender(false);
    caption->setFont(QFont(QStringLiteral("Montserrat"), pointSize, weight));
    caption->setColor(color);
    caption->setFlags(flags);
    caption->setText(text);
    caption->render();
    caption->setAutoRender(true);
    return caption;
}

} // namespace

MainWindow::MainWindow(const AppPaths &paths, QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainWindowLayout)
    , appPaths(paths)
    , apiBase(Endpoints::launcherApiBase())
    , mirrorBase(Endpoints::primaryMirrorBase())
    , gameDir(paths.gameDir())
{
    qRegisterMetaType<quint64>("quint64");
    AppResources::ensureLoaded();

    gameSettings = new GameSettings;
    ui->setupUi(this);
    setMouseTracking(true);

    serverList = new ServerList(ui->serverListWidget, appPaths.userIni());
    newsList = new NewsList(ui->newsListWidget);

    // Latin letters and the underscore only, at most 20 of them.
    ui->nicknameField->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[A-Za-z_]{3,20}")), ui->nicknameField));

    ui->overlayWidget->resize(900, 500);
    ui->overlayWidget->hide();

    exitAnim = new AnimButton(ui->btnExitTrigger);
    hideAnim = new AnimButton(ui->btnHideTrigger);
    settingsAnim = new AnimButton(ui->settingsBtnTrigger);
    refreshAnim = new AnimButton(ui->btnRefresh);
    ui->btnRefresh->setCursor(Qt::PointingHandCursor);
    ui->btnJoinGame->setCursor(Qt::PointingHandCursor);
    ui->btnJoinGame->setFont(QFont(QStringLiteral("Montserrat"), 10, 75));
    ui->btnJoinGame->lower();

    joinAnim = new AnimBgButton(ui->btnJoinGame);
    joinAnim->setBackgroundColors(QColor(248, 201, 12, 0), QColor(248, 201, 12, 255));
    joinAnim->setBorderColors(QColor(255, 255, 255, 255), QColor(248, 201, 12, 255));
    joinAnim->setActive(false);

    setupLinks();
    setupCaptions();

    ui->overlayWidget->raise();

    const QString nickname = cleanNickname(Platform::playerName());
    if (!nickname.isEmpty())
        ui->nicknameField->setText(nickname);

    connect(ui->btnExitTrigger, &QPushButton::released, this, &MainWindow::btnExitClick);
    connect(ui->btnHideTrigger, &QPushButton::released, this, &MainWindow::btnHideClick);
    connect(ui->settingsBtnTrigger, &QPushButton::released, this, &MainWindow::btnSettingsClick);
    connect(ui->btnJoinGame, &QPushButton::clicked, this, &MainWindow::btnJoinGameClick);
    connect(ui->btnRefresh, &QPushButton::clicked, this, &MainWindow::btnRefreshClick);

    // A failure to create the folder is met (and reported) by the sync.
    if (!QDir(gameDir).exists())
        QDir().mkpath(gameDir);
}

MainWindow::~MainWindow()
{
    ProcessState::requestExit();

    if (loadThread && loadThread->isRunning()) {
        // The loader quits its thread itself when it sees the exit request,
        // but a run that has already ended (after starting an update
        // installer, or with its loadFinish still queued) leaves the thread
        // idling in its event loop: ask it to quit as well.
        loadThread->requestInterruption();
        loadThread->quit();
        waitForThread(loadThread);
    }
    retiredSyncs.append({syncThread, syncer});
    for (const SyncRun &run : qAsConst(retiredSyncs)) {
        if (run.thread && run.thread->isRunning()) {
            run.thread->requestInterruption();
            waitForThread(run.thread);
        }
    }

    for (const SyncRun &run : qAsConst(retiredSyncs)) {
        delete run.thread;
        delete run.worker;
    }
    delete loadThread;
    delete loader;
    delete gameSettings;
    delete ui;
    // Captions, lists and animated companions are children of the window's
    // widgets and go with them.
}

void MainWindow::setupLinks()
{
    struct Link
    {
        QPushButton *button;
        HeaderButton **hover;
        const char *address;
    };
    const Link links[] = {
        {ui->siteBtn, &siteHover, VARO_SITE_URL},
        {ui->forumBtn, &forumHover, VARO_FORUM_URL},
        {ui->donateBtn, &donateHover, VARO_DONATE_URL},
        {ui->helpBtn, &helpHover, VARO_HELP_URL},
    };
    for (const Link &link : links) {
        link.button->setFont(QFont(QStringLiteral("Montserrat"), 9, 57));
        link.button->setCursor(Qt::PointingHandCursor);
        *link.hover = new HeaderButton(link.button);
        (*link.hover)->setStyleSheet(QLatin1String(MainWindowLayout::HeaderHoverStyle));
        const QString address = QString::fromUtf8(link.address);
        connect(link.button, &QPushButton::clicked, this, [address] { Platform::openAddress(address); });
    }
}

void MainWindow::setupCaptions()
{
    const int leftBottom = Qt::AlignLeft | Qt::AlignBottom;
    serversCaption = makeCaption(ui->serversLabel, 80, 75, Qt::white, leftBottom, QStringLiteral("Сервера"));
    newsCaption = makeCaption(ui->newsLabel, 80, 75, Qt::white, leftBottom, QStringLiteral("Новости"));
    buildCaption = makeCaption(ui->buildLabel, 40, 50, QColor(255, 255, 255, 150), leftBottom,
                               BuildInfo::versionText());
    nicknameCaption = makeCaption(ui->nicknameLabel, 50, 75, Qt::white, leftBottom, QStringLiteral("Ваш никнейм"));
    progressLeft = makeCaption(ui->progressBarState1, 40, 75, Qt::white, Qt::AlignCenter,
                               QStringLiteral("Загрузка списка серверов и новостей..."));
    progressRight = makeCaption(ui->progressBarState2, 30, 50, Qt::white, Qt::AlignCenter, QString());
    ui->nicknameLabel->setText(QString());

    progressShadow = new QGraphicsDropShadowEffect(progressLeft);
    progressShadow->setBlurRadius(2.0);
    progressShadow->setColor(QColor(QStringLiteral("#000000")));
    progressShadow->setOffset(1, 1);
    progressLeft->setGraphicsEffect(progressShadow);
}

QString MainWindow::cleanNickname(const QString &stored)
{
    QString name = stored;
    name.remove(QRegularExpression(QStringLiteral("[^A-Za-z_]")));
    while (name.endsWith(QLatin1Char('_')))
        name.chop(1);
    while (name.startsWith(QLatin1Char('_')))
        name.remove(0, 1);
    return name.trimmed();
}

int MainWindow::progressFill(quint64 currentValue, quint64 maxValue)
{
    if (maxValue == 0)
        return 0;
    const double ratio = double(currentValue) / double(maxValue);
    if (ratio > 1.0)
        return ProgressBarWidth;
    return int(std::floor(ratio * ProgressBarWidth));
}

void MainWindow::startLoading()
{
    loadThread = new QThread;
    loader = new LoadThread(appPaths, apiBase, newsList);
    loader->moveToThread(loadThread);

    connect(loadThread, &QThread::started, loader, &LoadThread::start);
    connect(loader, &LoadThread::serverListAdd, serverList, &ServerList::addElement);
    connect(loader, &LoadThread::serverListLoaded, this, &MainWindow::serverListLoaded);
    connect(loader, &LoadThread::newsListLoaded, this, &MainWindow::newsListLoaded);
    connect(loader, &LoadThread::newsImageLoaded, this, &MainWindow::newsImageLoaded);
    connect(loader, &LoadThread::mirrorChosen, this, &MainWindow::mirrorChosen);
    connect(loader, &LoadThread::loadFinish, this, &MainWindow::loadFinish);
    connect(loader, &LoadThread::setState, this, &MainWindow::syncerSetProgressText);
    connect(loader, &LoadThread::updateIPv4, this, &MainWindow::updateIPv4);
    connect(loader, &LoadThread::setProgress, this, &MainWindow::syncerSetProgressState);

    loadThread->start(QThread::InheritPriority);
}

void MainWindow::setOverlay(bool on)
{
    if (on) {
        ++overlayCount;
        ui->overlayWidget->show();
    } else {
        --overlayCount;
        if (overlayCount < 1)
            ui->overlayWidget->hide();
    }
}

void MainWindow::serverListLoaded()
{
    serverList->restoreSelection();
}

void MainWindow::newsListLoaded()
{
    newsList->build();
    newsList->startReveal();
}

void MainWindow::newsImageLoaded(uint idx, const QImage &image)
{
    newsList->setNewsImage(idx, image);
}

void MainWindow::updateIPv4(uint addr)
{
    Q_UNUSED(addr)
}

void MainWindow::mirrorChosen(const QString &mirror)
{
    mirrorBase = mirror;
}

void MainWindow::syncerSetProgressText(const QString &left, const QString &right)
{
    // The texts also go to the log, so that scripts driving the launcher
    // without looking at the window can follow it.
    qCDebug(lcApp).noquote() << "[progress]" << left << "|" << right;
    // Unchanged texts are not drawn again: the workers repeat them often.
    if (left != lastLeftText) {
        lastLeftText = left;
        progressLeft->setText(left);
    }
    if (right != lastRightText) {
        lastRightText = right;
        progressRight->setText(right);
    }
}

void MainWindow::syncerSetProgressState(quint64 currentValue, quint64 maxValue)
{
    QRect geometry = ui->progressBarLayer->geometry();
    geometry.setRight(geometry.left() + progressFill(currentValue, maxValue));
    ui->progressBarLayer->setGeometry(geometry);
}

void MainWindow::loadFinish()
{
    gameReady = false;
    syncEnded = false;
    joinAnim->setActive(false);

    if (loadThread && loadThread->isRunning()) {
        loadThread->requestInterruption();
        loadThread->quit();
        waitForThread(loadThread);
    }

    // A finished run whose thread's end has not been handled yet is kept
    // until it is, so that its late report cannot remove the new run.
    if (syncThread)
        retiredSyncs.append({syncThread, syncer});

    syncer = new SyncThread(appPaths, apiBase, mirrorBase);
    syncThread = new QThread(this);
    connect(syncer, &SyncThread::setProgressText, this, &MainWindow::syncerSetProgressText);
    connect(syncer, &SyncThread::setProgressState, this, &MainWindow::syncerSetProgressState);
    connect(syncer, &SyncThread::finish, this, &MainWindow::syncerFinish);
    connect(syncThread, &QThread::started, syncer, &SyncThread::start);
    connect(syncThread, &QThread::finished, this, &MainWindow::syncerThreadFinished);
    syncer->moveToThread(syncThread);
    syncThread->start(QThread::InheritPriority);
}

void MainWindow::syncerFinish(bool ready)
{
    if (!ready)
        return;
    syncerSetProgressText(QStringLiteral("Готово к игре!"), QString());
    syncerSetProgressState(100, 100);
    gameReady = true;
    joinAnim->setActive(true);
}

void MainWindow::syncerThreadFinished()
{
    // finished() is sent from the thread's last steps: the thread ends at
    // once, so waiting for it here is short.
    const QObject *finished = sender();
    if (!finished) {
        // Called directly: only a thread that has ended is cleaned up.
        if (!syncThread || syncThread->isRunning())
            return;
        finished = syncThread;
    }
    if (finished == syncThread) {
        waitForThread(syncThread);
        delete syncer;
        delete syncThread;
        syncer = nullptr;
        syncThread = nullptr;
        syncEnded = true;
        return;
    }
    for (int i = 0; i < retiredSyncs.size(); ++i) {
        const SyncRun run = retiredSyncs.at(i);
        if (run.thread != finished)
            continue;
        waitForThread(run.thread);
        delete run.worker;
        delete run.thread;
        retiredSyncs.remove(i);
        return;
    }
}

void MainWindow::btnRefreshClick(bool checked)
{
    Q_UNUSED(checked)
    serverList->refreshAll();
}

void MainWindow::btnSettingsClick()
{
    SettingsDialog::showSettings(this);
}

void MainWindow::btnHideClick()
{
    showMinimized();
}

void MainWindow::btnExitClick()
{
    exitLauncher();
}

void MainWindow::gameStartFinished()
{
    exitLauncher();
}

void MainWindow::exitLauncher()
{
    ProcessState::requestExit();
    hide();
    QCoreApplication::quit();
}

void MainWindow::btnJoinGameClick(bool checked)
{
    Q_UNUSED(checked)
    if (!gameReady) {
        MessageDialog::showMessage(this, MessageDialog::Info,
                                   QStringLiteral("Игра ещё не готова. Пожалуйста, подождите."), MessageDialog::OkOnly);
        return;
    }
    const QString nickname = ui->nicknameField->text();
    if (nickname.length() < 3 || nickname.length() > 20) {
        MessageDialog::showMessage(this, MessageDialog::Info, QStringLiteral("Укажите никнейм от 3 до 20 символов"),
                                   MessageDialog::OkOnly);
        return;
    }

    hide();

    GameStarter starter;
    connect(&starter, &GameStarter::startFinished, this, &MainWindow::gameStartFinished);
    starter.setGameDir(gameDir);
    starter.setNickname(nickname);
    starter.setHost(serverList->selectedHost());
    starter.setPort(QString::number(serverList->selectedPort()));
    starter.start(false);
}

void MainWindow::updateFound(const QString &version)
{
    const int answer = MessageDialog::showMessage(
        this, MessageDialog::Info,
        QStringLiteral("Найдено обновление (%1). Вы хотите скачать и установить новую версию?").arg(version),
        MessageDialog::YesNo);
    if (answer != 0)
        Platform::openAddress(QString::fromUtf8(VARO_DOWNLOAD_URL));
}

void MainWindow::waitForThread(QThread *thread)
{
    while (!thread->wait(100)) {
    }
}

void MainWindow::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QMainWindow::mousePressEvent(event);
        return;
    }
    dragOffset = roundedPoint(event->localPos());
    dragging = true;
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    if (!dragging) {
        QMainWindow::mouseMoveEvent(event);
        return;
    }
    move(roundedPoint(event->screenPos()) - dragOffset);
}

void MainWindow::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QMainWindow::mouseReleaseEvent(event);
        return;
    }
    dragging = false;
}

void MainWindow::paintEvent(QPaintEvent *event)
{
    QPainterPath path;
    path.addRoundedRect(QRectF(0, 0, width(), height()), 15, 15);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
    QMainWindow::paintEvent(event);
}
