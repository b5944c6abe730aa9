#include "support/ModalAnswer.h"
#include "SeriesRows.h"
#include "Volume3dFixtures.h"

#include "analysis3d/D3DVolumeRenderWidget.h"
#include "analysis3d/TransferFunctionEditorDialog.h"
#include "analysis3d/TransferFunctionEditorWidget.h"
#include "analysis3d/Vrt3DWindow.h"
#include "analysis3d/VolumeRenderWidget.h"
#include "analysis3d/VolumeWarningLabel.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QStatusBar>
#include <QThread>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using namespace vol3dtest;

namespace {

QAction* actionNamed(QWidget* window, const QString& text)
{
    const auto actions = window->findChildren<QAction*>();
    for (QAction* a : actions)
        if (a->text() == text)
            return a;
    return nullptr;
}

QPushButton* buttonNamed(QWidget* parent, const QString& text)
{
    const auto buttons = parent->findChildren<QPushButton*>();
    for (QPushButton* b : buttons)
        if (b->text() == text)
            return b;
    return nullptr;
}

fixtures::SeriesLayout smallSeries()
{
    fixtures::SeriesLayout layout;
    layout.rows = 20;
    layout.columns = 24;
    layout.slices = 10;
    return layout;
}

} // namespace

class TestVrt3DWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QList<db::InstanceRecord> m_rows;

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Brisvane"));
        QCoreApplication::setApplicationName(QStringLiteral("VavovIvirur"));
        QVERIFY(m_dir.isValid());
        m_rows = writeSeriesRows(m_dir.filePath(QStringLiteral("axial")), smallSeries());
        QCOMPARE(m_rows.size(), 10);
    }
    void init() { QSettings().remove(QStringLiteral("vrt/customPresets")); }

    void buildsOnAThreadAndFallsBackToTheCpuView()
    {
        auto* window = new Vrt3DWindow(m_rows, QStringLiteral("Axial CT"), nullptr, 0, 0, QStringLiteral("S1"));
        QPointer<Vrt3DWindow> guard(window);
        QVERIFY(!window->isEnabled());
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Строится объём для 3D-реконструкции… (10 срез.)"));
        QCOMPARE(window->windowTitle(), QStringLiteral("3D VRT — Axial CT"));
        window->show();
        QTRY_VERIFY_WITH_TIMEOUT(window->isEnabled(), 20000);
        const render::Volume& v = window->volume();
        QCOMPARE(QList<int>({v.nx, v.ny, v.nz}), QList<int>({24, 20, 10}));
        // A width of 0 takes the window from the volume's value range.
        QCOMPARE(window->effectiveWindowCenter(), (v.minValue + v.maxValue) / 2);
        QCOMPARE(window->effectiveWindowWidth(), std::max(v.maxValue - v.minValue, 1.0));
        QCOMPARE(window->currentPreset().name, render::transferFunctionPresets().first().name);
        QCOMPARE(window->cpuView()->renderParams().renderMode, 1);
        if (window->gpuView()->isInitialized())
            QSKIP("this platform made a GPU context; the fallback is not reached");
        QTRY_COMPARE_WITH_TIMEOUT(window->viewStack()->currentWidget(), static_cast<QWidget*>(window->cpuView()), 30000);
        QVERIFY(window->cpuModeAction()->isChecked());
        QVERIFY(!window->cropDrawAction()->isEnabled());
        QVERIFY(!window->cropUndoAction()->isEnabled());
        QVERIFY(!window->cropClearAction()->isEnabled());
        // The reason names the graphics interface this platform has, and is laid out whole.
        QLabel* note = window->statusNote();
        QVERIFY(note->isVisible());
        QVERIFY2(note->text().startsWith(QStringLiteral("OpenGL недоступен: ")), qPrintable(note->text()));
        QTRY_VERIFY_WITH_TIMEOUT(note->height() >= note->heightForWidth(note->width()), 30000);
        QVERIFY(note->geometry().right() < window->width());
        QVERIFY(!window->cpuView()->image().isNull());
        // The first view and "Сбросить вид" are the same whole-volume view.
        const render::VolumeCameraState opened = window->cpuView()->cameraState();
        window->cpuView()->setCameraState({QQuaternion::fromAxisAndAngle(0, 1, 0, 40), 2.0, 5, 5});
        actionNamed(window, QStringLiteral("Сбросить вид"))->trigger();
        const render::VolumeCameraState reset = window->cpuView()->cameraState();
        QCOMPARE(reset.rotation, opened.rotation);
        QCOMPARE((QList<double>{reset.zoom, reset.panX, reset.panY}), (QList<double>{opened.zoom, 0, 0}));

        window->cpuModeAction()->setChecked(false); // back to the GPU page, blank after its failure
        QVERIFY(window->cropDrawAction()->isEnabled());
        window->close();
        QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 30000);
    }

    void sagittalSeriesLiesOnThePatientAxes()
    {
        // The title names no plane: the slices' orientation alone turns the stack.
        fixtures::SeriesLayout layout = smallSeries();
        layout.plane = fixtures::Plane::Sagittal;
        Vrt3DWindow window(writeSeriesRows(m_dir.filePath(QStringLiteral("sagittal")), layout),
                           QStringLiteral("Series 3"), nullptr, 0, 0, QString());
        QTRY_VERIFY_WITH_TIMEOUT(window.isEnabled(), 20000);
        const render::Volume& v = window.volume();
        QCOMPARE(QList<int>({v.nx, v.ny, v.nz}), QList<int>({10, 24, 20}));
    }

    void geometryWarningStaysInSight()
    {
        // Two slices left out of ten at 1.5 mm: the volume is built evenly and says so.
        fixtures::SeriesLayout layout = smallSeries();
        layout.sliceOffset = [](int k) { return 1.5 * (k < 4 ? k : k + 2); };
        Vrt3DWindow window(writeSeriesRows(m_dir.filePath(QStringLiteral("gap")), layout), QStringLiteral("Gap"),
                           nullptr, 0, 0, QString());
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(window.isEnabled(), 20000);
        QCOMPARE(window.volume().nz, 10);
        const QLabel* warning = window.volumeWarning();
        QVERIFY(warning->isVisible());
        QVERIFY2(warning->text().contains(QStringLiteral("1.50")) && warning->text().contains(QStringLiteral("4.50")),
                 qPrintable(warning->text()));
    }

    void unreadableSeriesIsReported()
    {
        QList<db::InstanceRecord> broken = m_rows.mid(0, 3);
        for (int i = 0; i < broken.size(); ++i) {
            broken[i].filePath = m_dir.filePath(QStringLiteral("broken%1.dcm").arg(i));
            fixtures::writeDicmWithPayload(broken[i].filePath, QByteArray(40, '\x7f'));
        }
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        Vrt3DWindow window(broken, QStringLiteral("Broken"), nullptr, 0, 0, QStringLiteral("S"));
        QTRY_VERIFY_WITH_TIMEOUT(window.isEnabled(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
        QCOMPARE(answer.loopLevels(), QList<int>{0}); // not inside the build's end
        QCOMPARE(answer.titles().first(), QStringLiteral("3D VRT"));
        QVERIFY(answer.texts().first().startsWith(QStringLiteral("Не удалось построить объём для реконструкции:\n")));
        QVERIFY(answer.texts().first().size() > 48);
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Реконструкция не удалась"));
        QVERIFY(window.volume().isEmpty());
        QCOMPARE(window.viewStack()->currentIndex(), 0);
    }

    void closingDuringTheBuildIsSafe()
    {
        fixtures::SeriesLayout layout = smallSeries();
        layout.rows = layout.columns = 128;
        layout.slices = 40;
        const auto rows = writeSeriesRows(m_dir.filePath(QStringLiteral("big")), layout);
        auto* window = new Vrt3DWindow(rows, QStringLiteral("Big"), nullptr, 0, 0, QString());
        QList<QPointer<QThread>> builds;
        for (QThread* thread : window->findChildren<QThread*>())
            builds << thread;
        QVERIFY(!builds.isEmpty());
        const auto stop = window->buildStopFlag();
        delete window;
        QVERIFY(*stop); // the build was told to end early
        // The detached builds finish and clean up behind the window.
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(builds.begin(), builds.end(), [](const QPointer<QThread>& t) { return t.isNull(); }), 60000);
    }

    void readyVolumeStartsWithTheNamedPreset()
    {
        Vrt3DWindow unknown(centredBlock(8), QStringLiteral("?"), nullptr, 0, 0, QStringLiteral("Нет"), QString());
        QCOMPARE(unknown.currentPreset().name, render::transferFunctionPresets().first().name);
        render::Volume volume = centredBlock(16);
        Vrt3DWindow window(std::move(volume), QStringLiteral("Готовый"), nullptr, 0, -5,
                           QStringLiteral("Сосуды (контраст)"), QString());
        QVERIFY(window.isEnabled());
        QCOMPARE(window.currentPreset().name, QStringLiteral("Сосуды (контраст)"));
        QCOMPARE(window.effectiveWindowCenter(), 0.0);
        QCOMPARE(window.effectiveWindowWidth(), 2000.0);
        QVERIFY(!window.syncAction()->isEnabled());
        QCOMPARE(window.viewStack()->currentWidget(), static_cast<QWidget*>(window.gpuView()));
        QCOMPARE(window.statusBar()->currentMessage(),
                 QStringLiteral("Объём: 16×16×16 вокселей, spacing 1.00×1.00×1.00 мм"));
    }

    void densityCutsAndPresetMenu()
    {
        Vrt3DWindow window(centredBlock(16), QStringLiteral("Cut"), nullptr, 0, 0, QString(), QString());
        actionNamed(&window, QStringLiteral("Только кости"))->trigger();
        QCOMPARE(window.densityCut().enabled, true);
        QCOMPARE(window.densityCut().minHu, 200.0);
        QCOMPARE(window.currentPreset().name, QStringLiteral("Кости"));
        // The CPU view shows the cut preset, which hides everything below 200 HU.
        const auto& shown = window.cpuView()->renderParams().transferFunction;
        QCOMPARE(shown.points.first().value, 200.0);

        const auto presetActions = window.presetsMenu()->actions();
        QCOMPARE(presetActions.size(), render::transferFunctionPresets().size());
        presetActions[1]->trigger();
        QCOMPARE(window.currentPreset().name, render::transferFunctionPresets()[1].name);
        QCOMPARE(window.densityCut().minHu, 200.0); // choosing a preset keeps the cut

        actionNamed(&window, QStringLiteral("Выключить (показать всё)"))->trigger();
        QVERIFY(!window.densityCut().enabled);
        window.openCustomDensityRangeDialog();
        auto* dialog = window.findChild<QDialog*>();
        QVERIFY(dialog);
        QCOMPARE(dialog->findChild<QDoubleSpinBox*>(QStringLiteral("densityFrom"))->value(), -1024.0);
        dialog->findChild<QDoubleSpinBox*>(QStringLiteral("densityFrom"))->setValue(500);
        dialog->findChild<QDoubleSpinBox*>(QStringLiteral("densityTo"))->setValue(100);
        buttonNamed(dialog, QStringLiteral("Применить"))->click();
        QCOMPARE(window.densityCut().enabled, true);
        QCOMPARE(window.densityCut().minHu, 100.0);
        QCOMPARE(window.densityCut().maxHu, 500.0);
        QCOMPARE(window.currentPreset().name, render::transferFunctionPresets()[1].name);
    }

    void camerasFollowWindowsOfTheSameKey()
    {
        Vrt3DWindow a(centredBlock(12), QStringLiteral("A"), nullptr, 0, 0, QString(), QString());
        Vrt3DWindow b(centredBlock(12), QStringLiteral("B"), nullptr, 0, 0, QString(), QString());
        // Only the constructor from a series takes a key from the viewer: give both windows one here.
        Vrt3DWindow c(m_rows, QStringLiteral("C"), nullptr, 0, 0, QStringLiteral("study"));
        Vrt3DWindow d(m_rows, QStringLiteral("D"), nullptr, 0, 0, QStringLiteral("study"));
        QTRY_VERIFY_WITH_TIMEOUT(c.isEnabled() && d.isEnabled(), 20000);
        QVERIFY(!a.syncAction()->isEnabled());

        // A window hands its camera on when its view settles: wait for that, then look.
        const double before = d.gpuView()->cameraState().zoom;
        c.syncAction()->setChecked(true);
        QSignalSpy cSettled(c.gpuView(), &D3DVolumeRenderWidget::cameraSettled);
        wheel(c.gpuView(), 120);
        QVERIFY(cSettled.wait(10000));
        QCOMPARE(d.gpuView()->cameraState().zoom, before); // d does not take part yet

        d.syncAction()->setChecked(true);
        wheel(c.gpuView(), 120);
        const double zoom = c.gpuView()->cameraState().zoom;
        QTRY_COMPARE_WITH_TIMEOUT(d.gpuView()->cameraState().zoom, zoom, 30000);
        QCOMPARE(d.cpuView()->cameraState().zoom, zoom);
        // Windows without a key never exchange cameras.
        const double bZoom = b.gpuView()->cameraState().zoom;
        QSignalSpy aSettled(a.gpuView(), &D3DVolumeRenderWidget::cameraSettled);
        wheel(a.gpuView(), 120);
        QVERIFY(aSettled.wait(10000));
        QCOMPARE(b.gpuView()->cameraState().zoom, bZoom);
    }

    void editorDraftsFinalsSavesAndCancels()
    {
        Vrt3DWindow window(centredBlock(12), QStringLiteral("E"), nullptr, 0, 0, QString(), QString());
        const render::TransferFunctionPreset start = window.currentPreset();
        const int menuSize = int(window.presetsMenu()->actions().size());
        window.openTransferFunctionEditor();
        auto* dialog = window.findChild<TransferFunctionEditorDialog*>();
        QVERIFY(dialog);
        QCOMPARE(dialog->nameEdit()->text(), start.name);
        // Showing and resizing the editor lays it out and changes nothing that is drawn.
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        dialog->resize(dialog->width() + 100, dialog->height() + 60);
        QCoreApplication::processEvents();
        const auto& drawn = window.cpuView()->renderParams().transferFunction;
        QCOMPARE(render::sampleTransferFunctionOpacity(drawn, 950), render::sampleTransferFunctionOpacity(start, 950));
        QCOMPARE(drawn.points.first().value, start.points.first().value);
        QCOMPARE(dialog->editor()->huMin(), -1000.0);
        QCOMPARE(dialog->editor()->huMax(), 1000.0);

        render::TransferFunctionPreset edited = dialog->editor()->preset();
        edited.points[1].opacity = 0.9;
        emit dialog->presetChangedFinal(edited);
        QCOMPARE(window.currentPreset().points[1].opacity, 0.9);

        dialog->nameEdit()->setText(QStringLiteral("Мой пресет"));
        buttonNamed(dialog, QStringLiteral("Сохранить как пресет"))->click();
        QCOMPARE(window.presetsMenu()->actions().size(), menuSize + 1);
        QCOMPARE(window.presetsMenu()->actions().last()->text(), QStringLiteral("Мой пресет"));
        buttonNamed(dialog, QStringLiteral("Сохранить как пресет"))->click();
        QCOMPARE(window.presetsMenu()->actions().size(), menuSize + 1);
        QCOMPARE(Vrt3DWindow::loadCustomPresets().size(), 1);

        buttonNamed(dialog, QStringLiteral("Отмена"))->click();
        QCOMPARE(window.currentPreset().points[1].opacity, start.points[1].opacity);

        // A new window lists the saved preset after a separator.
        Vrt3DWindow next(centredBlock(12), QStringLiteral("N"), nullptr, 0, 0, QString(), QString());
        const auto actions = next.presetsMenu()->actions();
        QCOMPARE(actions.size(), menuSize + 2);
        QVERIFY(actions[menuSize]->isSeparator());
        QCOMPARE(actions.last()->text(), QStringLiteral("Мой пресет"));
    }
};

QTEST_MAIN(TestVrt3DWindow)
#include "tst_vrt3dwindow.moc"
