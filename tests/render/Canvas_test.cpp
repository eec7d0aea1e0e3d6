#include "render/Canvas.h"

#include <QImage>

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

} // namespace
} // namespace hs
