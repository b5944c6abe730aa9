// What a viewing panel writes over its image: the four corner texts from the series header and the
// shown slice, the side letters under flips and rotations, where every floating widget sits, rotation
// steps, the visible part of a zoomed image and the slice selection. Fixture series in a real index.

#include "viewer/ImageViewportWidget.h"

#include "support/DicomFixtures.h"
#include "PanelTestSupport.h"

#include "db/Database.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGraphicsView>
#include <QLabel>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QToolButton>
#include <QWheelEvent>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

QLabel* labelStartingWith(const ImageViewportWidget& panel, const QString& prefix)
{
    for (QLabel* label : panel.graphicsView()->findChildren<QLabel*>())
        if (label->text().startsWith(prefix))
            return label;
    return nullptr;
}

// The side letters are the two one-letter labels; the left one is the one nearer the left edge.
struct SideLetters
{
    QLabel* left = nullptr;
    QLabel* right = nullptr;
};

SideLetters findSideLetters(const ImageViewportWidget& panel)
{
    SideLetters out;
    for (QLabel* label : panel.graphicsView()->findChildren<QLabel*>()) {
        if (label->text() != QLatin1String("R") && label->text() != QLatin1String("L"))
            continue;
        if (!out.left || label->x() < out.left->x()) {
            out.right = out.left;
            out.left = label;
        } else {
            out.right = label;
        }
    }
    return out;
}

// What a user reads at the left edge: "R", "L" or nothing.
QString leftLetter(const ImageViewportWidget& panel)
{
    const SideLetters letters = findSideLetters(panel);
    if (!letters.left || !letters.left->isVisible())
        return QString();
    return letters.left->text();
}

// The patient side shown at the screen's left edge, worked out from the screen itself: the patient
// points under the middle of the left and right edges. Empty when the screen's horizontal axis is not
// left-right (less than 0.3 of it along patient x).
QString expectedLeftLetter(const ImageViewportWidget& panel)
{
    QGraphicsView* view = panel.graphicsView();
    const int y = view->viewport()->height() / 2;
    const std::array<double, 3> left = panel.imageToPatient(view->mapToScene(QPoint(0, y)));
    const std::array<double, 3> right = panel.imageToPatient(view->mapToScene(QPoint(view->viewport()->width(), y)));
    const double dx = right[0] - left[0], dy = right[1] - left[1], dz = right[2] - left[2];
    const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (std::abs(dx) < 0.3 * length)
        return QString();
    // Patient x grows towards the patient's left.
    return dx > 0 ? QStringLiteral("R") : QStringLiteral("L");
}

void sendZoomWheel(const ImageViewportWidget& panel, int notches)
{
    for (int i = 0; i < notches; ++i)
        paneltest::sendWheel(panel, 120, Qt::ControlModifier);
}

using paneltest::makePanel;

} // namespace

class TestPanelOverlay : public QObject
{
    Q_OBJECT

    std::unique_ptr<paneltest::SeriesStore> m_store;

    static fixtures::SeriesLayout smallLayout(int slices = 3)
    {
        fixtures::SeriesLayout layout;
        layout.columns = 24;
        layout.rows = 20;
        layout.slices = slices;
        return layout;
    }

