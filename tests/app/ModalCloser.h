#pragma once

// Test helper: closes the modal dialogs that the code under test opens, so
// that a test does not block in their event loops. Every few milliseconds it
// looks at the active modal widget; a dialog it has not seen before is
// handed to the action, whose result closes it (a negative result leaves it
// open, for an action that closes it itself). The texts of message dialogs
// are recorded.

#include "app/MessageDialog.h"

#include <QApplication>
#include <QDialog>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

class ModalCloser final
{
public:
    using Action = std::function<int(QDialog *dialog)>;

    explicit ModalCloser(Action onDialog = Action())
        : action(std::move(onDialog))
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] { poll(); });
        timer.start();
    }

    QStringList messages;
    int dialogsSeen = 0;

private:
    void poll()
    {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        for (const QPointer<QDialog> &known : qAsConst(handled)) {
            if (known == dialog)
                return;
        }
        handled.append(dialog);
        ++dialogsSeen;
        if (auto *message = qobject_cast<MessageDialog *>(dialog))
            messages << message->text();
        const int result = action ? action(dialog) : int(QDialog::Accepted);
        if (result >= 0)
            dialog->done(result);
    }

    Action action;
    QTimer timer;
    QList<QPointer<QDialog>> handled;
};
