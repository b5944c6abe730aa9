// The viewing panel on fixture series in a real index: which slice and which pixels it shows, slice
// navigation, window/level and its memory per series, slices merged while a series still arrives,
// drag and drop of a series, and the reconstruction planes with their slab projections.

#include "viewer/ImageViewportWidget.h"

#include "support/DicomFixtures.h"
#include "PanelTestSupport.h"
#include "support/ChangeBeforeValues.h"
#include "support/TestFiles.h"
#include "support/UidForms.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomTagList.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLabel>
#include <QMimeData>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolButton>
#include <QWheelEvent>
#include <QtTest>

#include <memory>

namespace {

constexpr double kIntercept = -1024.0;

// Value of voxel (x, y, z) of a default fixture series in rescaled units.
double huAt(int x, int y, int z)
{
    return fixtures::coordinateValue(x, y, z) + kIntercept;
}

// Grey level the reconstruction renderer gives to value v in window (c, w).
int reconGrey(double v, double c, double w)
{
    const double g = (v - (c - 0.5 * w)) * 255.0 / w;
    if (!(g > 0.0))
        return 0;
    return g > 255.0 ? 255 : int(g);
}

// Grey level of the DICOM linear window, as the frame decoder applies it (up to rounding).
double dicomGrey(double v, double c, double w)
{
    const double t = (v - (c - 0.5)) / (w - 1.0) + 0.5;
    return std::clamp(t, 0.0, 1.0) * 255.0;
}

QImage shownImage(const ImageViewportWidget& panel)
{
    for (QGraphicsItem* item : panel.graphicsScene()->items())
        if (auto* pixmapItem = dynamic_cast<QGraphicsPixmapItem*>(item))
            return pixmapItem->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    return {};
}

int greyAt(const QImage& image, int x, int y)
{
    return qGray(image.pixel(x, y));
}

QLabel* labelStartingWith(const ImageViewportWidget& panel, const QString& prefix)
{
    for (QLabel* label : panel.graphicsView()->findChildren<QLabel*>())
        if (label->text().startsWith(prefix))
            return label;
    return nullptr;
}

QComboBox* planeCombo(const ImageViewportWidget& panel)
{
    for (QComboBox* combo : panel.graphicsView()->findChildren<QComboBox*>())
        if (combo->itemText(0) == QLatin1String("2D"))
            return combo;
    return nullptr;
}

QComboBox* slabCombo(const ImageViewportWidget& panel)
{
    for (QComboBox* combo : panel.graphicsView()->findChildren<QComboBox*>())
        if (combo->itemText(0) == QStringLiteral("Срез"))
            return combo;
    return nullptr;
}

void selectPlane(const ImageViewportWidget& panel, int plane)
{
    QComboBox* combo = planeCombo(panel);
    QVERIFY(combo);
    combo->setCurrentIndex(combo->findData(plane));
}

void sendKey(QWidget* target, int key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

using paneltest::makePanel;
using paneltest::sendWheel;

} // namespace

class TestImageViewport : public QObject
{
    Q_OBJECT

    std::unique_ptr<paneltest::SeriesStore> m_store;
    int m_fileCounter = 0;

    static fixtures::SeriesLayout squareLayout(int columns, int rows, int slices)
    {
        fixtures::SeriesLayout layout;
        layout.columns = columns;
        layout.rows = rows;
        layout.slices = slices;
        layout.rowSpacing = 1.0;
        layout.columnSpacing = 1.0;
        layout.sliceSpacing = 1.0;
        layout.sliceThickness = 1.0;
        return layout;
    }

private slots:
    void initTestCase()
    {
        m_store = std::make_unique<paneltest::SeriesStore>();
        QVERIFY(m_store->isOpen());
    }

    void cleanupTestCase()
    {
        m_store.reset();
    }

    void newPanelShowsPlaceholderAndIgnoresKeys()
    {
        auto panel = makePanel();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        auto* placeholder = panel->findChild<QLabel*>();
        QList<QLabel*> labels = panel->findChildren<QLabel*>();
        const auto it = std::find_if(labels.begin(), labels.end(), [](QLabel* l) {
            return l->text() == QStringLiteral("Выберите серию слева, чтобы открыть срезы");
        });
        QVERIFY(it != labels.end());
        placeholder = *it;
        QVERIFY(placeholder->isVisible());
        QVERIFY(!panel->graphicsView()->isVisible());
        QCOMPARE(panel->sliceScrollBar()->maximum(), 0);

        QSignalSpy changed(panel.get(), &ImageViewportWidget::sliceChanged);
        QSignalSpy step(panel.get(), &ImageViewportWidget::seriesStepRequested);
        for (int key : {Qt::Key_Down, Qt::Key_End, Qt::Key_Left})
            sendKey(panel.get(), key);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(step.count(), 0);
        QVERIFY(!panel->currentSlice());
        QCOMPARE(panel->currentPixelSpacing(), -1.0);

        // A window preset on an empty panel leaves even the stored window alone.
        panel->setWindowPreset({123.0, 456.0});
        QVERIFY(!panel->hasUserWindow());
        QCOMPARE(panel->windowCenter(), 0.0);
        panel->setSliceByFraction(0.5);
        QCOMPARE(changed.count(), 0);
    }

