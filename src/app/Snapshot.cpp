#include "app/Snapshot.h"

#include "common/EngineObserver.h"
#include "display/Canvas.h"
#include "display/PictureViews.h"
#include "display/ResultTables.h"
#include "engine/MeasurementData.h"
#include "settings/MeasurementSettings.h"

#include <QDir>
#include <QFontDatabase>
#include <QImage>
#include <QPainter>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace hs {

namespace {

// The screen's drawing surface, with a band below it: the lowest labels (the orders of the
// vector diagrams) start 8 units above the surface's bottom edge, and the band keeps them whole.
constexpr double kSurfaceWidth = 640;
constexpr double kSurfaceHeight = 360;
constexpr double kBand = 12;

// The grids of the table views as the screen lays them out: widths in twips, 15 to a pixel,
// rows 18 pixels high, 9-point text; the pictures scale all of it like the drawn views.
constexpr double kTwipsPerPixel = 15;
constexpr double kRowPixels = 18;
constexpr double kTextPixels = 12;
constexpr double kGridGap = 16;
const QColor kFixedCell(192, 192, 192);

QString viewName(int view)
{
    switch (view) {
    case 1:
        return QStringLiteral("graph");
    case 2:
        return QStringLiteral("sum");
    case 3:
        return QStringLiteral("voltage");
    case 4:
        return QStringLiteral("current");
    case 5:
        return QStringLiteral("angles");
    case 6:
        return QStringLiteral("waveforms");
    case 7:
        return QStringLiteral("distortion");
    case 8:
        return QStringLiteral("both");
    case 9:
        return QStringLiteral("vectors");
    default:
        return QStringLiteral("view");
    }
}

// A monospaced Japanese font, as in the screen's grids, when one is installed.
QFont gridFont(double pixels)
{
    QFont font;
    for (const QString& family :
         {QStringLiteral("MS Gothic"), QStringLiteral("Noto Sans Mono CJK JP")})
        if (QFontDatabase::hasFamily(family)) {
            font.setFamily(family);
            break;
        }
    font.setPixelSize(std::max(6, static_cast<int>(std::lround(pixels))));
    return font;
}

Qt::Alignment alignmentOf(CellAlignment a)
{
    switch (a) {
    case CellAlignment::Centre:
        return Qt::AlignHCenter;
    case CellAlignment::Right:
        return Qt::AlignRight;
    case CellAlignment::Left:
        break;
    }
    return Qt::AlignLeft;
}

double gridWidth(const ResultGrid& grid, double scale)
{
    double width = 0;
    for (int c = 0; c < grid.columnCount(); ++c)
        width += grid.columnWidth(c) / kTwipsPerPixel * scale;
    return width;
}

// One grid with its left edge at x: header row and order column grey, the others white, thin
// grey cell lines; a text wider than its cell is drawn smaller rather than cut.
void paintGrid(QPainter& painter, const ResultGrid& grid, double x, double scale)
{
    const QFont font = gridFont(kTextPixels * scale);
    const double rowHeight = kRowPixels * scale;
    for (int c = 0; c < grid.columnCount(); ++c) {
        const double w = grid.columnWidth(c) / kTwipsPerPixel * scale;
        for (int r = 0; r < grid.rowCount(); ++r) {
            const QRectF cell(x, r * rowHeight, w, rowHeight);
            const bool fixed = r == 0 || c == 0;
            painter.fillRect(cell, fixed ? kFixedCell : QColor(Qt::white));
            painter.setPen(GridGrey());
            painter.drawRect(cell);
            const QString& text = grid.text(r, c);
            const QRectF area = cell.adjusted(scale, 0, -scale, 0);
            QFont f = font;
            const double width = QFontMetricsF(f).horizontalAdvance(text);
            if (width > area.width() && area.width() > 0)
                f.setPixelSize(std::max(6, static_cast<int>(f.pixelSize() * area.width() / width)));
            painter.setFont(f);
            painter.setPen(Qt::black);
            const CellAlignment a = fixed ? grid.fixedAlignment(c) : grid.dataAlignment(c);
            painter.drawText(area, alignmentOf(a) | Qt::AlignVCenter, text);
        }
        x += w;
    }
}

// A table view of feeder ch: both grids side by side, every row (the screen scrolls them).
QImage renderTableView(int view, const MeasurementSettings& settings, const MeasurementData& data,
                       int ch, double scale)
{
    ResultGridPair grids;
    PrepareResultGrids(grids, settings.MaxHarmonicOrder);
    FillResultTables(grids, view, settings, data, ch);
    const double left = gridWidth(grids[0], scale);
    const double width = left + kGridGap * scale + gridWidth(grids[1], scale);
    const int rows = std::max(grids[0].rowCount(), grids[1].rowCount());
    QImage image(std::max(1, static_cast<int>(std::ceil(width)) + 1),
                 std::max(1, static_cast<int>(std::ceil(rows * kRowPixels * scale)) + 1),
                 QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    paintGrid(painter, grids[0], 0, scale);
    paintGrid(painter, grids[1], left + kGridGap * scale, scale);
    return image;
}

// Writes one picture; empty on success, else the reason.
QString writePicture(const QString& path, const QImage& image)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return path + QStringLiteral(": ") + file.errorString();
    if (!image.save(&file, "PNG", 80)) {
        file.cancelWriting();
        return path + QStringLiteral(": the picture could not be encoded");
    }
    if (!file.commit())
        return path + QStringLiteral(": ") + file.errorString();
    return {};
}

} // namespace

std::vector<int> SnapshotViews()
{
    return {1, 2, 3, 4, 5, 6, 7, 8, 9};
}

QString SnapshotFileName(int view, int feeder)
{
    return QStringLiteral("view%1-%2-F%3.png").arg(view).arg(viewName(view)).arg(feeder);
}

SnapshotResult WriteSnapshot(const QString& folder, const MeasurementSettings& settings,
                             const MeasurementData& data, QSize size)
{
    SnapshotResult result;
    if (!QDir().mkpath(folder)) {
        result.error = folder + QStringLiteral(": the folder could not be made");
        return result;
    }
    const QDir dir(folder);
    const QSizeF logical(kSurfaceWidth, kSurfaceHeight + kBand);
    const int height =
        static_cast<int>(std::lround(size.height() * (kSurfaceHeight + kBand) / kSurfaceHeight));
    for (int f = 0; f <= settings.LastFeeder; ++f) {
        for (const int view : SnapshotViews()) {
            const QImage image =
                IsTableView(view)
                    ? renderTableView(view, settings, data, f, size.width() / kSurfaceWidth)
                    : RenderToImage(logical, size.width(), height, [&](Canvas& canvas) {
                          canvas.clear();
                          DrawPictureView(canvas, view, settings, data, f);
                      });
            const QString path = dir.absoluteFilePath(SnapshotFileName(view, f + 1));
            const QString error = writePicture(path, image);
            if (error.isEmpty())
                result.written << path;
            else if (result.error.isEmpty())
                result.error = error;
        }
    }
    return result;
}

void SaveSnapshot(const QString& folder, const MeasurementSettings& settings,
                  const MeasurementData& data, EngineObserver& observer)
{
    if (folder.isEmpty())
        return;
    const SnapshotResult result = WriteSnapshot(folder, settings, data);
    if (!result.error.isEmpty())
        observer.message(QStringLiteral("snapshot: ") + result.error, QString());
}

} // namespace hs
