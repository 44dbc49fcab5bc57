#pragma once

#include "app/DialogHost.h"
#include "platform/AppPaths.h"

#include <QImage>
#include <QMainWindow>
#include <QPoint>
#include <QString>
#include <QVector>

class AnimBgButton;
class AnimButton;
class CustomLabel;
class GameSettings;
class HeaderButton;
class LoadThread;
class MainWindowLayout;
class NewsList;
class QGraphicsDropShadowEffect;
class QThread;
class ServerList;
class SyncThread;

// The launcher's only top-level window and the controller of what the
// player sees. It owns the loading and synchronisation workers and their
// threads, turns their signals into the progress texts and bar, the server
// list and the news list, decides when joining is allowed, and starts the
// game. States: loading (until loadFinish), synchronising (until the sync
// worker reports success), ready (joining allowed), then starting or
// closing.
class MainWindow final : public QMainWindow, public DialogHost
{
    Q_OBJECT

public:
    // Width in pixels of the progress bar's fill at 100 %.
    static constexpr int ProgressBarWidth = 470;

    // paths names the launcher's own files and the game folder.
    explicit MainWindow(const AppPaths &paths, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Starts the loading worker on a thread of its own. Called once, after
    // the window has been shown.
    void startLoading();

    // Shows the dimming overlay while at least one modal dialog is open over
    // the window; every on must be matched by an off.
    void setOverlay(bool on) override;
    int overlayDepth() const { return overlayCount; }

    // True once the last synchronisation ended with success.
    bool isGameReady() const override { return gameReady; }
    // True while a synchronisation worker exists (from loadFinish until its
    // thread has finished and been cleaned up).
    bool isSynchronising() const { return syncThread != nullptr; }
    // True once the last synchronisation has ended, ready or not (stopped by
    // a full disk or by files it could not store): a repair may start anew.
    bool hasSyncEnded() const override { return syncEnded; }

    GameSettings &settings() override { return *gameSettings; }
    const AppPaths &paths() const override { return appPaths; }
    QWidget *dialogParent() override { return this; }
    void synchroniseAgain() override { loadFinish(); }

    // The nickname kept by the multiplayer client, reduced to the characters
    // that the nickname field accepts: every character but A-Z, a-z and "_"
    // removed, then underscores at both ends.
    static QString cleanNickname(const QString &stored);
    // Pixels of the bar's fill for current of maximum: 0 for a maximum of 0,
    // the full width when current exceeds maximum.
    static int progressFill(quint64 currentValue, quint64 maxValue);

public slots:
    void btnExitClick();
    void btnHideClick();
    void btnSettingsClick();
    void btnJoinGameClick(bool checked = false);
    void btnRefreshClick(bool checked = false);
    void serverListLoaded();
    void newsListLoaded();
    void newsImageLoaded(uint idx, const QImage &image);
    void loadFinish();
    void gameStartFinished();
    void syncerFinish(bool ready);
    void syncerThreadFinished();
    void syncerSetProgressText(const QString &left, const QString &right);
    void syncerSetProgressState(quint64 currentValue, quint64 maxValue);
    void updateFound(const QString &version);
    void updateIPv4(uint addr);
    // The file mirror the load worker chose, used by every sync run after.
    void mirrorChosen(const QString &mirror);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    struct SyncRun
    {
        QThread *thread = nullptr;
        SyncThread *worker = nullptr;
    };

    void setupCaptions();
    void setupLinks();
    void exitLauncher();
    static void waitForThread(QThread *thread);

    MainWindowLayout *ui;
    bool dragging = false;
    QPoint dragOffset;
    AppPaths appPaths;
    // Read once at start-up: every worker of this window uses the same.
    QString apiBase;
    QString mirrorBase;
    QString gameDir;
    bool gameReady = false;
    bool syncEnded = false;
    AnimButton *exitAnim = nullptr;
    AnimButton *hideAnim = nullptr;
    AnimButton *settingsAnim = nullptr;
    AnimButton *refreshAnim = nullptr;
    AnimBgButton *joinAnim = nullptr;
    ServerList *serverList = nullptr;
    NewsList *newsList = nullptr;
    QThread *loadThread = nullptr;
    LoadThread *loader = nullptr;
    QThread *syncThread = nullptr;
    SyncThread *syncer = nullptr;
    // Sync runs replaced by a new one before their thread's end was handled.
    QVector<SyncRun> retiredSyncs;
    HeaderButton *siteHover = nullptr;
    HeaderButton *forumHover = nullptr;
    HeaderButton *donateHover = nullptr;
    HeaderButton *helpHover = nullptr;
    CustomLabel *serversCaption = nullptr;
    CustomLabel *newsCaption = nullptr;
    CustomLabel *buildCaption = nullptr;
    CustomLabel *nicknameCaption = nullptr;
    CustomLabel *progressLeft = nullptr;
    CustomLabel *progressRight = nullptr;
    QGraphicsDropShadowEffect *progressShadow = nullptr;
    int overlayCount = 0;
    GameSettings *gameSettings = nullptr;
    QString lastLeftText;
    QString lastRightText;
};
