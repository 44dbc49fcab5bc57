#pragma once

#include <QLabel>
#include <QPixmap>

// The pixmap a label shows (a null one when it shows none), on every Qt 5.
inline QPixmap shownPixmap(const QLabel *label)
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    return label->pixmap(Qt::ReturnByValue);
#else
    const QPixmap *pixmap = label->pixmap();
    return pixmap ? *pixmap : QPixmap();
#endif
}