    // Every slice shows its own pixels, the right way round, in the file's own window and in a preset.
    // A slice whose file holds another study's image by now (renamed or copied over it after the series
    // was listed) shows nothing of it and is told, and a volume built of the panel's slices leaves it out.
    // The same disc copied over the folder again, or its files touched, leaves every slice its own,
    // whatever form its UID has: listed again, drawn, its HU values and tags read, built into the volume.
    void slicesShowTheirOwnPixels_data()
    {
        QTest::addColumn<int>("plane");
        QTest::addColumn<bool>("reverseNumbers");
        QTest::addColumn<QString>("replaced"); // how another study's file came over the fourth slice's
        QTest::addColumn<QString>("uidForm");  // of every slice's UID (UidForms.h)
        QTest::newRow("axial") << int(fixtures::Plane::Axial) << false << "" << "";
        QTest::newRow("axial, numbers against position") << int(fixtures::Plane::Axial) << true << "" << "";
        QTest::newRow("sagittal") << int(fixtures::Plane::Sagittal) << false << "" << "";
        const int axial = int(fixtures::Plane::Axial);
        QTest::newRow("axial, another study's file renamed over a slice")
            << axial << false << "renamed" << "";
        QTest::newRow("axial, another study's file copied over a slice") << axial << false << "copied" << "";
        QTest::newRow("axial, ordinary UIDs, own bytes copied over") << axial << false << "own bytes" << "";
        for (const QString& form : fixtures::unusualUidForms()) {
            QTest::addRow("axial, UIDs with %s, own bytes copied over", qPrintable(form))
                << axial << false << "own bytes" << form;
            QTest::addRow("axial, UIDs with %s, touched", qPrintable(form))
                << axial << false << "touched" << form;
        }
    }

    void slicesShowTheirOwnPixels()
    {
        QFETCH(int, plane);
        QFETCH(bool, reverseNumbers);
        QFETCH(QString, replaced);
        QFETCH(QString, uidForm);
        fixtures::SeriesLayout layout = squareLayout(24, 20, 6);
        layout.plane = fixtures::Plane(plane);
        layout.reverseInstanceNumbers = reverseNumbers;
        fixtures::giveUidForm(layout, uidForm);
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(layout, &info);
        QCOMPARE(rows.size(), 6);

        auto panel = makePanel();
        QSignalSpy changed(panel.get(), &ImageViewportWidget::sliceChanged);
        panel->showSeries(rows, info);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toInt(), 0);
        QCOMPARE(changed.at(0).at(1).toInt(), 6);
        // The file's own window is applied and reported.
        QCOMPARE(panel->windowCenter(), 40.0);
        QCOMPARE(panel->windowWidth(), 400.0);
        QVERIFY(!panel->hasUserWindow());
        QCOMPARE(panel->imageWidth(), 24);
        QCOMPARE(panel->imageHeight(), 20);

        QString replacedFile;
        const bool ownFiles = replaced == QLatin1String("own bytes") || replaced == QLatin1String("touched");
        if (ownFiles) {
            for (const db::InstanceRecord& row : rows)
                QVERIFY(replaced == QLatin1String("touched")
                            ? fixtures::touchLater(row.filePath)
                            : fixtures::replaceFileBytes(row.filePath, fixtures::readFile(row.filePath)));
            const QList<db::InstanceRecord> again =
                m_store->database().instancesForSeries(info.seriesInstanceUid);
            QCOMPARE(again.size(), 6);
            for (int i = 0; i < again.size(); ++i)
                QCOMPARE(again.at(i).sopInstanceUid, rows.at(i).sopInstanceUid);
        } else if (!replaced.isEmpty()) {
            fixtures::SeriesLayout another = layout;
            another.studyUid.clear();
            another.seriesUid.clear();
            another.patientName = QStringLiteral("Other^Patient");
            const QString other = fixtures::writeSlice(
                m_store->filePath(QStringLiteral("other_%1.dcm").arg(replaced)), another, 3);
            replacedFile = rows.at(3).filePath;
            QVERIFY(replaced == QLatin1String("renamed")
                        ? fixtures::renameOver(other, replacedFile)
                        : fixtures::replaceFileBytes(replacedFile, fixtures::readFile(other)));
        }
        QSignalSpy told(panel.get(), &ImageViewportWidget::rowFileReplaced);
        for (int i = 0; i < rows.size(); ++i) {
            panel->showSlice(i);
            if (panel->currentSlice()->filePath == replacedFile) {
                QCOMPARE(panel->imageWidth(), 0);
                QVERIFY(labelStartingWith(*panel, QStringLiteral("Срез не показан:\n")));
                panel->ensureHuFrameLoaded();
                QVERIFY(!panel->huImage().valid && panel->huImage().otherObject);
                continue;
            }
            if (ownFiles) {
                panel->ensureHuFrameLoaded();
                QVERIFY2(panel->huImage().valid, qPrintable(panel->huImage().error));
                QString tagError;
                const db::InstanceRecord row = *panel->currentSlice();
                QVERIFY2(!dicom::readTagList(row.filePath, &tagError, row.object()).isEmpty(),
                         qPrintable(tagError));
            }
            const QString name = QFileInfo(panel->currentSlice()->filePath).completeBaseName();
            const int z = name.mid(4).toInt(); // IMG_<k>: the fixture's slice number
            QCOMPARE(name, QStringLiteral("IMG_%1").arg(z));
            // A window over this slice's values only: another slice would be all black or all white.
            const double c = huAt(0, 0, z) + 170.0;
            const double w = 400.0;
            panel->setWindowPreset({c, w});
            QCOMPARE(panel->currentSliceIndex(), i);
            const QImage image = shownImage(*panel);
            QCOMPARE(image.size(), QSize(24, 20));
            for (const QPoint p : {QPoint(0, 0), QPoint(23, 0), QPoint(0, 19), QPoint(23, 19), QPoint(7, 11)}) {
                const double expected = dicomGrey(huAt(p.x(), p.y(), z), c, w);
                QVERIFY2(std::abs(greyAt(image, p.x(), p.y()) - expected) <= 2.0,
                         qPrintable(QStringLiteral("slice %1 pixel (%2, %3): %4, expected %5")
                                        .arg(i).arg(p.x()).arg(p.y()).arg(greyAt(image, p.x(), p.y())).arg(expected)));
            }
            QCOMPARE(panel->windowCenter(), c);
            QVERIFY(panel->hasUserWindow());
        }
        // Instance numbers decide the order, whatever the position says.
        for (int i = 1; i < panel->sliceCount(); ++i)
            QVERIFY(panel->slices().at(i - 1).instanceNumber < panel->slices().at(i).instanceNumber);
        QCOMPARE(told.count(), replacedFile.isEmpty() ? 0 : 2); // the picture, then the HU values
        if (replaced.isEmpty())
            return;
        selectPlane(*panel, 3);
        QVERIFY(panel->hasReconstructionVolume());
        const QLabel* label = labelStartingWith(*panel, QStringLiteral("Реконструкция:"));
        if (ownFiles) {
            QVERIFY(label);
            QVERIFY2(!label->text().contains(QStringLiteral("Не вошло")) &&
                         !label->text().contains(QStringLiteral("Пропущено")),
                     qPrintable(label->text()));
            return;
        }
        QVERIFY2(label && label->text().contains(render::otherObjectSlicesWarning(1)),
                 qPrintable(label ? label->text() : QString()));
    }

