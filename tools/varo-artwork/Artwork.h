// The images of the launcher's artwork, each drawn from nothing by one
// function.

#pragma once

#include <QImage>

// The main window's background.
QImage drawBody();

// Window buttons and the V mark.
QImage drawClose();
QImage drawMinimize();
QImage drawLogo();
QImage drawFavicon();

// The header's controls.
QImage drawHelpButton();
QImage drawSettings();
QImage drawRefresh();
QImage drawHeaderHover();

// Message icons, the repair icon and the player-count pie.
QImage drawInfo();
QImage drawAlert();
QImage drawError();
QImage drawRepair();
QImage drawPieBackground();
QImage drawPieFill();
