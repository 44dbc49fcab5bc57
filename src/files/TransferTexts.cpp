#include "files/TransferTexts.h"

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1048576;

QString fixed(qint64 value, qint64 unit)
{
    return QString::number(double(value) / double(unit), 'f', 2);
}

QString speedText(qint32 speed)
{
    if (speed == -1)
        return QStringLiteral(" (? МБ/с)");
    if (speed < KiB)
        return QStringLiteral(" (%1 Байт/с)").arg(speed);
    if (speed < MiB)
        return QStringLiteral(" (%1 КБ/с)").arg(fixed(speed, KiB));
    return QStringLiteral(" (%1 МБ/с)").arg(fixed(speed, MiB));
}

} // namespace

namespace TransferTexts {

QString sizeText(qint64 done, qint64 total, qint32 speed)
{
    QString text;
    if (total < KiB)
        text = QStringLiteral("%1/%2 Байт").arg(done).arg(total);
    else if (total < MiB)
        text = QStringLiteral("%1/%2 КБ").arg(fixed(done, KiB), fixed(total, KiB));
    else
        text = QStringLiteral("%1/%2 МБ").arg(fixed(done, MiB), fixed(total, MiB));
    return text + speedText(speed);
}

QString leftText(TransferState state, const QString &name, const QString &archive, qint32 error, quint32 seconds)
{
    // The multi-argument arg() fills every marker in one pass, so a "%1"
    // inside a path is never taken for a marker of its own.
    const bool member = !archive.isEmpty();
    switch (state) {
    case TransferState::Starting:
    case TransferState::Progress:
        return member ? QStringLiteral("%1 (%2)...").arg(name, archive) : QStringLiteral("%1...").arg(name);
    case TransferState::NetworkRetry:
        return member ? QStringLiteral("%1 (%2): ошибка сети (#%3), повтор через %4...")
                            .arg(name, archive, QString::number(error), QString::number(seconds))
                      : QStringLiteral("%1: ошибка сети (#%2), повтор через %3...")
                            .arg(name, QString::number(error), QString::number(seconds));
    case TransferState::Md5Retry:
        return member ? QStringLiteral("%1 (%2): неверный md5-хэш, повтор через %3...")
                            .arg(name, archive, QString::number(seconds))
                      : QStringLiteral("%1: неверный md5-хэш, повтор через %2...").arg(name, QString::number(seconds));
    case TransferState::Saving:
        return member ? QStringLiteral("%1 (%2): сохранение...").arg(name, archive)
                      : QStringLiteral("%1: сохранение...").arg(name);
    case TransferState::Unpacking:
        return member ? QStringLiteral("%1 (%2): разархивирование...").arg(name, archive)
                      : QStringLiteral("%1: разархивирование...").arg(name);
    }
    return QString();
}

} // namespace TransferTexts
