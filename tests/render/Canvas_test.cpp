#include "render/Canvas.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <limits>

namespace hs {
namespace {

TEST(Canvas, RecordsColourStyleAndCurrentPosition)
{
    RecordingCanvas canvas;
    canvas.setColour(palette::LightRed);
    canvas.point({10, 20});
    canvas.lineTo({30, 40});
    canvas.setLineStyle(LineStyle::Dotted);
    canvas.line({0, 0}, {5, 5}, GridGrey());
    canvas.lineTo({6, 7});
    ASSERT_EQ(canvas.ops().size(), 4u);
    const CanvasOp& toLine = canvas.ops()[1];
    EXPECT_EQ(toLine.a, QPointF(10, 20));
    EXPECT_EQ(toLine.b, QPointF(30, 40));
    EXPECT_EQ(toLine.colour, QColor(255, 0, 0));
    EXPECT_EQ(canvas.ops()[2].colour, QColor(128, 128, 128));
    EXPECT_EQ(canvas.ops()[2].style, LineStyle::Dotted);
    // A line to starts where the last line ended, in the current colour, not the line's own.
    EXPECT_EQ(canvas.ops()[3].a, QPointF(5, 5));
    EXPECT_EQ(canvas.ops()[3].colour, QColor(255, 0, 0));
    EXPECT_FALSE(canvas.hasNonFinite());
    canvas.point({std::numeric_limits<double>::quiet_NaN(), 1});
    EXPECT_TRUE(canvas.hasNonFinite());
}

TEST(Canvas, PaletteIsTheConsolePalette)
{
    EXPECT_EQ(PaletteColour(palette::Blue), QColor(0, 0, 128));
    EXPECT_EQ(PaletteColour(palette::Brown), QColor(128, 128, 0));
    EXPECT_EQ(PaletteColour(palette::LightGreen), QColor(0, 255, 0));
    EXPECT_EQ(PaletteColour(palette::LightMagenta), QColor(255, 0, 255));
}

TEST(Canvas, PainterScalesLogicalCoordinatesAndSkipsNonFiniteShapes)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const QImage image = RenderToImage(QSizeF(640, 360), 1280, 720, [&](Canvas& c) {
        c.setColour(palette::Blue);
        c.filledBox({100, 100}, {110, 50});
        c.line({nan, 0}, {10, 10}); // left out, the rest still drawn
        c.setColour(palette::LightRed);
        c.filledBox({300, 300}, {302, 200});
    });
    EXPECT_EQ(image.pixelColor(210, 150), QColor(0, 0, 128));
    EXPECT_EQ(image.pixelColor(190, 150), QColor(255, 255, 255));
    EXPECT_EQ(image.pixelColor(602, 500), QColor(255, 0, 0));
}

// The screen keeps its 12-pixel font at every window size: a number centred on a line must sit
// on that line's pixel row whether the 640 x 360 picture is shown at 1:1 or maximised.
TEST(Canvas, MiddleAnchoredTextSitsOnItsLineAtEverySize)
{
    for (const QSize size : {QSize(640, 360), QSize(1280, 720), QSize(1920, 1080), QSize(900, 700)}) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(Qt::white);
        {
            QPainter painter(&image);
            PainterCanvas canvas(painter, QSizeF(640, 360), QSizeF(size));
            canvas.setColour(palette::Black);
            canvas.PrintAt({46, 139}, QStringLiteral(" 5"), TextAnchor::RightMiddle);
            canvas.PrintAt({400, 139}, QStringLiteral("180"), TextAnchor::LeftMiddle);
        }
        const double lineY = 139.0 * size.height() / 360;
        const double leftEnd = 46.0 * size.width() / 640;
        const double rightStart = 400.0 * size.width() / 640;
        int top = size.height(), bottom = -1, right = -1, left = size.width();
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                if (qGray(image.pixel(x, y)) < 128) {
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                    if (x < size.width() / 2)
                        right = std::max(right, x);
                    else
                        left = std::min(left, x);
                }
        ASSERT_GE(bottom, top) << size.width();
        EXPECT_NEAR((top + bottom) / 2.0, lineY, 1.5) << size.width();
        EXPECT_LE(right, leftEnd + 1) << size.width();
        EXPECT_GE(left, rightStart - 1) << size.width();
    }
}

} // namespace
} // namespace hs
