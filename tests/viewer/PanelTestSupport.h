#pragma once
// Helpers shared by the panel measurement and mouse-tool tests: fixture series in a real index, a shown
// panel, and mouse events sent to the view's viewport the way the window system delivers them.

#include "viewer/ImageViewportWidget.h"

#include "support/DicomFixtures.h"

#include "db/Database.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"

#include <QApplication>
#include <QDebug>
#include <QGraphicsView>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QWheelEvent>

#include <memory>

namespace paneltest {

// A temporary folder with an index, where each call writes one fixture series and indexes its files.
class SeriesStore
{
public:
    SeriesStore()
    {
        m_codecs = std::make_unique<dicom::CodecRegistrationScope>();
        m_dir = std::make_unique<QTemporaryDir>();
        m_db = std::make_unique<db::Database>();
        m_open = m_dir->isValid() && m_db->open(m_dir->filePath(QStringLiteral("index.sqlite")));
    }

    bool isOpen() const { return m_open; }
    QString filePath(const QString& name) const { return m_dir->filePath(name); }
    db::Database& database() { return *m_db; }

    // Writes the series into a folder of its own, indexes every file and returns the rows the viewer
    // gets from the index; `files` receives the written paths.
    QList<db::InstanceRecord> index(fixtures::SeriesLayout layout, SeriesOverlayInfo* info = nullptr,
                                    QStringList* files = nullptr)
    {
        fixtures::completeUids(layout);
        const QString dir = m_dir->filePath(QStringLiteral("s%1").arg(++m_counter));
        const QStringList written = fixtures::writeSeries(dir, layout);
        for (const QString& file : written) {
            const auto summary = dicom::readFileSummary(file);
            if (!summary || !m_db->indexFile(*summary))
                qWarning() << "could not index" << file;
        }
        if (files)
            *files = written;
        if (info) {
            info->patientName = layout.patientName;
            info->patientId = layout.patientId;
            info->seriesDescription = layout.seriesDescription;
            info->seriesInstanceUid = layout.seriesUid;
            info->modality = layout.modality;
        }
        return m_db->instancesForSeries(layout.seriesUid);
    }

private:
    std::unique_ptr<dicom::CodecRegistrationScope> m_codecs;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<db::Database> m_db;
    bool m_open = false;
    int m_counter = 0;
};

// An axial series of square pixels with the given spacings (x between columns, y between rows).
inline fixtures::SeriesLayout spacedLayout(int size, int slices, double spacingX, double spacingY)
{
    fixtures::SeriesLayout layout;
    layout.columns = size;
    layout.rows = size;
    layout.slices = slices;
    layout.columnSpacing = spacingX;
    layout.rowSpacing = spacingY;
    layout.sliceSpacing = 1.0;
    layout.sliceThickness = 1.0;
    return layout;
}

inline std::unique_ptr<ImageViewportWidget> makePanel(int width = 420, int height = 380)
{
    auto panel = std::make_unique<ImageViewportWidget>();
    panel->resize(width, height);
    panel->show();
    return panel;
}

// The one way the tests move the mouse: an event of the given type sent straight to the view's viewport.
inline void sendMouse(const ImageViewportWidget& panel, QEvent::Type type, QPoint pos,
                      Qt::MouseButton button = Qt::LeftButton, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget* viewport = panel.graphicsView()->viewport();
    static Qt::MouseButtons held;
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick)
        held |= button;
    else if (type == QEvent::MouseButtonRelease)
        held &= ~Qt::MouseButtons(button);
    const Qt::MouseButton eventButton = type == QEvent::MouseMove ? Qt::NoButton : button;
    QMouseEvent event(type, QPointF(pos), viewport->mapToGlobal(QPointF(pos)), eventButton, held, modifiers);
    QApplication::sendEvent(viewport, &event);
}

inline void press(const ImageViewportWidget& panel, QPoint pos, Qt::MouseButton button = Qt::LeftButton)
{
    sendMouse(panel, QEvent::MouseButtonPress, pos, button);
}

inline void move(const ImageViewportWidget& panel, QPoint pos)
{
    sendMouse(panel, QEvent::MouseMove, pos);
}

inline void release(const ImageViewportWidget& panel, QPoint pos, Qt::MouseButton button = Qt::LeftButton)
{
    sendMouse(panel, QEvent::MouseButtonRelease, pos, button);
}

inline void drag(const ImageViewportWidget& panel, QPoint from, QPoint to, Qt::MouseButton button = Qt::LeftButton)
{
    press(panel, from, button);
    move(panel, (from + to) / 2);
    move(panel, to);
    release(panel, to, button);
}

inline void click(const ImageViewportWidget& panel, QPoint pos, Qt::MouseButton button = Qt::LeftButton)
{
    press(panel, pos, button);
    release(panel, pos, button);
}

// As a window system delivers a double-click: press, release, press, double-click, release.
inline void doubleClick(const ImageViewportWidget& panel, QPoint pos, Qt::MouseButton button = Qt::LeftButton)
{
    click(panel, pos, button);
    press(panel, pos, button);
    sendMouse(panel, QEvent::MouseButtonDblClick, pos, button);
    release(panel, pos, button);
}

inline void sendWheel(const ImageViewportWidget& panel, int deltaY, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget* viewport = panel.graphicsView()->viewport();
    const QPointF pos(viewport->width() / 2.0, viewport->height() / 2.0);
    QWheelEvent wheel(pos, viewport->mapToGlobal(pos), QPoint(), QPoint(0, deltaY), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &wheel);
}

// Viewport pixel of a scene point.
inline QPoint viewPos(const ImageViewportWidget& panel, QPointF scenePos)
{
    return panel.graphicsView()->mapFromScene(scenePos);
}

} // namespace paneltest
