#pragma once

#include <QString>
#include <QtGlobal>

// The texts the download queue shows under the progress bar: the size text
// ("1.50/3.00 МБ (512.00 КБ/с)") and the left-hand status text of a transfer.
namespace TransferTexts {

enum class TransferState {
    Starting,
    NetworkRetry,
    Md5Retry,
    Progress,
    Saving,
    Unpacking,
};

// done/total in the unit that total calls for (bytes below 1024 or when
// negative, КБ below 1 MiB, МБ above), followed by the speed in brackets;
// a speed of -1 (not measured yet) is shown as "?".
QString sizeText(qint64 done, qint64 total, qint32 speed);

// The left-hand status text. With an empty archive the one-name form names
// the file; otherwise the two-name form names the member and its archive.
// error and seconds are used by the retry states only.
QString leftText(TransferState state, const QString &name, const QString &archive, qint32 error, quint32 seconds);

} // namespace TransferTexts
