#include "Volume3dFixtures.h"

#include "analysis3d/TransferFunctionEditorDialog.h"
#include "analysis3d/TransferFunctionEditorWidget.h"
#include "analysis3d/TransferFunctionGraphicsView.h"
#include "analysis3d/TransferFunctionHandleItem.h"

#include <QGraphicsPathItem>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

using render::TransferFunctionPreset;

namespace {

TransferFunctionPreset threePoints()
{
    return {QStringLiteral("t"),
            {{0, QColor(0, 0, 0), 0.0}, {500, QColor(200, 100, 0), 0.5}, {1000, QColor(255, 255, 255), 1.0}}};
}

QPoint viewportPoint(TransferFunctionEditorWidget* editor, double value, double opacity)
{
    return editor->graphicsView()->mapFromScene(editor->scenePosForPoint({value, QColor(), opacity}));
}

} // namespace

class TestTransferFunctionEditor : public QObject
{
    Q_OBJECT

private slots:
    void setPresetNormalisesThePoints_data()
    {
        QTest::addColumn<TransferFunctionPreset>("preset");
        QTest::addColumn<double>("huMin");
        QTest::addColumn<double>("huMax");
        QTest::addColumn<QList<double>>("values");
        QTest::addColumn<QList<double>>("opacities");
        QTest::newRow("empty") << TransferFunctionPreset{} << -1000.0 << 3000.0 << QList<double>{-1000, 3000}
                               << QList<double>{0, 1};
        const TransferFunctionPreset unsorted{
            QString(), {{500, Qt::red, 0.2}, {100, Qt::green, 0.5}, {100, Qt::blue, 0.9}}};
        QTest::newRow("unsorted") << unsorted << 0.0 << 1000.0 << QList<double>{0, 100, 1000}
                                  << QList<double>{0.5, 0.9, 0.2};
        const TransferFunctionPreset wild{QString(), {{-50, Qt::red, -1.0}, {400, Qt::green, 7.0}, {900, Qt::blue, 0.3}}};
        QTest::newRow("out of range") << wild << 0.0 << 1000.0 << QList<double>{0, 400, 1000}
                                      << QList<double>{0.0, 1.0, 0.3};
    }
    void setPresetNormalisesThePoints()
    {
        QFETCH(TransferFunctionPreset, preset);
        QFETCH(double, huMin);
        QFETCH(double, huMax);
        QFETCH(QList<double>, values);
        QFETCH(QList<double>, opacities);
        TransferFunctionEditorDialog dialog(preset, huMin, huMax, QStringLiteral("x"));
        dialog.show();
        const auto* editor = dialog.editor();
        QCOMPARE(editor->points().size(), values.size());
        QCOMPARE(editor->handles().size(), values.size());
        for (int i = 0; i < values.size(); ++i) {
            QVERIFY2(std::abs(editor->points()[i].value - values[i]) < 1e-6, qPrintable(QString::number(i)));
            QVERIFY2(std::abs(editor->points()[i].opacity - opacities[i]) < 1e-6, qPrintable(QString::number(i)));
        }
        if (preset.points.isEmpty()) {
            QCOMPARE(editor->points().first().color, QColor(0, 0, 0));
            QCOMPARE(editor->points().last().color, QColor(255, 255, 255));
        }
    }

