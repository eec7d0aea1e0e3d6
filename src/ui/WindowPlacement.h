#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <optional>

class QWidget;

namespace hs {

// Top-level windows open with their frame - caption, title bar buttons and borders - on the
// usable area of their screen (the screen without its panels and task bars), whatever window
// manager frames them.

// The frame position, on `available`, of a frame of size `frame` asked for at `wanted`: moved
// so that all of the frame lies on `available` where it fits, and its top-left corner (the
// caption) always does.
QPoint FramePositionOn(const QRect& available, const QSize& frame, QPoint wanted);

// Opens (or moves) top-level window `window` with its frame's top-left corner `offset` from the
// top-left corner of its screen's usable area (centred on it without an offset), kept on that
// area by FramePositionOn. A window not yet shown takes its layout's size first. The
// position is given as the frame's, so a window manager puts the caption there rather than the
// client area; once the window is shown and framed, a frame that reaches off the area after all
// is moved back onto it.
void PlaceWindow(QWidget& window, std::optional<QPoint> offset = std::nullopt);

} // namespace hs