    static SeriesOverlayInfo infoFor(const QList<db::InstanceRecord>&, const QString& uid)
    {
        SeriesOverlayInfo info;
        info.patientName = QStringLiteral("Test^Patient");
        info.patientId = QStringLiteral("P1");
        info.seriesInstanceUid = uid;
        info.modality = QStringLiteral("CT");
        return info;
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

    void headerTexts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("birthDate");
        QTest::addColumn<QString>("sex");
        QTest::addColumn<QString>("studyDescription");
        QTest::addColumn<QString>("laterality");
        QTest::addColumn<QString>("bodyPart");
        QTest::addColumn<QString>("studyDate");
        QTest::addColumn<QString>("studyTime");
        QTest::addColumn<QString>("topLeft");
        QTest::addColumn<QString>("topRight");

        QTest::newRow("no name, left side, date and time")
            << "" << "19800215" << "M" << "Грудь" << " l " << "KNEE" << "20240131" << "0930"
            << "(без имени)\nID: P77\n15.02.1980  M"
            << "Грудь\nАксиал\nСерия 3 · CT\nСторона: Левая  ·  KNEE\n31.01.2024 09:30";
        QTest::newRow("birth date not parsed, right, time not parsed")
            << "Иванов^Иван" << "1980-02-15" << "" << "Грудь" << "RIGHT" << "" << "20240131" << "093"
            << "Иванов^Иван\nID: P77\n1980-02-15  " << "Грудь\nАксиал\nСерия 3 · CT\nСторона: Правая\n31.01.2024 093";
        QTest::newRow("sex only, other laterality, time without date")
            << "A" << "" << "F" << "Грудь" << "B" << "HAND" << "" << "143015" << "A\nID: P77\n  F"
            << "Грудь\nАксиал\nСерия 3 · CT\nСторона: B  ·  HAND\n14:30";
        QTest::newRow("no birth line, body part alone, bad date, no description")
            << "A" << "" << "" << "" << "" << "CHEST" << "2024-01-31" << "" << "A\nID: P77\n"
            << "(без описания)\nАксиал\nСерия 3 · CT\nCHEST\n2024-01-31";
        QTest::newRow("old date and time forms")
            << "A" << "1970.01.02" << "" << "" << "" << "" << "1997.04.24" << "14:04:38" << "A\nID: P77\n02.01.1970  "
            << "(без описания)\nАксиал\nСерия 3 · CT\n24.04.1997 14:04";
        QTest::newRow("lower-case words, leap day")
            << "A" << "20000229" << "O" << "Грудь" << "left" << "" << "20240229" << "2359" << "A\nID: P77\n29.02.2000  O"
            << "Грудь\nАксиал\nСерия 3 · CT\nСторона: Левая\n29.02.2024 23:59";
        QTest::newRow("r with spaces, nothing else")
            << "A" << "" << "" << "Грудь" << " r" << "" << "" << "" << "A\nID: P77\n"
            << "Грудь\nАксиал\nСерия 3 · CT\nСторона: Правая";
    }

    void headerTexts()
    {
        QFETCH(QString, name);
        QFETCH(QString, birthDate);
        QFETCH(QString, sex);
        QFETCH(QString, studyDescription);
        QFETCH(QString, laterality);
        QFETCH(QString, bodyPart);
        QFETCH(QString, studyDate);
        QFETCH(QString, studyTime);
        QFETCH(QString, topLeft);
        QFETCH(QString, topRight);

        static QList<db::InstanceRecord> rows;
        if (rows.isEmpty())
            rows = m_store->index(smallLayout());
        SeriesOverlayInfo info;
        info.patientName = name;
        info.patientId = QStringLiteral("P77");
        info.birthDate = birthDate;
        info.sex = sex;
        info.studyDescription = studyDescription;
        info.studyDate = studyDate;
        info.studyTime = studyTime;
        info.seriesDescription = QStringLiteral("Аксиал");
        info.seriesNumber = QStringLiteral("3");
        info.modality = QStringLiteral("CT");
        info.laterality = laterality;
        info.bodyPartExamined = bodyPart;
        info.seriesInstanceUid = QStringLiteral("1.2.3.") + QString::fromUtf8(QTest::currentDataTag());

        auto panel = makePanel();
        panel->showSeries(rows, info);
        QLabel* tl = labelStartingWith(*panel, topLeft.section(QLatin1Char('\n'), 0, 0) + QLatin1Char('\n'));
        QVERIFY(tl);
        QCOMPARE(tl->text(), topLeft);
        QVERIFY(tl->isVisible());
        QLabel* tr = labelStartingWith(*panel, topRight.section(QLatin1Char('\n'), 0, 0) + QLatin1Char('\n'));
        QVERIFY(tr);
        QCOMPARE(tr->text(), topRight);
        // In a wide panel each line of the text fits the label unwrapped.
        QVERIFY(tr->width() >= tr->fontMetrics().size(0, tr->text()).width());
        QCOMPARE(tr->height(), tr->heightForWidth(tr->width()));
    }

