#pragma once

#include <QLabel>

class QStatusBar;

namespace render {
struct Volume;
}

// The volume builder's warnings beside a built volume (slices left out, uneven steps, a tilted stack),
// at the right of a window's status line for as long as the window shows that volume: passing status
// messages, at its left, never cover them.
class VolumeWarningLabel : public QLabel
{
    Q_OBJECT

public:
    explicit VolumeWarningLabel(QStatusBar* bar);

    // One warning a line; empty hides the label.
    void setWarnings(const QString& warnings);
    // A volume just built: its size and spacing as the status line's message, the builder's text beside
    // it as the warnings.
    void showBuiltVolume(const render::Volume& volume, const QString& warnings);

private:
    QStatusBar* m_bar = nullptr;
};
