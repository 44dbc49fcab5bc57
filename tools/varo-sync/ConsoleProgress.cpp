#include "ConsoleProgress.h"

#include "platform/Platform.h"

ConsoleProgress::ConsoleProgress(QObject *parent)
    : QObject(parent)
{
    sinceLastLine.start();
}

void ConsoleProgress::printLine(const QString &text)
{
    Platform::printText(Platform::Stream::Output, text + QLatin1Char('\n'));
    sinceLastLine.restart();
}

void ConsoleProgress::setProgressText(const QString &newLeft, const QString &newRight)
{
    const bool leftChanged = newLeft != left;
    const bool rightChanged = newRight != right;
    left = newLeft;
    right = newRight;
    if (!leftChanged && !(rightChanged && sinceLastLine.elapsed() >= 1000))
        return;
    QString line = QStringLiteral("[%1%] ").arg(percent, 3) + left;
    if (!right.isEmpty())
        line += QStringLiteral(" | ") + right;
    printLine(line);
}

void ConsoleProgress::setProgressState(quint64 currentValue, quint64 maxValue)
{
    if (maxValue == 0)
        percent = 0;
    else if (currentValue >= maxValue)
        percent = 100;
    else
        percent = int(currentValue * 100 / maxValue);
}