    void sliceAndWindowTexts_data()
    {
        QTest::addColumn<double>("thickness");
        QTest::addColumn<bool>("geometry");
        QTest::addColumn<double>("originZ");
        QTest::addColumn<QString>("tr");
        QTest::addColumn<QString>("te");
        QTest::addColumn<QString>("bottomLeft");
        QTest::addColumn<QString>("timing");

        QTest::newRow("thickness and location") << 1.5 << true << 50.0 << "" << "" << "Срез 3 / 3\nТолщина: 1.5 мм  Позиция: 53.0 мм"
                                                << "";
        QTest::newRow("neither") << 0.0 << false << 50.0 << "0" << "0" << "Срез 3 / 3\n" << "";
        QTest::newRow("location only") << 0.0 << true << 47.0 << "2000" << "0" << "Срез 3 / 3\nПозиция: 50.0 мм"
                                       << "TR: 2000  TE: 0.0";
        QTest::newRow("thickness only") << 2.26 << true << -3.0 << "450.6" << "12.34"
                                        << "Срез 3 / 3\nТолщина: 2.3 мм  " << "TR: 451  TE: 12.3";
        QTest::newRow("echo time only") << 1.0 << false << 0.0 << "" << "4.76" << "Срез 3 / 3\nТолщина: 1.0 мм  "
                                        << "TR: 0  TE: 4.8";
    }

    void sliceAndWindowTexts()
    {
        QFETCH(double, thickness);
        QFETCH(bool, geometry);
        QFETCH(double, originZ);
        QFETCH(QString, tr);
        QFETCH(QString, te);
        QFETCH(QString, bottomLeft);
        QFETCH(QString, timing);

        fixtures::SeriesLayout layout = smallLayout();
        layout.sliceThickness = thickness;
        layout.writeGeometry = geometry;
        layout.origin = {-100.0, -120.0, originZ};
        layout.customize = [tr, te](DcmDataset& ds, int) {
            if (!tr.isEmpty())
                ds.putAndInsertString(DCM_RepetitionTime, tr.toLatin1().constData());
            if (!te.isEmpty())
                ds.putAndInsertString(DCM_EchoTime, te.toLatin1().constData());
        };
        const QList<db::InstanceRecord> rows = m_store->index(layout);
        QCOMPARE(rows.size(), 3);
        auto panel = makePanel();
        panel->showSeries(rows, infoFor(rows, QStringLiteral("x")));
        panel->showSlice(2);
        QLabel* bl = labelStartingWith(*panel, QStringLiteral("Срез "));
        QVERIFY(bl);
        QCOMPARE(bl->text(), bottomLeft);

        // The window the frame was drawn with, halves away from zero.
        panel->setWindowPreset({39.5, 399.5});
        QLabel* br = labelStartingWith(*panel, QStringLiteral("WL: "));
        QVERIFY(br);
        QCOMPARE(br->text(), QStringLiteral("WL: 40  WW: 400\n") + timing);
        panel->setWindowPreset({-0.5, 2.5});
        QCOMPARE(br->text(), QStringLiteral("WL: -1  WW: 3\n") + timing);
        panel->setWindowPreset({-40.4, 80.49});
        QCOMPARE(br->text(), QStringLiteral("WL: -40  WW: 80\n") + timing);
        // Beyond every integer type, and still the number the window holds.
        panel->setWindowPreset({1e19, 400.0});
        QCOMPARE(br->text(), QStringLiteral("WL: 10000000000000000000  WW: 400\n") + timing);
    }

    void tagsModeKeepsTheCheckBox()
    {
        const QList<db::InstanceRecord> rows = m_store->index(smallLayout());
        auto panel = makePanel();
        panel->showSeries(rows, infoFor(rows, QStringLiteral("tags")));
        QCheckBox* check = panel->graphicsView()->findChild<QCheckBox*>();
        QLabel* window = labelStartingWith(*panel, QStringLiteral("WL: "));
        QVERIFY(check && window);

        panel->setTagsDisplayMode(1);
        QCOMPARE(panel->tagsDisplayMode(), 1);
        for (QLabel* label : panel->graphicsView()->findChildren<QLabel*>())
            if (!label->text().isEmpty() && label->text() != QLatin1String("R") && label->text() != QLatin1String("L"))
                QVERIFY2(!label->isVisible(), qPrintable(label->text()));
        QVERIFY(check->isVisible());
        // The box follows the selection slice by slice, also with the texts hidden.
        check->click();
        QVERIFY(check->isChecked());
        QCOMPARE(panel->selectedSlices().size(), 1);
        panel->showSlice(1);
        QVERIFY(!check->isChecked());
        QVERIFY(!window->isVisible());
        panel->showSlice(0);
        QVERIFY(check->isChecked());

        panel->setTagsDisplayMode(0);
        QVERIFY(window->isVisible());
        QCOMPARE(window->text().left(4), QStringLiteral("WL: "));
    }

