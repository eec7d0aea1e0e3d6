#include "render/TablePictures.h"

#include "render/Canvas.h"
#include "render/ResultTables.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"

#include <QFontDatabase>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace hs {

namespace {

// The grids of the table views as the screen lays them out: widths in twips, 15 to a pixel,
// rows 18 pixels high, 9-point text; the pictures scale all of it like the drawn views.
constexpr double kTwipsPerPixel = 15;
constexpr double kRowPixels = 18;
constexpr double kTextPixels = 12;
constexpr double kGridGap = 16;
const QColor kFixedCell(192, 192, 192);

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

} // namespace

// A table view of feeder ch: both grids side by side, every row (the screen scrolls them).
QImage RenderTableView(int view, const MeasurementSettings& settings, const MeasurementData& data,
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

} // namespace hs
