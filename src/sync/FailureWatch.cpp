#include "sync/FailureWatch.h"

#include <QStringList>

#include <algorithm>

void FailureWatch::beginPass()
{
    done = 0;
    failures.clear();
}

void FailureWatch::workDone()
{
    ++done;
}

void FailureWatch::workFailed(const WorkFailure &failure)
{
    if (!failures.contains(failure))
        failures.append(failure);
}

QString FailureWatch::passSignature(const QString &workSignature) const
{
    QStringList lines;
    lines.reserve(failures.size());
    for (const WorkFailure &failure : failures) {
        lines.append(failure.path + QLatin1Char('\n') + failure.member + QLatin1Char('\n')
                     + QString::number(int(failure.step)) + QLatin1Char(' ') + QString::number(int(failure.fault)));
    }
    lines.sort();
    return workSignature + QLatin1Char('\0') + lines.join(QLatin1Char('\0'));
}

FailureWatch::Verdict FailureWatch::endPass(const QString &workSignature, const QString &firstWorkPath)
{
    const QString signature = passSignature(workSignature);
    alike = signature == lastSignature ? alike + 1 : 1;
    lastSignature = signature;
    if (!failures.isEmpty()) {
        stopReason = failures.first();
        stopReasonFailed = true;
    } else {
        stopReason = WorkFailure();
        stopReason.path = firstWorkPath;
        stopReason.step = WorkFailure::Step::Store;
        stopReasonFailed = false;
    }
    if (alike >= PassesBeforeStop)
        return Verdict::Stop;
    if (alike > 1 || (done == 0 && !failures.isEmpty()))
        return Verdict::PauseThenNextPass;
    return Verdict::NextPass;
}

QString FailureWatch::leftText(const WorkFailure &failure, bool failed)
{
    const QString name = failure.member.isEmpty() ? failure.path
                                                  : QStringLiteral("%1 (%2)").arg(failure.member, failure.path);
    if (!failed)
        return QStringLiteral("Ошибка: не удаётся обновить файл ") + name;
    switch (failure.step) {
    case WorkFailure::Step::Write:
        return QStringLiteral("Ошибка: не удалось записать файл ") + name;
    case WorkFailure::Step::Store:
    case WorkFailure::Step::LeadsOutside:
        return QStringLiteral("Ошибка: не удалось сохранить файл ") + name;
    case WorkFailure::Step::Remove:
        return QStringLiteral("Ошибка: не удалось удалить ") + name;
    case WorkFailure::Step::Read:
        return QStringLiteral("Ошибка: не удалось прочитать файл ") + name;
    case WorkFailure::Step::CreateFolder:
        return QStringLiteral("Ошибка: не удалось создать папку ") + name;
    case WorkFailure::Step::EditArchive:
        return QStringLiteral("Ошибка: не удалось изменить архив ") + name;
    }
    return QStringLiteral("Ошибка: ") + name;
}

QString FailureWatch::rightText(const WorkFailure &failure, bool failed)
{
    if (!failed)
        return QStringLiteral(
            "Файл меняется после каждой проверки: закройте мешающие программы и перезапустите лаунчер");
    if (failure.step == WorkFailure::Step::LeadsOutside)
        return QStringLiteral("Путь проходит через ссылку на другую папку: уберите ссылку и перезапустите лаунчер");
    switch (failure.fault) {
    case Platform::FileFault::InUse:
        return QStringLiteral("Файл занят другой программой: закройте её и перезапустите лаунчер");
    case Platform::FileFault::Denied:
        return QStringLiteral("Нет доступа: проверьте права на папку игры и перезапустите лаунчер");
    case Platform::FileFault::NoSpace:
        return QStringLiteral("Недостаточно места на диске: освободите место и перезапустите лаунчер");
    case Platform::FileFault::None:
    case Platform::FileFault::Other:
        break;
    }
    return QStringLiteral("Ошибка диска: проверьте диск и перезапустите лаунчер");
}