    void sideLetters_data()
    {
        QTest::addColumn<QList<double>>("orientation");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("left");

        const QList<double> axial{1, 0, 0, 0, 1, 0};
        const QList<double> mirrored{-1, 0, 0, 0, 1, 0};
        const QList<double> sagittal{0, 1, 0, 0, 0, -1};
        const QList<double> transposed{0, 1, 0, 1, 0, 0}; // rows front to back, columns right to left
        const struct
        {
            const char* name;
            QList<double> orientation;
            const char* expected[6];
        } cases[] = {
            {"rows to the left", axial, {"R", "L", "R", "", "L", ""}},
            {"rows to the right", mirrored, {"L", "R", "L", "", "R", ""}},
            {"sagittal", sagittal, {"", "", "", "", "", ""}},
            {"rows to the back", transposed, {"", "", "", "L", "", "R"}},
        };
        const char* operations[6] = {"none", "flip horizontally", "flip vertically", "rotate 90", "rotate 180",
                                     "rotate 270"};
        for (const auto& c : cases)
            for (int i = 0; i < 6; ++i)
                QTest::addRow("%s, %s", c.name, operations[i])
                    << c.orientation << QString::fromLatin1(operations[i]) << QString::fromLatin1(c.expected[i]);
    }

    void sideLetters()
    {
        QFETCH(QList<double>, orientation);
        QFETCH(QString, operation);
        QFETCH(QString, left);

        fixtures::SeriesLayout layout = smallLayout(3);
        layout.plane = fixtures::Plane::Oblique;
        layout.obliqueOrientation = {orientation[0], orientation[1], orientation[2],
                                   orientation[3], orientation[4], orientation[5]};
        const QList<db::InstanceRecord> rows = m_store->index(layout);
        QCOMPARE(rows.size(), 3);
        auto panel = makePanel();
        panel->showSeries(rows, infoFor(rows, operation));

        if (operation == QLatin1String("flip horizontally"))
            panel->toggleFlipHorizontal();
        else if (operation == QLatin1String("flip vertically"))
            panel->toggleFlipVertical();
        else if (operation.startsWith(QLatin1String("rotate")))
            panel->rotateBy(operation.section(QLatin1Char(' '), 1).toInt());

        QCOMPARE(leftLetter(*panel), left);
        QCOMPARE(expectedLeftLetter(*panel), left);
        const SideLetters letters = findSideLetters(*panel);
        if (!left.isEmpty()) {
            QVERIFY(letters.right && letters.right->isVisible());
            QCOMPARE(letters.right->text(), left == QLatin1String("R") ? QStringLiteral("L") : QStringLiteral("R"));
            QCOMPARE(letters.left->font().pointSizeF(), 8.25);
            QVERIFY(letters.left->font().bold());
        } else if (letters.right) {
            QVERIFY(!letters.right->isVisible());
        }

        // Over a reconstruction the letters go; back on the file's slices they come again.
        panel->enterReconstructionPlane(2);
        QVERIFY(panel->reconstructionPlane() == 2);
        QCOMPARE(leftLetter(*panel), QString());
        panel->setInverted(true);
        QCOMPARE(leftLetter(*panel), QString());
        panel->showOriginalSlices();
        QCOMPARE(leftLetter(*panel), expectedLeftLetter(*panel));
    }

    void noCoordinatesNoLetters()
    {
        fixtures::SeriesLayout layout = smallLayout();
        layout.writeGeometry = false;
        const QList<db::InstanceRecord> rows = m_store->index(layout);
        auto panel = makePanel();
        panel->showSeries(rows, infoFor(rows, QStringLiteral("nogeo")));
        QCOMPARE(leftLetter(*panel), QString());
    }