    void steppingStopsAtTheEnds()
    {
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(squareLayout(16, 16, 10), &info);
        auto panel = makePanel();
        panel->showSeries(rows, info);
        QSignalSpy changed(panel.get(), &ImageViewportWidget::sliceChanged);
        QSignalSpy step(panel.get(), &ImageViewportWidget::seriesStepRequested);

        panel->showSlice(-5);
        QCOMPARE(panel->currentSliceIndex(), 0);
        panel->showSlice(25);
        QCOMPARE(panel->currentSliceIndex(), 9);
        QCOMPARE(changed.last().at(0).toInt(), 9);
        QCOMPARE(changed.last().at(1).toInt(), 10);
        QCOMPARE(panel->sliceScrollBar()->value(), 9);
        QCOMPARE(panel->sliceScrollBar()->maximum(), 9);

        sendKey(panel.get(), Qt::Key_Down);
        QCOMPARE(panel->currentSliceIndex(), 9);
        sendKey(panel.get(), Qt::Key_Home);
        QCOMPARE(panel->currentSliceIndex(), 0);
        sendKey(panel.get(), Qt::Key_Up);
        QCOMPARE(panel->currentSliceIndex(), 0);
        sendKey(panel.get(), Qt::Key_PageDown);
        sendKey(panel.get(), Qt::Key_Down);
        QCOMPARE(panel->currentSliceIndex(), 2);
        sendKey(panel.get(), Qt::Key_PageUp);
        QCOMPARE(panel->currentSliceIndex(), 1);
        sendKey(panel.get(), Qt::Key_End);
        QCOMPARE(panel->currentSliceIndex(), 9);
        sendKey(panel.get(), Qt::Key_Left);
        sendKey(panel.get(), Qt::Key_Right);
        QCOMPARE(step.count(), 2);
        QCOMPARE(step.at(0).at(0).toInt(), -1);
        QCOMPARE(step.at(1).at(0).toInt(), 1);

        // The scroll bar shows the slice it is moved to, once.
        changed.clear();
        panel->sliceScrollBar()->setValue(4);
        QCOMPARE(panel->currentSliceIndex(), 4);
        QCOMPARE(changed.count(), 1);

        panel->setSliceByFraction(0.5);
        QCOMPARE(panel->currentSliceIndex(), 5); // lround(4.5)
        panel->setSliceByFraction(1.0);
        QCOMPARE(panel->currentSliceIndex(), 9);
    }

    void wheelStepsWholeNotchesOnly()
    {
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(squareLayout(16, 16, 10), &info);
        auto panel = makePanel();
        panel->showSeries(rows, info);
        panel->showSlice(5);
        QSignalSpy changed(panel.get(), &ImageViewportWidget::sliceChanged);

        sendWheel(*panel, -120); // towards the user: next slice
        QCOMPARE(panel->currentSliceIndex(), 6);
        sendWheel(*panel, 120);
        QCOMPARE(panel->currentSliceIndex(), 5);

        // A touchpad's zero and small deltas add up to one notch before anything moves.
        changed.clear();
        sendWheel(*panel, 0);
        for (int i = 0; i < 3; ++i)
            sendWheel(*panel, -30);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(panel->currentSliceIndex(), 5);
        sendWheel(*panel, -30);
        QCOMPARE(panel->currentSliceIndex(), 6);
        // A turn back starts afresh instead of undoing a half notch.
        sendWheel(*panel, -60);
        sendWheel(*panel, 60);
        QCOMPARE(panel->currentSliceIndex(), 6);
        sendWheel(*panel, 240);
        QCOMPARE(panel->currentSliceIndex(), 4);

        // Control zooms instead.
        const double before = panel->graphicsView()->transform().m11();
        sendWheel(*panel, 120, Qt::ControlModifier);
        QVERIFY(panel->isUserZoomed());
        QCOMPARE(panel->currentSliceIndex(), 4);
        QVERIFY(qAbs(panel->graphicsView()->transform().m11() / before - 1.15) < 1e-9);

        // With the series flag the wheel asks for another series.
        QSignalSpy step(panel.get(), &ImageViewportWidget::seriesStepRequested);
        panel->setWheelStepsSeries(true);
        sendWheel(*panel, -120);
        QCOMPARE(step.count(), 1);
        QCOMPARE(step.at(0).at(0).toInt(), 1);
        QCOMPARE(panel->currentSliceIndex(), 4);
    }

