#include "dialogs/WindowPlacement.h"

#include <QApplication>
#include <QMargins>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace {

// The window beside which this one opens: its parent's, else the one the user works in.
const QWidget* neighbourOf(const QWidget* window)
{
    if (const QWidget* parent = window->parentWidget())
        return parent->window();
    const QWidget* active = QApplication::activeWindow();
    return active != window ? active : nullptr;
}

// A window's frame is known only once it is shown: room for a title bar and borders, or the neighbour's
// frame, drawn by the same window manager, where that is larger. (A maximised neighbour may have lost
// its borders, so its frame alone is not enough.)
QMargins expectedFrame(const QWidget* neighbour)
{
    QMargins frame(8, 40, 8, 8);
    if (neighbour && neighbour->isVisible() && neighbour->windowHandle()) {
        const QMargins known = neighbour->windowHandle()->frameMargins();
        frame = QMargins(std::max(frame.left(), known.left()), std::max(frame.top(), known.top()),
                         std::max(frame.right(), known.right()), std::max(frame.bottom(), known.bottom()));
    }
    return frame;
}

QScreen* openingScreen(const QWidget* window)
{
    if (const QWidget* neighbour = neighbourOf(window))
        if (QScreen* screen = neighbour->screen())
            return screen;
    return window->screen();
}

} // namespace

void resizeWithinScreen(QWidget* window, const QSize& size)
{
    QScreen* screen = openingScreen(window);
    if (!screen) {
        window->resize(size);
        return;
    }
    const QRect area = screen->availableGeometry();
    const QMargins frame = expectedFrame(neighbourOf(window));
    const QSize room(area.width() - frame.left() - frame.right(), area.height() - frame.top() - frame.bottom());
    const QSize fitted = size.boundedTo(room).expandedTo(QSize(1, 1));
    window->resize(fitted);
    if (fitted == size && window->parentWidget())
        return;
    // A position given before the window is shown is that of its frame.
    const QSize outer = fitted.grownBy(frame);
    window->move(area.x() + std::max(0, (area.width() - outer.width()) / 2),
                 area.y() + std::max(0, (area.height() - outer.height()) / 2));
}
