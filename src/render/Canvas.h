#pragma once

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QSizeF>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class QPainter;

namespace hs {

// The 16-colour console palette by number: 0 black, 1 blue, 2 green, 3 cyan, 4 red, 5 magenta,
// 6 brown, 7 light grey, 8 grey, 9 light blue, 10 light green, 11 light cyan, 12 light red,
// 13 light magenta, 14 yellow, 15 white.
namespace palette {
constexpr int Black = 0;
constexpr int Blue = 1;
constexpr int Green = 2;
constexpr int Cyan = 3;
constexpr int Red = 4;
constexpr int Magenta = 5;
constexpr int Brown = 6;
constexpr int LightGrey = 7;
constexpr int Grey = 8;
constexpr int LightBlue = 9;
constexpr int LightGreen = 10;
constexpr int LightCyan = 11;
constexpr int LightRed = 12;
constexpr int LightMagenta = 13;
constexpr int Yellow = 14;
constexpr int White = 15;
} // namespace palette

// The colour of a palette number (numbers outside 0..15 wrap into it).
QColor PaletteColour(int number);
// The grey of grid lines, given directly rather than by palette number.
QColor GridGrey();

enum class LineStyle { Solid, Dotted };

// Which point of a text the position given to PrintAt is: its top left corner, or the middle of
// its left or right edge (the text's ink centred on the position's height, on the device, so a
// number stays on its scale line whatever size the surface is shown at).
enum class TextAnchor { TopLeft, LeftMiddle, RightMiddle };

// The drawing vocabulary of the screens, in logical coordinates of the surface (the
// measurement screen's picture is 640 by 360, the preparation screen's is in twips), origin at
// the top left, y growing downwards. A point, a line and a line-to move the current position.
class Canvas {
public:
    explicit Canvas(QSizeF logicalSize) : logicalSize_(logicalSize) {}
    virtual ~Canvas() = default;

    QSizeF logicalSize() const { return logicalSize_; }
    QColor colour() const { return colour_; }
    LineStyle lineStyle() const { return style_; }
    QPointF currentPosition() const { return position_; }

    virtual void clear() = 0;
    void setColour(int paletteNumber) { setColour(PaletteColour(paletteNumber)); }
    virtual void setColour(const QColor& colour) { colour_ = colour; }
    virtual void setLineStyle(LineStyle style) { style_ = style; }
    // One point in the current colour; (x, y) becomes the current position.
    virtual void point(QPointF p) = 0;
    // A straight line in the given colour, else the current one; b becomes the current position.
    virtual void line(QPointF a, QPointF b, std::optional<QColor> colour = std::nullopt) = 0;
    // From the current position to p, which then becomes the current position.
    void lineTo(QPointF p, std::optional<QColor> colour = std::nullopt)
    {
        line(position_, p, colour);
    }
    // Outline and filled rectangles between two corners, in the current colour.
    virtual void box(QPointF a, QPointF b) = 0;
    virtual void filledBox(QPointF a, QPointF b) = 0;
    // Text placed at p by the anchor (top left corner unless told), in the current colour and
    // the surface's font.
    virtual void PrintAt(QPointF p, const QString& text,
                         TextAnchor anchor = TextAnchor::TopLeft) = 0;

protected:
    void moveTo(QPointF p) { position_ = p; }

private:
    QSizeF logicalSize_;
    QColor colour_ = QColor(0, 0, 0);
    LineStyle style_ = LineStyle::Solid;
    QPointF position_;
};

// Paints with a QPainter onto a device of deviceSize pixels (a widget, an image): logical
// coordinates are scaled to the device, lines stay one pixel wide, text is drawn at fontPixels.
// Shapes with a coordinate that is not a finite number are left out, so a bad value never stops
// the rest of a drawing.
class PainterCanvas : public Canvas {
public:
    PainterCanvas(QPainter& painter, QSizeF logicalSize, QSizeF deviceSize, int fontPixels = 12);

    void clear() override;
    void point(QPointF p) override;
    void line(QPointF a, QPointF b, std::optional<QColor> colour = std::nullopt) override;
    void box(QPointF a, QPointF b) override;
    void filledBox(QPointF a, QPointF b) override;
    void PrintAt(QPointF p, const QString& text,
                 TextAnchor anchor = TextAnchor::TopLeft) override;

private:
    QPointF map(QPointF p) const;
    void usePen(const QColor& colour);

    QPainter& painter_;
    double sx_;
    double sy_;
};

// One call made on a RecordingCanvas, with the colour and style in force when it was made.
struct CanvasOp {
    enum Kind { Clear, Point, Line, Box, FilledBox, Text };
    Kind kind = Clear;
    QPointF a;
    QPointF b;
    QColor colour;
    LineStyle style = LineStyle::Solid;
    QString text;
    TextAnchor anchor = TextAnchor::TopLeft;
};

// Records every drawing call, coordinates exactly as given (not-a-number included), for tests.
class RecordingCanvas : public Canvas {
public:
    explicit RecordingCanvas(QSizeF logicalSize = QSizeF(640, 360)) : Canvas(logicalSize) {}

    void clear() override;
    void point(QPointF p) override;
    void line(QPointF a, QPointF b, std::optional<QColor> colour = std::nullopt) override;
    void box(QPointF a, QPointF b) override;
    void filledBox(QPointF a, QPointF b) override;
    void PrintAt(QPointF p, const QString& text,
                 TextAnchor anchor = TextAnchor::TopLeft) override;

    const std::vector<CanvasOp>& ops() const { return ops_; }
    // The calls of one kind, in order.
    std::vector<CanvasOp> ofKind(CanvasOp::Kind kind) const;
    // The text calls whose text is exactly `text`.
    std::vector<CanvasOp> texts(const QString& text) const;
    // True when some call has a coordinate that is not a finite number.
    bool hasNonFinite() const;

private:
    void add(CanvasOp::Kind kind, QPointF a, QPointF b, const QColor& colour,
             const QString& text = {}, TextAnchor anchor = TextAnchor::TopLeft);

    std::vector<CanvasOp> ops_;
};

// Renders a drawing of the given logical size into a white image of width x height pixels.
QImage RenderToImage(QSizeF logicalSize, int width, int height,
                     const std::function<void(Canvas&)>& draw);

} // namespace hs