    void viewIsRememberedPerSeries()
    {
        SeriesOverlayInfo infoA;
        SeriesOverlayInfo infoB;
        const QList<db::InstanceRecord> a = m_store->index(squareLayout(16, 16, 8), &infoA);
        const QList<db::InstanceRecord> b = m_store->index(squareLayout(20, 12, 4), &infoB);
        auto panel = makePanel();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        panel->showSeries(a, infoA);
        const QTransform fitted = panel->graphicsView()->transform();
        panel->showSlice(6);
        panel->setWindowPreset({100.0, 50.0});
        panel->rotateBy(-90);
        QCOMPARE(panel->rotation(), 270);
        panel->toggleFlipHorizontal();
        panel->graphicsView()->scale(2.0, 2.0);
        sendWheel(*panel, 120, Qt::ControlModifier);
        const QTransform zoomed = panel->graphicsView()->transform();

        panel->showSeries(b, infoB);
        QCOMPARE(panel->currentSliceIndex(), 0);
        QCOMPARE(panel->rotation(), 0);
        QVERIFY(!panel->isFlippedHorizontally());
        QVERIFY(!panel->isUserZoomed());
        QVERIFY(!panel->hasUserWindow());
        QCOMPARE(panel->windowCenter(), 40.0);
        QCOMPARE(panel->imageWidth(), 20);

        panel->showSeries(a, infoA);
        QCOMPARE(panel->currentSliceIndex(), 6);
        QVERIFY(panel->hasUserWindow());
        QCOMPARE(panel->windowCenter(), 100.0);
        QCOMPARE(panel->windowWidth(), 50.0);
        QCOMPARE(panel->rotation(), 270);
        QVERIFY(panel->isFlippedHorizontally());
        QVERIFY(panel->isUserZoomed());
        QCOMPARE(panel->graphicsView()->transform(), zoomed);
        QVERIFY(panel->graphicsView()->transform() != fitted);

        // A remembered slice beyond a shorter list shows the last slice.
        panel->showSeries(b, infoB);
        panel->showSeries(a.mid(0, 3), infoA);
        QCOMPARE(panel->currentSliceIndex(), 2);

        // Back to the start: the panel fits, unrotated.
        panel->resetViewTransform();
        QCOMPARE(panel->rotation(), 0);
        QVERIFY(!panel->isFlippedHorizontally());
        QVERIFY(!panel->isUserZoomed());
    }

    // Slices that arrive while a study is still imported: the shown image keeps its file and frame.
    void mergeKeepsTheShownSlice()
    {
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> all = m_store->index(squareLayout(16, 16, 10), &info);
        QCOMPARE(all.size(), 10);
        auto panel = makePanel();
        QSignalSpy changed(panel.get(), &ImageViewportWidget::sliceChanged);

        // Into an empty panel: slice 0, fitted.
        const QList<db::InstanceRecord> late = all.mid(5);
        panel->mergeSlices(late);
        QVERIFY(panel->graphicsView()->isVisibleTo(panel.get()));
        QCOMPARE(panel->sliceCount(), 5);
        QCOMPARE(panel->currentSliceIndex(), 0);
        QVERIFY(!panel->isUserZoomed());
        panel->showSlice(2);
        const QString shownFile = panel->currentSlice()->filePath;
        const QImage shownPixels = shownImage(*panel);
        QCOMPARE(shownFile, all.at(7).filePath);

        // Nothing new: nothing happens.
        changed.clear();
        panel->mergeSlices(late);
        QCOMPARE(panel->sliceCount(), 5);
        QCOMPARE(changed.count(), 0);

        // The early slices arrive last and in reverse order.
        QList<db::InstanceRecord> early = all.mid(0, 5);
        std::reverse(early.begin(), early.end());
        panel->mergeSlices(early + all.mid(3)); // known files mixed in are skipped
        QCOMPARE(panel->sliceCount(), 10);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(panel->currentSlice()->filePath, shownFile);
        QCOMPARE(panel->currentSliceIndex(), 7);
        QCOMPARE(panel->sliceScrollBar()->maximum(), 9);
        QCOMPARE(panel->sliceScrollBar()->value(), 7);
        QCOMPARE(shownImage(*panel), shownPixels);
        for (int i = 0; i < 10; ++i)
            QCOMPARE(panel->slices().at(i).filePath, all.at(i).filePath);
        QLabel* counter = labelStartingWith(*panel, QStringLiteral("Срез "));
        QVERIFY(counter);
        QVERIFY2(counter->text().startsWith(QStringLiteral("Срез 8 / 10")), qPrintable(counter->text()));

        // Stepping continues from the shown slice.
        sendKey(panel.get(), Qt::Key_Down);
        QCOMPARE(panel->currentSlice()->filePath, all.at(8).filePath);
    }

    void undecodableSliceSaysSo()
    {
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(squareLayout(16, 16, 4), &info);
        fixtures::writeBytes(rows.at(2).filePath, QByteArray(300, 'x'));
        auto panel = makePanel();
        panel->showSeries(rows, info);
        QSignalSpy changed(panel.get(), &ImageViewportWidget::sliceChanged);
        panel->showSlice(2);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(panel->currentSliceIndex(), 2);
        QCOMPARE(panel->sliceScrollBar()->value(), 2);
        QCOMPARE(panel->imageWidth(), 0);
        QLabel* message = labelStartingWith(*panel, QStringLiteral("Не удалось декодировать срез:"));
        QVERIFY(message);
        QCOMPARE(message->text(), QStringLiteral("Не удалось декодировать срез:\n%1")
                                      .arg(QFileInfo(rows.at(2).filePath).fileName()));
        panel->showSlice(3);
        QCOMPARE(changed.count(), 1);
        QVERIFY(panel->imageWidth() > 0);
    }

