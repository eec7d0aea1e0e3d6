#include "ui/WindowPlacement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace hs {

namespace {

QRect availableArea(const QWidget& window)
{
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

// Watches a window: at its first exposure after each show the frame is known (the window
// manager has framed it), and a frame that reaches off the usable area is moved back onto it.
class FrameKeeper : public QObject {
public:
    static constexpr const char* kName = "FrameKeeper";

    explicit FrameKeeper(QWidget& window) : QObject(&window), window_(window)
    {
        setObjectName(QLatin1String(kName));
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        QWindow* handle = window_.windowHandle();
        if (watched == &window_ && event->type() == QEvent::Show && handle) {
            if (watchedHandle_ != handle) {
                handle->installEventFilter(this);
                watchedHandle_ = handle;
            }
            pending_ = true;
        } else if (watched == handle && event->type() == QEvent::Expose && pending_ &&
                   handle->isExposed()) {
            pending_ = false;
            keepOnScreen();
        }
        return false;
    }

private:
    void keepOnScreen()
    {
        const QRect available = availableArea(window_);
        const QRect frame = window_.frameGeometry();
        if (available.isEmpty() || available.contains(frame))
            return;
        const QPoint to = FramePositionOn(available, frame.size(), frame.topLeft());
        if (to != frame.topLeft())
            window_.move(to);
    }

    QWidget& window_;
    QWindow* watchedHandle_ = nullptr;
    bool pending_ = false;
};

} // namespace

QPoint FramePositionOn(const QRect& available, const QSize& frame, QPoint wanted)
{
    if (available.isEmpty())
        return wanted;
    const int x = std::min(wanted.x(), available.right() + 1 - frame.width());
    const int y = std::min(wanted.y(), available.bottom() + 1 - frame.height());
    return {std::max(x, available.left()), std::max(y, available.top())};
}

void PlaceWindow(QWidget& window, std::optional<QPoint> offset)
{
    if (!window.isVisible() && !window.testAttribute(Qt::WA_Resized))
        window.adjustSize();
    const QRect available = availableArea(window);
    const QSize frame = window.frameGeometry().size();
    const QPoint wanted = offset
                              ? available.topLeft() + *offset
                              : available.center() - QPoint(frame.width() / 2, frame.height() / 2);
    const QPoint to = FramePositionOn(available, frame, wanted);
    if (!window.findChild<QObject*>(QLatin1String(FrameKeeper::kName), Qt::FindDirectChildrenOnly))
        new FrameKeeper(window);
    // Moved before its native window exists, a window is given its position as the frame's, so
    // that a window manager puts the frame there, not the client area with the caption above it;
    // a window shown before has its frame's size and moves by it.
    window.move(to);
}

} // namespace hs
