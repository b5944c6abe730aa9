// The DCE window on real phase files: ROIs drawn on the panel give curves per slice, removal keeps the
// records and the map in step, short phases, damaged files and empty ROIs are reported, and the PNG
// report is written.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"

#include "analysis3d/DceAnalysisWindow.h"
#include "db/Database.h"
#include "mpr/MprViewportWidget.h"

#include <QFileDialog>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kPhases = 4;
constexpr int kSlices = 3;
const int kLevels[kPhases] = {100, 300, 250, 200};

void drag(MprViewportWidget* panel, QPointF fromScene, QPointF toScene)
{
    QWidget* vp = panel->graphicsView()->viewport();
    const QPoint a = panel->graphicsView()->mapFromScene(fromScene);
    const QPoint b = panel->graphicsView()->mapFromScene(toScene);
    QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, a);
    QMouseEvent moveEvent(QEvent::MouseMove, QPointF(b), vp->mapToGlobal(QPointF(b)), Qt::NoButton, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(vp, &moveEvent);
    QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, b);
}

} // namespace

class TestDceAnalysisWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void roisGiveCurvesPerSlice();
    void badInput();
    void exportReport();

private:
    DceAnalysisWindow* openWindow(const PhaseGrouping& phases, const QString& title = QStringLiteral("DCE T1"));

    QTemporaryDir m_dir;
    db::Database m_db;
    PhaseGrouping m_phases;
};

void TestDceAnalysisWindow::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
    const QString study = fixtures::newUid();
    for (int p = 0; p < kPhases; ++p) {
        fixtures::SeriesLayout layout;
        layout.studyUid = study;
        layout.modality = QStringLiteral("MR");
        layout.rows = layout.columns = 32;
        layout.slices = kSlices;
        layout.rescaleIntercept = 0.0;
        layout.value = [p](int, int, int z) { return kLevels[p] + 10 * z; };
        QVERIFY(fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("p%1").arg(p)), layout));
        m_phases.phases.append(TemporalPhase{12.0 * p, p + 1, m_db.instancesForSeries(layout.seriesUid)});
    }
}

DceAnalysisWindow* TestDceAnalysisWindow::openWindow(const PhaseGrouping& phases, const QString& title)
{
    auto* w = new DceAnalysisWindow(phases, title, nullptr, 200, 600);
    w->show();
    if (!QTest::qWaitForWindowExposed(w))
        qWarning("window not exposed");
    w->viewport()->fitImageInView();
    return w;
}

void TestDceAnalysisWindow::roisGiveCurvesPerSlice()
{
    QPointer<DceAnalysisWindow> w = openWindow(m_phases);
    QCOMPARE(w->windowTitle(), QStringLiteral("DCE — DCE T1"));
    drag(w->viewport(), QPointF(8, 8), QPointF(20, 18));
    QCOMPARE(w->rois().size(), 1);
    const DceRoi roi = w->rois().first();
    QCOMPARE(roi.color, QColor(0, 200, 255));
    QCOMPARE(roi.curve.samples.size(), kPhases);
    for (int p = 0; p < kPhases; ++p)
        QCOMPARE(roi.curve.samples[p].mean, double(kLevels[p]));
    QCOMPARE(roi.curve.shape, 3);
    QVERIFY(w->viewport()->measurements().first().label->text().startsWith(QStringLiteral("ROI 1 · n=4")));

    // Another slice through the panel's scroll bar shows its own ROIs only.
    w->viewport()->sliceBar()->setValue(2);
    QVERIFY(w->chart()->curves().isEmpty());
    drag(w->viewport(), QPointF(4, 4), QPointF(12, 12));
    QCOMPARE(w->rois()[1].color, QColor(255, 165, 0));
    QCOMPARE(w->rois()[1].curve.samples.first().mean, double(kLevels[0] + 20));
    w->phaseSlider()->setValue(3); // the slice index is kept across phases
    QCOMPARE(w->currentSlice(), 2);
    w->viewport()->sliceBar()->setValue(0);
    QCOMPARE(w->chart()->curves().size(), 1);
    QCOMPARE(w->chart()->curves().first().color, QColor(0, 200, 255));

    // Removing the second of three: later records and map entries move down by one, and the next ROI
    // takes palette entry 2 again.
    drag(w->viewport(), QPointF(22, 2), QPointF(28, 8));
    const QColor third = w->rois()[2].color;
    emit w->viewport()->measurementRemoved(1);
    QCOMPARE(w->rois().size(), 2);
    QCOMPARE(w->rois()[1].color, third);
    QCOMPARE(w->roiByMeasurement(), (QMap<int, int>{{0, 0}, {1, 1}}));
    w->roiLabel(0, QRectF(2, 20, 6, 6), 5);
    QCOMPARE(w->rois().last().color, DceAnalysisWindow::dceRoiPalette()[2]);

    for (QPushButton* b : w->findChildren<QPushButton*>())
        if (b->text() == QStringLiteral("Очистить ROI"))
            b->click();
    QVERIFY(w->rois().isEmpty() && w->roiByMeasurement().isEmpty() && w->chart()->curves().isEmpty());
    QVERIFY(w->viewport()->measurements().isEmpty());
    drag(w->viewport(), QPointF(2, 2), QPointF(8, 8));
    QCOMPARE(w->rois().first().color, QColor(0, 200, 255));
    w->close();
    QTRY_VERIFY_WITH_TIMEOUT(w.isNull(), 30000);
}