    // A reconstruction whose volume spaces unevenly acquired slices evenly says so under its own text.
    void reconstructionNamesUnevenSteps_data()
    {
        QTest::addColumn<bool>("gap");
        QTest::newRow("even steps") << false;
        QTest::newRow("one slice left out") << true;
    }
    void reconstructionNamesUnevenSteps()
    {
        QFETCH(bool, gap);
        fixtures::SeriesLayout layout = smallLayout(5);
        if (gap)
            layout.sliceOffset = [](int k) { return 1.5 * (k < 2 ? k : k + 1); };
        const QList<db::InstanceRecord> rows = m_store->index(layout);
        auto panel = makePanel();
        panel->showSeries(rows, infoFor(rows, QStringLiteral("steps%1").arg(gap)));
        panel->enterReconstructionPlane(2);
        QLabel* recon = labelStartingWith(*panel, QStringLiteral("Реконструкция"));
        QVERIFY(recon);
        const QStringList lines = recon->text().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), gap ? 3 : 2);
        if (gap)
            QVERIFY2(lines[2].contains(QStringLiteral("1.50")) && lines[2].contains(QStringLiteral("3.00")),
                     qPrintable(lines[2]));
    }

    // Corner texts keep a dark halo over a bright image, so they stay readable wherever it is panned.
    void cornerTextsReadableOverBrightImage()
    {
        fixtures::SeriesLayout layout = smallLayout(1);
        layout.value = [](int, int, int) { return 3000; }; // far above the window: white
        const QList<db::InstanceRecord> rows = m_store->index(layout);
        auto panel = makePanel();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        panel->showSeries(rows, infoFor(rows, QStringLiteral("bright")));
        sendZoomWheel(*panel, 12); // the image now covers the whole view
        QCoreApplication::processEvents();
        QLabel* tl = labelStartingWith(*panel, QStringLiteral("Test^Patient"));
        QVERIFY(tl);
        const QImage image = panel->graphicsView()->grab().toImage().copy(tl->geometry());
        int bright = 0, dark = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const int grey = qGray(image.pixel(x, y));
                bright += grey > 200;
                dark += grey < 190; // darker than the yellow text (grey 202) and its smoothed edges
            }
        }
        QVERIFY(bright > image.width() * image.height() / 2); // the image lies under the text
        QVERIFY(dark > 20);
    }

    void layoutPositions()
    {
        const QList<db::InstanceRecord> rows = m_store->index(smallLayout());
        auto panel = makePanel();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        panel->showSeries(rows, infoFor(rows, QStringLiteral("layout")));
        QGraphicsView* view = panel->graphicsView();

        for (const QSize size : {QSize(420, 380), QSize(641, 517)}) {
            panel->resize(size);
            QCoreApplication::processEvents();
            const int w = view->width();
            const int h = view->height();
            QCOMPARE(w, size.width() - panel->sliceScrollBar()->width());
            QCOMPARE(h, size.height());

            QCheckBox* check = view->findChild<QCheckBox*>();
            QVERIFY(check->isVisible());
            QCOMPARE(check->pos(), QPoint(8, 8));
            QLabel* tl = labelStartingWith(*panel, QStringLiteral("Test^Patient"));
            QLabel* tr = labelStartingWith(*panel, QStringLiteral("(без описания)"));
            QLabel* bl = labelStartingWith(*panel, QStringLiteral("Срез "));
            QLabel* br = labelStartingWith(*panel, QStringLiteral("WL: "));
            QVERIFY(tl && tr && bl && br);
            // Each text keeps its corner; none shares a pixel with another floating widget (the step
            // buttons lie inside the thickness box by design).
            QCOMPARE(tl->pos(), QPoint(8, check->height() + 12));
            QCOMPARE(tr->geometry().right(), w - 9);
            QCOMPARE(bl->pos(), QPoint(8, h - 8 - bl->height()));
            QCOMPARE(br->geometry().bottomRight(), QPoint(w - 9, h - 9));
            QList<QWidget*> floating;
            for (QWidget* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                if (child->isVisible() && !qobject_cast<QToolButton*>(child) && child != view->viewport())
                    floating << child;
            for (int i = 0; i < floating.size(); ++i)
                for (int j = i + 1; j < floating.size(); ++j)
                    QVERIFY2(!floating[i]->geometry().intersects(floating[j]->geometry()),
                             qPrintable(floating[i]->objectName() + floating[j]->objectName()));

            const QList<QComboBox*> combos = view->findChildren<QComboBox*>();
            QCOMPARE(combos.size(), 2);
            QComboBox* plane = combos[0]->itemText(0) == QLatin1String("2D") ? combos[0] : combos[1];
            QComboBox* slab = plane == combos[0] ? combos[1] : combos[0];
            QDoubleSpinBox* box = view->findChild<QDoubleSpinBox*>();
            const int x0 = (w - (plane->width() + slab->width() + box->width() + 8)) / 2;
            QCOMPARE(plane->pos(), QPoint(x0, 8));
            QCOMPARE(slab->pos(), QPoint(x0 + plane->width() + 4, 8));
            QCOMPARE(box->pos(), QPoint(slab->x() + slab->width() + 4, 8));
            for (QToolButton* button : view->findChildren<QToolButton*>()) {
                QCOMPARE(button->x(), box->x() + box->width() - button->width() - 1);
                if (button->text() == QStringLiteral("▲"))
                    QCOMPARE(button->y(), 9);
                else
                    QCOMPARE(button->y(), 8 + box->height() - button->height() - 1);
            }
            const SideLetters letters = findSideLetters(*panel);
            QVERIFY(letters.left && letters.right);
            QCOMPARE(letters.left->pos(), QPoint(8, (h - letters.left->height()) / 2));
            QCOMPARE(letters.right->pos(), QPoint(w - 8 - letters.right->width(), (h - letters.right->height()) / 2));
        }

        // Without the check box (a reconstruction plane) the top-left text moves up to the corner.
        panel->enterReconstructionPlane(1);
        QVERIFY(!view->findChild<QCheckBox*>()->isVisible());
        QLabel* recon = labelStartingWith(*panel, QStringLiteral("Реконструкция"));
        QVERIFY(recon);
        QCOMPARE(recon->pos(), QPoint(8, 8));
        // A changed header does not overwrite the reconstruction's text.
        panel->setTagsDisplayMode(0);
        QVERIFY(recon->text().startsWith(QStringLiteral("Реконструкция")));
        QVERIFY(recon->isVisible());
    }

    void activeFrame()
    {
        auto panel = makePanel();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        QWidget* frame = nullptr;
        for (QWidget* w : panel->findChildren<QWidget*>())
            if (w->styleSheet().contains(QStringLiteral("3px solid")))
                frame = w;
        QVERIFY(frame);
        panel->setActiveHighlight(true);
        QCOMPARE(frame->styleSheet(), QStringLiteral("background: transparent; border: 3px solid #33aaff;"));
        QVERIFY(panel->hasFocus());
        panel->setActiveHighlight(false);
        QCOMPARE(frame->styleSheet(), QStringLiteral("background: transparent; border: 3px solid transparent;"));
    }

    void rotationSteps_data()
    {
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<int>("rotation");
        QTest::newRow("-90 from 0") << QList<int>{-90} << 270;
        QTest::newRow("180 from 270") << QList<int>{-90, 180} << 90;
        QTest::newRow("full turn") << QList<int>{90, 90, 90, 90} << 0;
        QTest::newRow("-450") << QList<int>{-450} << 270;
        QTest::newRow("540 after 90") << QList<int>{90, 540} << 270;
    }

    void rotationSteps()
    {
        QFETCH(QList<int>, steps);
        QFETCH(int, rotation);
        static QList<db::InstanceRecord> rows;
        if (rows.isEmpty())
            rows = m_store->index(smallLayout());
        auto panel = makePanel();
        panel->showSeries(rows, infoFor(rows, QString::fromUtf8(QTest::currentDataTag())));
        for (int step : steps)
            panel->rotateBy(step);
        QCOMPARE(panel->rotation(), rotation);
        // Rotating fits the image again: it lies wholly inside the view and touches two opposite edges.
        QGraphicsView* view = panel->graphicsView();
        const QRectF onScreen = view->mapFromScene(QRectF(0, 0, 24, 20)).boundingRect();
        const QRectF viewport = view->viewport()->rect();
        QVERIFY2(viewport.adjusted(-1, -1, 1, 1).contains(onScreen), qPrintable(QStringLiteral("%1 %2 %3 %4")
                                                                                   .arg(onScreen.x())
                                                                                   .arg(onScreen.y())
                                                                                   .arg(onScreen.width())
                                                                                   .arg(onScreen.height())));
        QVERIFY(std::abs(onScreen.width() - viewport.width()) < 6 || std::abs(onScreen.height() - viewport.height()) < 6);
        QVERIFY(!panel->isUserZoomed());
    }

    void visibleImagePart()
    {
        fixtures::SeriesLayout layout = smallLayout();
        layout.columns = 64;
        layout.rows = 64;
        const QList<db::InstanceRecord> rows = m_store->index(layout);
        auto panel = makePanel();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        panel->showSeries(rows, infoFor(rows, QStringLiteral("visible")));
        // Fitted: the whole image, although it leaves bands of the view empty.
        QCOMPARE(panel->visibleImageRect(), QRectF(0, 0, 1, 1));

        sendZoomWheel(*panel, 6);
        QVERIFY(panel->isUserZoomed());
        const QRectF part = panel->visibleImageRect();
        const double scale = panel->graphicsView()->transform().m11();
        const QWidget* viewport = panel->graphicsView()->viewport();
        QVERIFY(scale > 0);
        QVERIFY(QRectF(0, 0, 1, 1).contains(part));
        QVERIFY2(std::abs(part.width() - viewport->width() / (scale * 64.0)) < 0.02, qPrintable(QString::number(part.width())));
        QVERIFY(std::abs(part.height() - viewport->height() / (scale * 64.0)) < 0.02);
        QVERIFY(std::abs(part.center().x() - 0.5) < 0.05 && std::abs(part.center().y() - 0.5) < 0.05);

        panel->fitToView();
        QCOMPARE(panel->visibleImageRect(), QRectF(0, 0, 1, 1));
    }

    void sliceSelection()
    {
        const QList<db::InstanceRecord> rows = m_store->index(smallLayout(4));
        const QList<db::InstanceRecord> others = m_store->index(smallLayout(2));
        auto panel = makePanel();
        panel->showSeries(rows, infoFor(rows, QStringLiteral("sel-a")));
        QCheckBox* check = panel->graphicsView()->findChild<QCheckBox*>();
        QVERIFY(panel->selectedSlices().isEmpty());

        auto paths = [](const QList<db::InstanceRecord>& list) {
            QStringList out;
            for (const db::InstanceRecord& r : list)
                out << r.filePath;
            return out;
        };

        panel->showSlice(2);
        panel->setCurrentSliceSelected(true);
        QVERIFY(check->isChecked());
        panel->showSlice(0);
        QVERIFY(!check->isChecked());
        check->click();
        // Panel order, not the order of selecting.
        QCOMPARE(paths(panel->selectedSlices()), (QStringList{rows[0].filePath, rows[2].filePath}));
        panel->setCurrentSliceSelected(false);
        QVERIFY(!check->isChecked());
        QCOMPARE(paths(panel->selectedSlices()), QStringList{rows[2].filePath});

        panel->selectAllSlices();
        QVERIFY(check->isChecked());
        QCOMPARE(paths(panel->selectedSlices()), paths(rows));

        // The selection survives another series shown in between.
        panel->showSeries(others, infoFor(others, QStringLiteral("sel-b")));
        QVERIFY(panel->selectedSlices().isEmpty());
        QVERIFY(!check->isChecked());
        panel->showSeries(rows, infoFor(rows, QStringLiteral("sel-a")));
        QCOMPARE(paths(panel->selectedSlices()), paths(rows));

        // An empty panel selects nothing.
        ImageViewportWidget empty;
        empty.selectAllSlices();
        empty.setCurrentSliceSelected(true);
        QVERIFY(empty.selectedSlices().isEmpty());
    }
};

QTEST_MAIN(TestPanelOverlay)
#include "tst_paneloverlay.moc"