    void seriesDragAndDrop()
    {
        auto panel = makePanel();
        QSignalSpy activated(panel.get(), &ImageViewportWidget::activated);
        QSignalSpy dropped(panel.get(), &ImageViewportWidget::seriesDropped);

        QWidget* viewport = panel->graphicsView()->viewport();
        QList<QLabel*> labels = panel->findChildren<QLabel*>();
        QWidget* placeholder = *std::find_if(labels.begin(), labels.end(), [](QLabel* l) {
            return l->text().startsWith(QStringLiteral("Выберите серию"));
        });

        for (QWidget* target : {static_cast<QWidget*>(panel.get()), viewport, placeholder}) {
            activated.clear();
            dropped.clear();
            QMimeData other;
            other.setText(QStringLiteral("1.2.3"));
            QDragEnterEvent enterOther(QPoint(10, 10), Qt::CopyAction, &other, Qt::LeftButton, Qt::NoModifier);
            enterOther.setAccepted(false);
            QApplication::sendEvent(target, &enterOther);
            QVERIFY(!enterOther.isAccepted());
            QDropEvent dropOther(QPointF(10, 10), Qt::CopyAction, &other, Qt::LeftButton, Qt::NoModifier);
            dropOther.setAccepted(false);
            QApplication::sendEvent(target, &dropOther);
            QVERIFY(!dropOther.isAccepted());

            QMimeData empty;
            empty.setData(QStringLiteral("application/x-dicom-series-uid"), QByteArray());
            QDropEvent dropEmpty(QPointF(10, 10), Qt::CopyAction, &empty, Qt::LeftButton, Qt::NoModifier);
            dropEmpty.setAccepted(false);
            QApplication::sendEvent(target, &dropEmpty);
            QVERIFY(!dropEmpty.isAccepted());
            QCOMPARE(dropped.count(), 0);
            QCOMPARE(activated.count(), 0);

            QMimeData series;
            series.setData(QStringLiteral("application/x-dicom-series-uid"), QStringLiteral("1.2.840.99.5").toUtf8());
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &series, Qt::LeftButton, Qt::NoModifier);
            enter.setAccepted(false);
            QApplication::sendEvent(target, &enter);
            QVERIFY(enter.isAccepted());
            QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &series, Qt::LeftButton, Qt::NoModifier);
            drop.setAccepted(false);
            QApplication::sendEvent(target, &drop);
            QVERIFY(drop.isAccepted());
            QCOMPARE(activated.count(), 1);
            QCOMPARE(dropped.count(), 1);
            QCOMPARE(dropped.at(0).at(0).toString(), QStringLiteral("1.2.840.99.5"));
        }
    }

    void pixelSpacingAndSelection()
    {
        SeriesOverlayInfo info;
        QList<db::InstanceRecord> rows = m_store->index(squareLayout(16, 16, 3), &info);
        auto panel = makePanel();
        rows[0].pixelSpacingX = 0.5;
        rows[0].pixelSpacingY = 0.0;
        rows[1].pixelSpacingX = 0.0;
        rows[1].pixelSpacingY = 0.0;
        rows[2].pixelSpacingX = 0.5;
        rows[2].pixelSpacingY = 0.7;
        panel->showSeries(rows, info);
        QCOMPARE(panel->currentPixelSpacing(), 0.5);
        panel->showSlice(1);
        QCOMPARE(panel->currentPixelSpacing(), -1.0);
        panel->showSlice(2);
        QCOMPARE(panel->currentPixelSpacing(), 0.6);

        auto* check = panel->graphicsView()->findChild<QCheckBox*>();
        QVERIFY(check);
        check->setChecked(true);
        QCOMPARE(panel->selectedSlices().size(), 1);
        QCOMPARE(panel->selectedSlices().at(0).filePath, rows.at(2).filePath);
        panel->showSlice(0);
        QVERIFY(!check->isChecked());
        panel->selectAllSlices();
        QCOMPARE(panel->selectedSlices().size(), 3);
        panel->clearSliceSelection();
        QVERIFY(panel->selectedSlices().isEmpty());
        QVERIFY(!check->isChecked());
    }

    // Each plane and slab mode shows the voxels expected from the coordinate-encoded volume.
    void reconstructionPlanes_data()
    {
        QTest::addColumn<int>("plane");
        QTest::addColumn<int>("slab"); // combo index
        QTest::addColumn<double>("thickness");
        QTest::newRow("axial thin") << 3 << 0 << 0.0;
        QTest::newRow("coronal thin") << 2 << 0 << 0.0;
        QTest::newRow("sagittal thin") << 1 << 0 << 0.0;
        QTest::newRow("coronal MIP 10 mm") << 2 << 1 << 10.0;
        QTest::newRow("coronal MinIP 10 mm") << 2 << 2 << 10.0;
        QTest::newRow("coronal mean 10 mm") << 2 << 3 << 10.0;
        QTest::newRow("axial MIP 4 mm") << 3 << 1 << 4.0;
        QTest::newRow("sagittal MinIP 6 mm") << 1 << 2 << 6.0;
    }

    void reconstructionPlanes()
    {
        QFETCH(int, plane);
        QFETCH(int, slab);
        QFETCH(double, thickness);
        const int nx = 22, ny = 24, nz = 14;
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(squareLayout(nx, ny, nz), &info);
        auto panel = makePanel();
        panel->showSeries(rows, info);
        panel->showSlice(3);

        selectPlane(*panel, plane);
        QVERIFY(panel->hasReconstructionVolume());
        QCOMPARE(panel->reconstructionPlane(), plane);
        const int count = plane == 1 ? nx : plane == 2 ? ny : nz;
        QCOMPARE(panel->reconstructionSliceCount(), count);
        QCOMPARE(panel->reconstructedSliceIndex(), count / 2);
        QCOMPARE(panel->sliceScrollBar()->maximum(), count - 1);
        QCOMPARE(panel->sliceScrollBar()->value(), count / 2);
        // The volume's full range is the first window.
        QCOMPARE(panel->windowCenter(), (huAt(0, 0, 0) + huAt(nx - 1, ny - 1, nz - 1)) / 2.0);

        slabCombo(*panel)->setCurrentIndex(slab);
        if (slab != 0) {
            auto* box = panel->graphicsView()->findChild<QDoubleSpinBox*>();
            QCOMPARE(box->value(), 10.0); // a slab starts at 10 mm
            box->setValue(thickness);
        }
        QCOMPARE(panel->slabMode(), slab);
        QCOMPARE(panel->slabThickness(), thickness);
        const int half = int(std::lround(thickness / 2.0)); // spacing 1 mm on every axis
        QCOMPARE(panel->slabHalfWidth(), half);

        // Narrow window over the slice's own values, with room for the slab's spread.
        const int at = count / 2;
        const double c = huAt(nx / 2, ny / 2, nz / 2);
        const double w = 12000.0;
        panel->setWindowPreset({c, w});
        const QImage image = shownImage(*panel);
        const QSize expectedSize = plane == 3 ? QSize(nx, ny) : plane == 2 ? QSize(nx, nz) : QSize(ny, nz);
        QCOMPARE(image.size(), expectedSize);

        auto voxelValue = [&](int col, int row) {
            // Which voxels the image pixel (col, row) gathers, top of the image = highest z.
            auto at3 = [&](int k) -> std::array<int, 3> {
                if (plane == 3)
                    return {col, row, k};
                if (plane == 2)
                    return {col, k, nz - 1 - row};
                return {k, col, nz - 1 - row};
            };
            const int lo = slab == 0 ? at : std::max(at - half, 0);
            const int hi = slab == 0 ? at : std::min(at + half, count - 1);
            double acc = slab == 1 ? -1e30 : slab == 2 ? 1e30 : 0.0;
            for (int k = lo; k <= hi; ++k) {
                const auto v = at3(k);
                const double value = huAt(v[0], v[1], v[2]);
                acc = slab == 1 ? std::max(acc, value) : slab == 2 ? std::min(acc, value) : acc + value;
            }
            return (slab == 0 || slab == 3) ? (slab == 3 ? acc / (hi - lo + 1) : acc) : acc;
        };
        for (const QPoint p : {QPoint(0, 0), QPoint(image.width() - 1, 0), QPoint(0, image.height() - 1),
                               QPoint(image.width() - 1, image.height() - 1), QPoint(5, 3)}) {
            const int expected = reconGrey(voxelValue(p.x(), p.y()), c, w);
            QVERIFY2(std::abs(greyAt(image, p.x(), p.y()) - expected) <= 1,
                     qPrintable(QStringLiteral("pixel (%1, %2): %3, expected %4")
                                    .arg(p.x()).arg(p.y()).arg(greyAt(image, p.x(), p.y())).arg(expected)));
        }

        const QString planeName = plane == 1 ? QStringLiteral("Sagittal")
                                  : plane == 2 ? QStringLiteral("Coronal") : QStringLiteral("Axial");
        const QString modeName = slab == 1 ? QStringLiteral("MIP") : slab == 2 ? QStringLiteral("MinIP")
                                                                               : QStringLiteral("Среднее");
        const QString slabText = slab == 0 ? QString()
                                           : QStringLiteral(" (%1, %2 мм)").arg(modeName).arg(int(thickness));
        QLabel* label = labelStartingWith(*panel, QStringLiteral("Реконструкция:"));
        QVERIFY(label);
        QCOMPARE(label->text(), QStringLiteral("Реконструкция: %1%2\nСрез %3 / %4")
                                    .arg(planeName, slabText).arg(at + 1).arg(count));

        // Keys and the scroll bar walk the reconstruction; Left and Right still ask for a series.
        QSignalSpy step(panel.get(), &ImageViewportWidget::seriesStepRequested);
        sendKey(panel.get(), Qt::Key_End);
        QCOMPARE(panel->reconstructedSliceIndex(), count - 1);
        sendKey(panel.get(), Qt::Key_Down);
        QCOMPARE(panel->reconstructedSliceIndex(), count - 1);
        sendKey(panel.get(), Qt::Key_Home);
        sendKey(panel.get(), Qt::Key_Up);
        QCOMPARE(panel->reconstructedSliceIndex(), 0);
        panel->sliceScrollBar()->setValue(2);
        QCOMPARE(panel->reconstructedSliceIndex(), 2);
        sendWheel(*panel, -120);
        QCOMPARE(panel->reconstructedSliceIndex(), 3);
        sendKey(panel.get(), Qt::Key_Right);
        QCOMPARE(step.count(), 1);
        QCOMPARE(panel->currentSliceIndex(), 3); // the file's slice is left alone

        // Back to the file's slices: same slice, the file's window, the scroll bar over the files.
        selectPlane(*panel, 0);
        QCOMPARE(panel->reconstructionPlane(), 0);
        QCOMPARE(panel->currentSliceIndex(), 3);
        QCOMPARE(panel->sliceScrollBar()->maximum(), nz - 1);
        QCOMPARE(panel->sliceScrollBar()->value(), 3);
        QVERIFY(!panel->hasUserWindow());
        QCOMPARE(panel->windowCenter(), 40.0);
        QVERIFY(panel->hasReconstructionVolume()); // kept for the next plane
        QVERIFY(!labelStartingWith(*panel, QStringLiteral("Реконструкция:")));
    }

    void slabControls()
    {
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(squareLayout(16, 16, 12), &info);
        auto panel = makePanel();
        panel->showSeries(rows, info);
        auto* box = panel->graphicsView()->findChild<QDoubleSpinBox*>();
        const QList<QToolButton*> buttons = panel->graphicsView()->findChildren<QToolButton*>();
        QCOMPARE(buttons.size(), 2);
        QVERIFY(!box->isEnabled());

        selectPlane(*panel, 2);
        slabCombo(*panel)->setCurrentIndex(1);
        QVERIFY(box->isEnabled());
        QVERIFY(buttons.at(0)->isEnabled());
        QCOMPARE(panel->slabThickness(), 10.0);
        buttons.at(0)->click(); // ▲
        QCOMPARE(panel->slabThickness(), 15.0);
        buttons.at(1)->click(); // ▼
        buttons.at(1)->click();
        QCOMPARE(panel->slabThickness(), 5.0);

        slabCombo(*panel)->setCurrentIndex(0);
        QCOMPARE(panel->slabThickness(), 0.0);
        QCOMPARE(panel->slabMode(), 0);
        QVERIFY(!box->isEnabled());
        QVERIFY(!buttons.at(0)->isEnabled());
        QVERIFY(!buttons.at(1)->isEnabled());
        QLabel* label = labelStartingWith(*panel, QStringLiteral("Реконструкция:"));
        QCOMPARE(label->text().section(QLatin1Char('\n'), 0, 0), QStringLiteral("Реконструкция: Coronal"));

        // A slab mode chosen again uses the thickness the box still shows.
        slabCombo(*panel)->setCurrentIndex(3);
        QCOMPARE(panel->slabThickness(), 5.0);
        QCOMPARE(label->text().section(QLatin1Char('\n'), 0, 0),
                 QStringLiteral("Реконструкция: Coronal (Среднее, 5 мм)"));

        // Another series returns to the file's slices with thin slices and no volume.
        panel->showSeries(rows, info);
        QCOMPARE(panel->reconstructionPlane(), 0);
        QCOMPARE(panel->slabMode(), 0);
        QCOMPARE(panel->slabThickness(), 0.0);
        QVERIFY(!panel->hasReconstructionVolume());
        QCOMPARE(planeCombo(*panel)->currentData().toInt(), 0);
        QCOMPARE(slabCombo(*panel)->currentIndex(), 0);
        QVERIFY(!box->isEnabled());
    }

    // The stack is oriented from the files' geometry; the description only counts without geometry.
    void reconstructionFollowsGeometry_data()
    {
        QTest::addColumn<int>("plane");
        QTest::addColumn<QString>("description");
        QTest::addColumn<bool>("geometry");
        QTest::addColumn<int>("sagittalCount");
        QTest::addColumn<int>("axialCount");
        // 20 columns, 18 rows, 9 slices.
        QTest::newRow("sagittal without a hint in its name") << int(fixtures::Plane::Sagittal)
                                                             << QStringLiteral("T2 spine") << true << 9 << 18;
        QTest::newRow("axial called Coronary CTA") << int(fixtures::Plane::Axial) << QStringLiteral("Coronary CTA")
                                                   << true << 20 << 9;
        QTest::newRow("no geometry, sagittal by name") << int(fixtures::Plane::Axial) << QStringLiteral("SAG T1")
                                                       << false << 9 << 18;
        QTest::newRow("no geometry, axial by default") << int(fixtures::Plane::Axial) << QStringLiteral("T1")
                                                       << false << 20 << 9;
    }

    void reconstructionFollowsGeometry()
    {
        QFETCH(int, plane);
        QFETCH(QString, description);
        QFETCH(bool, geometry);
        QFETCH(int, sagittalCount);
        QFETCH(int, axialCount);
        fixtures::SeriesLayout layout = squareLayout(20, 18, 9);
        layout.plane = fixtures::Plane(plane);
        layout.seriesDescription = description;
        layout.writeGeometry = geometry;
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(layout, &info);
        QCOMPARE(rows.size(), 9);
        auto panel = makePanel();
        panel->showSeries(rows, info);
        selectPlane(*panel, 1);
        QVERIFY2(panel->hasReconstructionVolume(),
                 qPrintable(labelStartingWith(*panel, QStringLiteral("Реконструкция"))->text()));
        QCOMPARE(panel->reconstructionSliceCount(), sagittalCount);
        selectPlane(*panel, 3);
        QCOMPARE(panel->reconstructionSliceCount(), axialCount);
    }

    void failedReconstructionKeepsThePlane()
    {
        SeriesOverlayInfo info;
        QList<db::InstanceRecord> rows = m_store->index(squareLayout(16, 16, 3), &info);
        for (db::InstanceRecord& row : rows)
            row.filePath = m_store->filePath(QStringLiteral("missing/%1.dcm").arg(row.instanceNumber));
        auto panel = makePanel();
        panel->showSeries(rows, info);
        selectPlane(*panel, 2);
        QCOMPARE(panel->reconstructionPlane(), 0);
        QVERIFY(!panel->hasReconstructionVolume());
        QCOMPARE(planeCombo(*panel)->currentData().toInt(), 0);
        QLabel* label = labelStartingWith(*panel, QStringLiteral("Реконструкция недоступна:\n"));
        QVERIFY(label);
        QVERIFY(label->text().size() > QStringLiteral("Реконструкция недоступна:\n").size());
    }

    void inversionAndFusionOpacity()
    {
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(squareLayout(16, 16, 3), &info);
        auto panel = makePanel();
        panel->showSeries(rows, info);
        panel->setWindowPreset({huAt(0, 0, 0) + 80.0, 200.0});
        const QImage normal = shownImage(*panel);
        panel->setInverted(true);
        const QImage inverted = shownImage(*panel);
        for (const QPoint p : {QPoint(0, 0), QPoint(15, 15), QPoint(3, 9)})
            QCOMPARE(greyAt(inverted, p.x(), p.y()), 255 - greyAt(normal, p.x(), p.y()));
        panel->setInverted(false);

        QSignalSpy changed(panel.get(), &ImageViewportWidget::sliceChanged);
        panel->setFusionOpacity(1.7);
        panel->setFusionOpacity(-0.2);
        QCOMPARE(changed.count(), 0); // no overlay: nothing to redraw
    }

    // Frames of multi-frame files are slices of their own, each showing its own frame.
    void multiFrameFilesShowEachFrame_data()
    {
        QTest::addColumn<bool>("enhanced");
        QTest::newRow("classic") << false;
        QTest::newRow("enhanced") << true;
    }

    void multiFrameFilesShowEachFrame()
    {
        QFETCH(bool, enhanced);
        fixtures::SeriesLayout layout = squareLayout(18, 14, 5);
        fixtures::completeUids(layout);
        const QString path = m_store->filePath(QStringLiteral("mf%1.dcm").arg(++m_fileCounter));
        enhanced ? fixtures::writeEnhancedMultiFrame(path, layout) : fixtures::writeMultiFrame(path, layout);
        const auto summary = dicom::readFileSummary(path);
        QVERIFY(summary);
        QVERIFY(m_store->database().indexFile(*summary));
        const QList<db::InstanceRecord> rows = m_store->database().instancesForSeries(layout.seriesUid);
        QCOMPARE(rows.size(), 5);
        SeriesOverlayInfo info;
        info.seriesInstanceUid = layout.seriesUid;
        auto panel = makePanel();
        panel->showSeries(rows, info);
        for (int i = 0; i < 5; ++i) {
            panel->showSlice(i);
            const int z = panel->currentSlice()->frameIndex;
            QCOMPARE(z, i);
            const double c = huAt(0, 0, z) + 170.0;
            panel->setWindowPreset({c, 400.0});
            const QImage image = shownImage(*panel);
            QCOMPARE(image.size(), QSize(18, 14));
            for (const QPoint p : {QPoint(0, 0), QPoint(17, 13), QPoint(9, 4)})
                QVERIFY(std::abs(greyAt(image, p.x(), p.y()) - dicomGrey(huAt(p.x(), p.y(), z), c, 400.0)) <= 2.0);
            // The HU values behind the measurements come from the same frame.
            QVERIFY(!panel->huFrameLoaded());
            panel->ensureHuFrameLoaded();
            QVERIFY(panel->huFrameLoaded());
            QVERIFY(panel->huImage().valid);
            QCOMPARE(panel->huImage().pixels.at(size_t(4 * 18 + 9)), huAt(9, 4, z));
        }
        // Merging the same file again adds nothing.
        QSignalSpy changed(panel.get(), &ImageViewportWidget::sliceChanged);
        panel->mergeSlices(rows);
        QCOMPARE(panel->sliceCount(), 5);
        QCOMPARE(changed.count(), 0);
    }

    // A flat volume still gets a window of at least 1.
    void narrowValueRangeWindow()
    {
        fixtures::SeriesLayout layout = squareLayout(12, 12, 4);
        layout.rescaleSlope = 0.5;
        layout.rescaleIntercept = 0.0;
        layout.pixels = fixtures::PixelKind::UInt16;
        layout.value = [](int x, int y, int z) { return (x + y + z) % 2; };
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(layout, &info);
        auto panel = makePanel();
        panel->showSeries(rows, info);
        selectPlane(*panel, 3);
        QVERIFY(panel->hasReconstructionVolume());
        QCOMPARE(panel->windowCenter(), 0.25);
        QCOMPARE(panel->windowWidth(), 1.0);
    }

    void cornerTexts()
    {
        fixtures::SeriesLayout layout = squareLayout(12, 12, 3);
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(layout, &info);
        info.patientName.clear();
        info.patientId = QStringLiteral("P77");
        info.birthDate = QStringLiteral("19800215");
        info.sex = QStringLiteral("M");
        info.laterality = QStringLiteral(" l ");
        info.bodyPartExamined = QStringLiteral("KNEE");
        info.studyDate = QStringLiteral("20240131");
        info.studyTime = QStringLiteral("0930");
        info.seriesNumber = QStringLiteral("4");
        auto panel = makePanel();
        panel->showSeries(rows, info);
        QVERIFY(labelStartingWith(*panel, QStringLiteral("(без имени)\nID: P77\n15.02.1980  M")));
        QLabel* right = labelStartingWith(*panel, QStringLiteral("(без описания)\n"));
        QVERIFY(right);
        QCOMPARE(right->text(), QStringLiteral("(без описания)\n%1\nСерия 4 · CT\nСторона: Левая  ·  KNEE\n31.01.2024 09:30")
                                    .arg(layout.seriesDescription));
        QLabel* window = labelStartingWith(*panel, QStringLiteral("WL: 40  WW: 400"));
        QVERIFY(window);
        QVERIFY(window->isVisible());

        // Tags hidden: the corner texts go, the select check box stays.
        panel->setTagsDisplayMode(1);
        QVERIFY(!window->isVisible());
        QVERIFY(panel->graphicsView()->findChild<QCheckBox*>()->isVisible());
        panel->setTagsDisplayMode(0);
        QVERIFY(window->isVisible());
    }

};

QTEST_MAIN(TestImageViewport)
#include "tst_imageviewport.moc"
