#include "render/Canvas.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>

namespace hs {

namespace {

bool finite(QPointF p)
{
    return std::isfinite(p.x()) && std::isfinite(p.y());
}

} // namespace

QColor PaletteColour(int number)
{
    static const QColor colours[16] = {
        QColor(0, 0, 0),       QColor(0, 0, 128),   QColor(0, 128, 0),   QColor(0, 128, 128),
        QColor(128, 0, 0),     QColor(128, 0, 128), QColor(128, 128, 0), QColor(192, 192, 192),
        QColor(128, 128, 128), QColor(0, 0, 255),   QColor(0, 255, 0),   QColor(0, 255, 255),
        QColor(255, 0, 0),     QColor(255, 0, 255), QColor(255, 255, 0), QColor(255, 255, 255),
    };
    return colours[((number % 16) + 16) % 16];
}

QColor GridGrey()
{
    return QColor(128, 128, 128);
}

PainterCanvas::PainterCanvas(QPainter& painter, QSizeF logicalSize, QSizeF deviceSize,
                             int fontPixels)
    : Canvas(logicalSize), painter_(painter),
      sx_(logicalSize.width() > 0 ? deviceSize.width() / logicalSize.width() : 1.0),
      sy_(logicalSize.height() > 0 ? deviceSize.height() / logicalSize.height() : 1.0)
{
    QFont font = painter_.font();
    font.setPixelSize(std::max(6, fontPixels));
    painter_.setFont(font);
    painter_.setRenderHint(QPainter::Antialiasing, false);
}

QPointF PainterCanvas::map(QPointF p) const
{
    return {p.x() * sx_, p.y() * sy_};
}

void PainterCanvas::usePen(const QColor& colour)
{
    QPen pen(colour);
    pen.setCosmetic(true);
    pen.setWidth(1);
    pen.setStyle(lineStyle() == LineStyle::Dotted ? Qt::DotLine : Qt::SolidLine);
    painter_.setPen(pen);
}

void PainterCanvas::clear()
{
    const QRectF all(QPointF(0, 0), map(QPointF(logicalSize().width(), logicalSize().height())));
    painter_.fillRect(all, Qt::white);
    moveTo(QPointF(0, 0));
}

void PainterCanvas::point(QPointF p)
{
    if (!finite(p))
        return;
    moveTo(p);
    usePen(colour());
    painter_.drawPoint(map(p));
}

void PainterCanvas::line(QPointF a, QPointF b, std::optional<QColor> colour)
{
    if (!finite(a) || !finite(b))
        return;
    moveTo(b);
    usePen(colour.value_or(this->colour()));
    painter_.drawLine(map(a), map(b));
}

void PainterCanvas::box(QPointF a, QPointF b)
{
    if (!finite(a) || !finite(b))
        return;
    usePen(colour());
    painter_.setBrush(Qt::NoBrush);
    painter_.drawRect(QRectF(map(a), map(b)).normalized());
}

void PainterCanvas::filledBox(QPointF a, QPointF b)
{
    if (!finite(a) || !finite(b))
        return;
    QRectF r = QRectF(map(a), map(b)).normalized();
    // A bar thinner than a pixel still shows as one pixel.
    if (r.width() < 1)
        r.setWidth(1);
    if (r.height() < 1)
        r.setHeight(1);
    painter_.fillRect(r, colour());
}

void PainterCanvas::PrintAt(QPointF p, const QString& text, TextAnchor anchor)
{
    if (!finite(p))
        return;
    painter_.setPen(colour());
    const QPointF at = map(p);
    const QFontMetricsF metrics(painter_.font());
    if (anchor == TextAnchor::TopLeft) {
        painter_.drawText(QPointF(at.x(), at.y() + metrics.ascent()), text);
        return;
    }
    // The font keeps its pixel size however large the surface is shown, so the text is centred
    // here, in device pixels, rather than by an offset in logical units.
    const QRectF ink = metrics.tightBoundingRect(text);
    const double baseline = at.y() - (ink.top() + ink.bottom()) / 2;
    const double x =
        anchor == TextAnchor::RightMiddle ? at.x() - metrics.horizontalAdvance(text) : at.x();
    painter_.drawText(QPointF(x, baseline), text);
}

void RecordingCanvas::add(CanvasOp::Kind kind, QPointF a, QPointF b, const QColor& colour,
                          const QString& text, TextAnchor anchor)
{
    CanvasOp op;
    op.kind = kind;
    op.a = a;
    op.b = b;
    op.colour = colour;
    op.style = lineStyle();
    op.text = text;
    op.anchor = anchor;
    ops_.push_back(op);
}

void RecordingCanvas::clear()
{
    add(CanvasOp::Clear, {}, {}, colour());
    moveTo(QPointF(0, 0));
}

void RecordingCanvas::point(QPointF p)
{
    add(CanvasOp::Point, p, p, colour());
    moveTo(p);
}

void RecordingCanvas::line(QPointF a, QPointF b, std::optional<QColor> colour)
{
    add(CanvasOp::Line, a, b, colour.value_or(this->colour()));
    moveTo(b);
}

void RecordingCanvas::box(QPointF a, QPointF b)
{
    add(CanvasOp::Box, a, b, colour());
}

void RecordingCanvas::filledBox(QPointF a, QPointF b)
{
    add(CanvasOp::FilledBox, a, b, colour());
}

void RecordingCanvas::PrintAt(QPointF p, const QString& text, TextAnchor anchor)
{
    add(CanvasOp::Text, p, p, colour(), text, anchor);
}

std::vector<CanvasOp> RecordingCanvas::ofKind(CanvasOp::Kind kind) const
{
    std::vector<CanvasOp> out;
    std::copy_if(ops_.begin(), ops_.end(), std::back_inserter(out),
                 [kind](const CanvasOp& op) { return op.kind == kind; });
    return out;
}

std::vector<CanvasOp> RecordingCanvas::texts(const QString& text) const
{
    std::vector<CanvasOp> out;
    std::copy_if(ops_.begin(), ops_.end(), std::back_inserter(out),
                 [&](const CanvasOp& op) { return op.kind == CanvasOp::Text && op.text == text; });
    return out;
}

bool RecordingCanvas::hasNonFinite() const
{
    return std::any_of(ops_.begin(), ops_.end(),
                       [](const CanvasOp& op) { return !finite(op.a) || !finite(op.b); });
}

QImage RenderToImage(QSizeF logicalSize, int width, int height,
                     const std::function<void(Canvas&)>& draw)
{
    QImage image(std::max(1, width), std::max(1, height), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    const int fontPixels = std::max(8, height / 30);
    PainterCanvas canvas(painter, logicalSize, QSizeF(image.width(), image.height()), fontPixels);
    draw(canvas);
    return image;
}

} // namespace hs
