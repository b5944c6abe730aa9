#pragma once
// The size a top-level window opens at: its own where the screen it opens on has room for it, else the
// room there is. Clinic laptops of 1366 × 768 are smaller than several windows' own sizes, and a window
// that opens past the screen's edge hides its close button and part of its content.

#include <QSize>

class QWidget;

// Gives a window not yet shown `size` where that, with the window's frame, fits the available area of
// the screen it opens on, otherwise the largest size that does. That screen is its parent's; for a
// window without a parent, that of the window the user works in (from which it is opened), else the
// one the system gives it. A window that had to shrink, and one without a parent, is centred in that
// area, so that it opens on that screen and wholly within it.
void resizeWithinScreen(QWidget* window, const QSize& size);
