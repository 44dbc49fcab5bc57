#pragma once

#include "files/WorkFailure.h"

#include <QString>
#include <QVector>

// Watches the passes of a sync run for work that cannot get done. A pass
// with work is followed by another pass; when a file cannot be written,
// replaced or deleted (permissions, a read-only medium, a file that another
// program holds open), or what is stored does not stay, every pass would plan
// the same work again, for ever. The watch compares each pass with the one
// before: the work it planned and the failures it met. Three passes in a row
// alike end the run, naming the first failure.
class FailureWatch final
{
public:
    // What the run does after a pass with work.
    enum class Verdict {
        NextPass,          // something changed: go on at once
        PauseThenNextPass, // nothing could be done, or the work came back: wait a little first
        Stop,              // the same for the third pass in a row: end the run
    };

    static constexpr int PassesBeforeStop = 3;

    void beginPass();
    void workDone();
    void workFailed(const WorkFailure &failure);

    // Ends a pass that had work. workSignature identifies the work the pass
    // planned; firstWorkPath names its first item, for a stop without a
    // recorded failure.
    Verdict endPass(const QString &workSignature, const QString &firstWorkPath);

    // What a stop reports: the first failure of the last pass, or, when the
    // pass met none (what it stored did not stay), its first work item.
    const WorkFailure &reported() const { return stopReason; }
    bool reportedFailed() const { return stopReasonFailed; }

    // The player's two texts for a stop: what could not be done, and why
    // with what to do about it.
    static QString leftText(const WorkFailure &failure, bool failed);
    static QString rightText(const WorkFailure &failure, bool failed);

private:
    QString passSignature(const QString &workSignature) const;

    int done = 0;
    QVector<WorkFailure> failures;
    QString lastSignature;
    int alike = 0;
    WorkFailure stopReason;
    bool stopReasonFailed = false;
};