    void nodesMoveWithinTheirLimits()
    {
        TransferFunctionEditorDialog dialog(threePoints(), 0, 1000, QStringLiteral("t"));
        dialog.show();
        auto* editor = dialog.editor();
        QSignalSpy drafts(editor, &TransferFunctionEditorWidget::presetChangedDraft);
        QSignalSpy finals(editor, &TransferFunctionEditorWidget::presetChangedFinal);

        // The first node moves only vertically.
        editor->handles()[0]->setPos(editor->scenePosForPoint({400, QColor(), 0.75}));
        QCOMPARE(editor->points()[0].value, 0.0);
        QVERIFY(std::abs(editor->points()[0].opacity - 0.75) < 1e-9);
        // An interior node dragged past its right neighbour stops 1 HU before it.
        editor->handles()[1]->setPos(editor->scenePosForPoint({2000, QColor(), 0.3}));
        QVERIFY(std::abs(editor->points()[1].value - 999.0) < 1e-6);
        QVERIFY(drafts.size() >= 2);
        QVERIFY(finals.isEmpty());

        // A real drag of the middle node with the mouse, released: one final change.
        auto* viewport = editor->graphicsView()->viewport();
        const QPoint from = viewportPoint(editor, editor->points()[1].value, 0.3);
        QTest::mousePress(viewport, Qt::LeftButton, {}, from);
        QTest::mouseMove(viewport, from - QPoint(120, 0));
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, from - QPoint(120, 0));
        QCOMPARE(finals.size(), 1);
        QVERIFY(editor->points()[1].value < 900.0);
        QVERIFY(editor->points()[1].value > 1.0);
    }

    void ctrlClickAddsAndRemovesPoints()
    {
        TransferFunctionEditorDialog dialog(threePoints(), 0, 1000, QStringLiteral("t"));
        dialog.show();
        auto* editor = dialog.editor();
        auto* viewport = editor->graphicsView()->viewport();
        QSignalSpy finals(editor, &TransferFunctionEditorWidget::presetChangedFinal);

        // Within 2 HU of a point, and in the margin outside the plot: nothing.
        editor->addPointAt(editor->scenePosForPoint({501, QColor(), 0.2}));
        QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, QPoint(5, 5));
        QCOMPARE(editor->points().size(), 3);
        QVERIFY(finals.isEmpty());

        // On the plot away from the nodes: a point with the neighbours' blended colour.
        QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, viewportPoint(editor, 250, 0.2));
        QCOMPARE(editor->points().size(), 4);
        QCOMPARE(finals.size(), 1);
        const auto added = editor->points()[1];
        QVERIFY(std::abs(added.value - 250) < 5);
        QVERIFY(std::abs(added.color.red() - 100) <= 2);

        // Ctrl+click on an end node keeps it; on an interior node removes that node.
        QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier,
                          viewportPoint(editor, 0, editor->points()[0].opacity));
        QCoreApplication::processEvents();
        QCOMPARE(editor->points().size(), 4);
        QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, viewportPoint(editor, 500, 0.5));
        QTRY_COMPARE_WITH_TIMEOUT(editor->points().size(), 3, 30000);
        QCOMPARE(editor->points()[2].value, 1000.0);
        QVERIFY(std::abs(editor->points()[1].value - added.value) < 1e-6);
        // A point with opacity 0 still tints the fill a little.
        const auto* gradient = editor->curveItem()->brush().gradient();
        QVERIFY(std::abs(gradient->stops().first().second.alphaF() - 0.05) < 0.01);
    }

    void saveUsesAPlaceholderForABlankName()
    {
        const TransferFunctionPreset reversed{QString(), {{800, Qt::red, 1.0}, {-100, Qt::blue, 0.0}}};
        TransferFunctionEditorDialog dialog(reversed, -100, 800, QStringLiteral("x"));
        QSignalSpy save(&dialog, &TransferFunctionEditorDialog::saveAsPresetRequested);
        dialog.nameEdit()->setText(QStringLiteral("   "));
        const auto buttons = dialog.findChildren<QPushButton*>();
        for (QPushButton* b : buttons)
            if (b->text() == QStringLiteral("Сохранить как пресет"))
                b->click();
        QCOMPARE(save.size(), 1);
        const auto preset = save.first().first().value<TransferFunctionPreset>();
        QCOMPARE(preset.name, QStringLiteral("Без имени"));
        QCOMPARE(preset.points.first().value, -100.0);
        QCOMPARE(preset.points.last().value, 800.0);
        QCOMPARE(dialog.result(), 0);
    }
};

QTEST_MAIN(TestTransferFunctionEditor)
#include "tst_transferfunctioneditor.moc"
