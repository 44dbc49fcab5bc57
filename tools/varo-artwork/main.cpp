// varo-artwork: draws the launcher's artwork and saves it as PNG files.
//
//   varo-artwork OUTPUT_DIR
//
// Every image is painted with QPainter on a transparent premultiplied ARGB
// image with antialiasing, so the output is reproducible from these sources alone.
// Works headless with QT_QPA_PLATFORM=offscreen.

#include "Artwork.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QTextStream>

#include <functional>
#include <vector>

namespace {

struct Artwork
{
    const char *fileName;
    std::function<QImage()> draw;
};

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    QTextStream out(stdout);

    const QStringList args = QGuiApplication::arguments();
    if (args.size() != 2) {
        err << "usage: varo-artwork OUTPUT_DIR\n";
        return 2;
    }
    const QDir outputDir(args.at(1));
    if (!QDir().mkpath(outputDir.absolutePath())) {
        err << "cannot create " << outputDir.absolutePath() << "\n";
        return 1;
    }

    const std::vector<Artwork> artwork = {
        {"body.png", drawBody},
        {"close_h.png", drawClose},
        {"minimize_h.png", drawMinimize},
        {"logo.png", drawLogo},
        {"favicon.png", drawFavicon},
        {"helpBtn.png", drawHelpButton},
        {"settings_h.png", drawSettings},
        {"refresh.png", drawRefresh},
        {"headerBtnHover.png", drawHeaderHover},
        {"info.png", drawInfo},
        {"alert.png", drawAlert},
        {"error.png", drawError},
        {"repair.png", drawRepair},
        {"pcount_0.png", drawPieBackground},
        {"pcount_2.png", drawPieFill},
    };

    int failures = 0;
    for (const Artwork &item : artwork) {
        const QString path = outputDir.filePath(QString::fromLatin1(item.fileName));
        const QImage image = item.draw();
        if (image.isNull() || !image.save(path, "PNG")) {
            err << "cannot write " << path << "\n";
            ++failures;
            continue;
        }
        out << path << " (" << image.width() << "x" << image.height() << ")\n";
    }
    return failures == 0 ? 0 : 1;
}