void TestDceAnalysisWindow::badInput()
{
    // One phase lacks the last slice; one file of another phase is damaged.
    PhaseGrouping phases = m_phases;
    phases.phases[2].instances.removeLast();
    const QString broken = m_dir.filePath(QStringLiteral("broken.dcm"));
    fixtures::writeTruncatedCopy(phases.phases[1].instances[1].filePath, broken, 300);
    phases.phases[1].instances[1].filePath = broken;
    DceAnalysisWindow w(phases, QStringLiteral("x"));

    QCOMPARE(w.roiLabel(0, QRectF(5, 5, 0, 4), 0), QStringLiteral("ROI пуст"));
    QVERIFY(w.rois().isEmpty());
    const QString label = w.roiLabel(2, QRectF(4, 4, 6, 6), 0);
    QVERIFY2(label.startsWith(QStringLiteral("Индекс среза (2) вне диапазона")), qPrintable(label));
    QCOMPARE(w.rois()[0].curve.samples.size(), 2);
    QCOMPARE(w.rois()[0].curve.shape, 0);
    // Shrinking to nothing keeps the record as it was.
    QCOMPARE(w.roiLabel(2, QRectF(4, 4, 6, 0), 0), QStringLiteral("ROI пуст"));
    QCOMPARE(w.rois()[0].radiusX, 3.0);
    QVERIFY(w.roiLabel(1, QRectF(4, 4, 6, 6), 1).endsWith(QStringLiteral(" ⚠")));

    PhaseGrouping none;
    none.message = QStringLiteral("Не найдено фаз");
    DceAnalysisWindow empty(none, QStringLiteral("x"));
    QCOMPARE(empty.phaseLabel()->text(), QStringLiteral("—"));
    QCOMPARE(empty.roiLabel(0, QRectF(1, 1, 4, 4), 0), QStringLiteral("Не найдено фаз"));
}

void TestDceAnalysisWindow::exportReport()
{
    PhaseGrouping timed = m_phases;
    timed.phases[2].time = 24.5;
    QPointer<DceAnalysisWindow> w = openWindow(timed, QStringLiteral("Т1 ВИ/dyn 3:1"));
    w->phaseSlider()->setValue(2);
    QCOMPARE(w->phaseLabel()->text(), QStringLiteral("3 / 4 (t = 24.5 с)"));

    // The save dialog is answered with `target`; its caption and proposed name are recorded.
    QString proposed, caption;
    auto answerWith = [&](const QString& target) {
        return [&proposed, &caption, target](QDialog* d) {
            if (auto* fd = qobject_cast<QFileDialog*>(d)) {
                caption = fd->windowTitle();
                proposed = QFileInfo(fd->selectedFiles().value(0)).fileName();
                if (auto* edit = fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                    edit->setText(target);
                static_cast<QDialog*>(fd)->accept();
            }
            return false;
        };
    };
    const QString target = m_dir.filePath(QStringLiteral("report.png"));
    {
        fixtures::ModalAnswer answer;
        answer.setDialogHandler(answerWith(target));
        w->exportSnapshot();
    }
    QCOMPARE(caption, QStringLiteral("Экспорт снимка DCE"));
    QVERIFY2(proposed.startsWith(QStringLiteral("DCE_Т1_ВИ_dyn_3_1_")) && proposed.endsWith(QStringLiteral(".png")),
             qPrintable(proposed));
    QCOMPARE(QImage(target).height(), w->viewport()->height() + 10 + w->chart()->height());

    // An unwritable target gives the warning and nothing else.
    fixtures::ModalAnswer answer(QMessageBox::Ok);
    answer.setDialogHandler(answerWith(m_dir.filePath(QStringLiteral("missing/dir/x.png"))));
    w->exportSnapshot();
    // The warning names the file and why it could not be written.
    QCOMPARE(answer.texts().size(), 1);
    QVERIFY2(answer.texts().first().startsWith(QStringLiteral("Не удалось сохранить файл ")) &&
                 answer.texts().first().contains(QStringLiteral("Папка не найдена")),
             qPrintable(answer.texts().first()));
    delete w;
}

QTEST_MAIN(TestDceAnalysisWindow)
#include "tst_dceanalysiswindow.moc"
