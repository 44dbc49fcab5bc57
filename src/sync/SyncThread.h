#pragma once

#include "platform/AppPaths.h"
#include "sync/FailureWatch.h"
#include "sync/StateSaver.h"
#include "sync/SyncHost.h"

#include <QObject>
#include <QSet>
#include <QString>

#include <memory>

class QNetworkAccessManager;
class ListTrust;

class FileSystem;
class SyncDiffHandler;

// Brings the game folder into line with the remote sync list. A plain worker
// that its owner moves to a thread of its own; start() runs passes until one
// finds nothing to do: fetch and verify the list, tidy the folder, convert
// archives, scan, compare, delete extras, download, rebuild touched archives.
// Every stage blocks the worker's thread; the window hears of it only
// through the signals.
class SyncThread final : public QObject, public SyncHost
{
    Q_OBJECT

public:
    // Which activity the progress slots describe.
    enum ProgressMode : qint32 {
        NoProgress = 0,
        OldCopyCheck = 1,
        ImgConversion = 2,
        Reservation = 3,
        Download = 4,
        IntegrityCheck = 5,
        Rebuild = 6,
    };

    // How the last run ended, for callers without a window (the headless
    // client) that need more than the signals say.
    enum class Outcome { Running, Ready, ListFailure, SpaceFailure, RepeatedFailure, Stopped };

    // paths names the game folder and the remembered state; the sync list
    // comes from apiBase, the game files from mirrorBase.
    SyncThread(const AppPaths &paths, const QString &apiBase, const QString &mirrorBase, QObject *parent = nullptr);
    ~SyncThread() override;

    Outcome outcome() const { return runOutcome; }

    // SyncHost
    QSet<QString> &pendingRebuilds() override { return rebuilds; }
    void saveCacheListing() override;
    void finishAndQuit() override;
    void workDone() override;
    void workFailed(const WorkFailure &failure) override;

signals:
    void setProgressText(const QString &left, const QString &right);
    void setProgressState(quint64 currentValue, quint64 maxValue);
    void finish(bool gameReady);

public slots:
    void start();
    void updateProgressBar(quint64 total, quint64 done) override;
    void updateCurrentFile(const QString &currentFile, const QString &speed = QString()) override;

private:
    // What a stage tells the pass: go on to the next stage, the game is
    // ready (nothing to fetch or delete), or the run has ended.
    enum class Next { Go, Ready, EndRun };
    enum When { Always, OldCopyOnly };
    struct Stage
    {
        const char *text; // UTF-8; none keeps the text of the stage before
        bool emptyBar;
        ProgressMode mode;
        When when;
        Next (SyncThread::*run)();
    };
    static const Stage PassStages[];

    void resetPass();
    void beginStage(const QString &text, bool emptyBar = false);
    Next runStage(const Stage &stage);
    bool stopRequested();
    void endRun(Outcome outcome);

    bool fetchSyncList();
    // For a project that signs its lists: fetches the list's signature and
    // checks it (ListTrust). False, with the reason set, when the list must
    // not be acted on.
    bool checkListSignature(const QByteArray &list, ListTrust &trust, bool received, const QByteArray &signature);
    Next fetchSyncListStage();
    Next removeTempFiles();
    Next normalizeNames();
    Next convertImgArchives();
    Next scanLocalFiles();
    Next checkOldCopy();
    Next checkIntegrity();
    Next removeExtraFiles();
    Next saveStateStage();
    Next prepareUpdate();
    Next reserveDirectories();
    Next checkSpace();
    Next download();
    Next rebuildUpdatedArchives();
    // After a pass with work: false when the run must end because the same
    // work failed pass after pass (the player is told which and why).
    bool continueAfterPass();
    // Sleeps ms milliseconds, waking early when the launcher closes.
    static void pause(int ms);

    ProgressMode progressMode = NoProgress;
    QSet<QString> rebuilds;
    AppPaths paths;
    QString apiBase;
    QString mirrorBase;
    // While a run goes on: the manager its requests to the API share.
    std::unique_ptr<QNetworkAccessManager> network;
    QString gameDir;
    StateSaver stateSaver;
    FileSystem *remoteListing = nullptr;
    FileSystem *cacheListing = nullptr;
    FileSystem *localListing = nullptr;
    SyncDiffHandler *diff = nullptr;
    Outcome runOutcome = Outcome::Running;
    // The sync list as verified by an earlier pass of this run, and the
    // version the server gave it (ETag, Last-Modified).
    QByteArray verifiedList;
    QByteArray verifiedListTag;
    QByteArray verifiedListModified;
    // The hash file of the list this pass works from.
    QByteArray listHash;
    // Why the last fetch refused the list, for the status line; empty when
    // there is nothing more to say than that it failed.
    QString listFailureReason;
    FailureWatch failureWatch;
    // The remembered state was empty at the start of this pass.
    bool oldCopy = false;
    bool finishSent = false;
};
