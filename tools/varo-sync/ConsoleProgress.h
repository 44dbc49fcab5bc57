#pragma once

#include <QObject>
#include <QString>

#include <QElapsedTimer>

// Prints the synchronisation's progress texts as lines on stdout, with the
// bar's percentage: every new left text at once, changes of the right text
// alone (sizes and speed during a download) at most once a second.
class ConsoleProgress final : public QObject
{
    Q_OBJECT

public:
    explicit ConsoleProgress(QObject *parent = nullptr);

    void printLine(const QString &text);

public slots:
    void setProgressText(const QString &left, const QString &right);
    void setProgressState(quint64 currentValue, quint64 maxValue);

private:
    QString left;
    QString right;
    int percent = 0;
    QElapsedTimer sinceLastLine;
};
