// The viewer's comparison with another study and its fusion overlay, on a real index file filled
// from fixture series with real geometry. Popup menus are answered by choosing an entry the way a
// user does (keyboard), dialogs and message boxes through ModalAnswer.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"
#include "support/TextNumbers.h"

#include "db/Database.h"
#include "dialogs/StudyPickerDialog.h"
#include "dicom/CodecRegistration.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/ViewerWindow.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLabel>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QStatusBar>
#include <QThreadPool>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {

// Chooses the entry with the given text in the next popup menu, or closes it when the text is empty
// or missing; records what the popup offered.
class PopupAnswer
{
public:
    explicit PopupAnswer(QString choice) : m_choice(std::move(choice))
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start();
    }

    QStringList offered() const { return m_offered; }
    QStringList toolTips() const { return m_toolTips; }
    int popups() const { return m_popups; }

private:
    void tick()
    {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || !menu->isVisible())
            return;
        ++m_popups;
        m_offered.clear();
        QAction* chosen = nullptr;
        for (QAction* a : menu->actions()) {
            m_offered << (a->isSeparator() ? QStringLiteral("|") : a->text());
            m_toolTips << a->toolTip();
            if (!a->isSeparator() && a->text() == m_choice)
                chosen = a;
        }
        if (!chosen) {
            menu->close();
            return;
        }
        menu->setActiveAction(chosen);
        QTest::keyClick(menu, Qt::Key_Return);
    }

    QString m_choice;
    QTimer m_timer;
    QStringList m_offered;
    QStringList m_toolTips;
    int m_popups = 0;
};

QImage shownImage(const ImageViewportWidget& panel)
{
    for (QGraphicsItem* item : panel.graphicsScene()->items())
        if (auto* pixmapItem = dynamic_cast<QGraphicsPixmapItem*>(item))
            return pixmapItem->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    return {};
}

// The texts the panel shows over its image, one label a line.
QString shownTexts(const ImageViewportWidget& panel)
{
    QStringList texts;
    for (QLabel* label : panel.graphicsView()->findChildren<QLabel*>())
        if (label->isVisible())
            texts << label->text();
    return texts.join(QLatin1Char('\n'));
}

bool isGrey(QRgb p)
{
    return qRed(p) == qGreen(p) && qGreen(p) == qBlue(p);
}

// The overlay's colour shows as red clearly above blue (heat map below its top third).
bool isTinted(QRgb p)
{
    return qRed(p) > qBlue(p) + 20;
}

QAction* compareAction(ViewerWindow& w)
{
    for (QAction* a : w.toolBar()->actions())
        if (a->objectName() == QStringLiteral("compare"))
            return a;
    return nullptr;
}

QAction* fusionAction(ViewerWindow& w)
{
    for (QToolButton* b : w.toolBar()->findChildren<QToolButton*>())
        if (b->toolTip() == QStringLiteral("Дополнительные функции"))
            for (QAction* a : b->menu()->actions())
                if (a->text() == QStringLiteral("Fusion"))
                    return a;
    return nullptr;
}

// Leaves the build's progress dialog alone and answers everything else.
void skipProgress(fixtures::ModalAnswer& answer)
{
    answer.setDialogHandler([](QDialog* d) { return qobject_cast<QProgressDialog*>(d) == nullptr; });
}

// Value of the overlay series: a block of 450 at i 4..7, j 2..5 from slice 4 on, one voxel of 1000
// far from the CT slices (so the window is 0..1000), 0 elsewhere.
int petValue(int x, int y, int z)
{
    if (x == 15 && y == 15 && z == 0)
        return 1000;
    return (x >= 4 && x <= 7 && y >= 2 && y <= 5 && z >= 4) ? 450 : 0;
}

} // namespace

class TestCompareFusion : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<dicom::CodecRegistrationScope> m_codecs;
    std::unique_ptr<db::Database> m_db;
    QString m_studyA, m_studyB, m_studyC, m_studyNoId, m_studyOther;
    QString m_ct, m_pet, m_noGeometry, m_broken, m_flat, m_olderSeries, m_dateOnlySeries, m_otherSeries;

    QString add(fixtures::SeriesLayout& layout, const QString& folder)
    {
        if (!fixtures::writeAndIndexSeries(*m_db, m_dir.filePath(folder), layout))
            return {};
        return layout.seriesUid;
    }

    std::unique_ptr<ViewerWindow> openViewer(const QString& study)
    {
        auto w = std::make_unique<ViewerWindow>(m_db.get(), study, QString());
        w->setAttribute(Qt::WA_DeleteOnClose, false);
        w->resize(1100, 700);
        w->show();
        return w;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_codecs = std::make_unique<dicom::CodecRegistrationScope>();
        m_db = std::make_unique<db::Database>();
        QVERIFY(m_db->open(m_dir.filePath(QStringLiteral("index.sqlite3"))));

        // Study A: a CT of uniform soft tissue, 1 mm pixels, slices every 2 mm from z = 50.
        fixtures::SeriesLayout ct;
        ct.patientId = QStringLiteral("P1");
        ct.studyDescription = QStringLiteral("Current");
        ct.studyDate = QStringLiteral("20240115");
        ct.seriesDescription = QStringLiteral("Axial");
        ct.rows = ct.columns = 32;
        ct.rowSpacing = ct.columnSpacing = 1.0;
        ct.slices = 6;
        ct.sliceSpacing = ct.sliceThickness = 2.0;
        ct.origin = {-100.0, -120.0, 50.0};
        ct.value = [](int, int, int) { return 1064; };
        m_ct = add(ct, QStringLiteral("ct"));
        m_studyA = ct.studyUid;

        // Its PET: 2 mm pixels, starting 4 mm lower, in the same frame of reference.
        fixtures::SeriesLayout pet = ct;
        pet.seriesUid.clear();
        pet.seriesDescription = QStringLiteral("PET");
        pet.seriesNumber = QStringLiteral("2");
        pet.modality = QStringLiteral("PT");
        pet.rows = pet.columns = 16;
        pet.rowSpacing = pet.columnSpacing = 2.0;
        pet.slices = 8;
        pet.origin = {-100.0, -120.0, 46.0};
        pet.rescaleIntercept = 0.0;
        pet.value = petValue;
        m_pet = add(pet, QStringLiteral("pet"));

        fixtures::SeriesLayout noGeometry = pet;
        noGeometry.seriesUid.clear();
        noGeometry.seriesDescription.clear();
        noGeometry.seriesNumber = QStringLiteral("3");
        noGeometry.modality = QStringLiteral("MR");
        noGeometry.writeGeometry = false;
        noGeometry.slices = 3;
        m_noGeometry = add(noGeometry, QStringLiteral("nogeo"));

        fixtures::SeriesLayout broken = pet;
        broken.seriesUid.clear();
        broken.seriesDescription = QStringLiteral("Broken");
        broken.seriesNumber = QStringLiteral("4");
        broken.slices = 2;
        m_broken = add(broken, QStringLiteral("broken"));
        for (const db::InstanceRecord& row : m_db->instancesForSeries(m_broken))
            QVERIFY(QFile::remove(row.filePath)); // indexed, then lost from the disk

        fixtures::SeriesLayout flat = pet;
        flat.seriesUid.clear();
        flat.seriesDescription = QStringLiteral("Flat");
        flat.seriesNumber = QStringLiteral("5");
        flat.value = [](int, int, int) { return 300; };
        m_flat = add(flat, QStringLiteral("flat"));

        // Two older studies of the same patient, one with a date that is not a full date.
        fixtures::SeriesLayout older;
        older.patientId = QStringLiteral("P1");
        older.studyDate = QStringLiteral("20230301");
        older.studyDescription = QStringLiteral("Older study");
        older.seriesDescription = QStringLiteral("Old chest");
        older.slices = 3;
        m_olderSeries = add(older, QStringLiteral("older"));
        m_studyB = older.studyUid;

        fixtures::SeriesLayout dateOnly = older;
        dateOnly.studyUid.clear();
        dateOnly.seriesUid.clear();
        dateOnly.studyDate = QStringLiteral("2023");
        dateOnly.studyDescription.clear();
        m_dateOnlySeries = add(dateOnly, QStringLiteral("dateonly"));
        m_studyC = dateOnly.studyUid;

        // A study without a patient ID, and a study of another patient.
        fixtures::SeriesLayout noId = older;
        noId.studyUid.clear();
        noId.seriesUid.clear();
        noId.patientId.clear();
        noId.patientName = QStringLiteral("Аноним");
        QVERIFY(!add(noId, QStringLiteral("noid")).isEmpty());
        m_studyNoId = noId.studyUid;

        fixtures::SeriesLayout other = older;
        other.studyUid.clear();
        other.seriesUid.clear();
        other.patientId = QStringLiteral("P2");
        other.patientName = QStringLiteral("Другой^Пациент");
        other.studyDescription = QStringLiteral("Other patient");
        m_otherSeries = add(other, QStringLiteral("other"));
        m_studyOther = other.studyUid;

        for (const QString& uid : {m_ct, m_pet, m_noGeometry, m_broken, m_flat, m_olderSeries, m_dateOnlySeries,
                                   m_otherSeries})
            QVERIFY(!uid.isEmpty());
    }

    void cleanupTestCase()
    {
        m_db.reset();
        m_codecs.reset();
    }

    // The patient's other studies, newest first, then the manual choice; an entry opens its study
    // in a cell of the grid beside the primary one.
    void compareMenuOffersThePatientsOtherStudies()
    {
        auto w = openViewer(m_studyA);
        QAction* compare = compareAction(*w);
        QVERIFY(compare && compare->isEnabled());

        PopupAnswer popup(QStringLiteral("01.03.2023 · Older study"));
        compare->trigger();
        QCOMPARE(popup.popups(), 1);
        QCOMPARE(popup.offered(), (QStringList{QStringLiteral("01.03.2023 · Older study"),
                                               QStringLiteral("2023 · (без описания)"), QStringLiteral("|"),
                                               QStringLiteral("Выбрать вручную…")}));
        QCOMPARE(popup.toolTips().value(3),
                 QStringLiteral("Если найденное по ID пациента — не то, или нужно сравнить с чем-то другим"));

        QStringList listed = w->listedStudyUids();
        listed.sort();
        QStringList expected{m_studyA, m_studyB};
        expected.sort();
        QCOMPARE(listed, expected);
        QVERIFY(w->gridRowCount() * w->gridColumnCount() >= 2);
        QCOMPARE(w->panelSeriesUid(0), m_ct);
        QCOMPARE(w->panelSeriesUid(1), m_olderSeries);
        QCOMPARE(w->panel(1)->sliceCount(), 3);
    }

    void closingTheMenuOpensNothing()
    {
        auto w = openViewer(m_studyA);
        PopupAnswer popup{QString()};
        fixtures::ModalAnswer answer;
        compareAction(*w)->trigger();
        QCOMPARE(popup.popups(), 1);
        QCOMPARE(w->listedStudyUids(), QStringList{m_studyA});
        QCOMPARE(answer.count(), 0);
    }

    // "Выбрать вручную…" and a patient without an ID both reach the picker; its choice opens beside,
    // a cancelled picker opens nothing.
    void manualChoiceThroughThePicker_data()
    {
        QTest::addColumn<bool>("patientHasId");
        QTest::addColumn<bool>("accept");
        QTest::newRow("from the menu, chosen") << true << true;
        QTest::newRow("from the menu, cancelled") << true << false;
        QTest::newRow("no patient ID, chosen") << false << true;
        QTest::newRow("no patient ID, cancelled") << false << false;
    }

    void manualChoiceThroughThePicker()
    {
        QFETCH(bool, patientHasId);
        QFETCH(bool, accept);
        const QString primary = patientHasId ? m_studyA : m_studyNoId;
        auto w = openViewer(primary);

        QStringList pickerRows;
        fixtures::ModalAnswer answer(QMessageBox::Ok, accept ? QDialog::Accepted : QDialog::Rejected);
        answer.setDialogHandler([&](QDialog* d) {
            auto* picker = qobject_cast<StudyPickerDialog*>(d);
            if (!picker)
                return true;
            QTableWidget* table = picker->table();
            for (int r = 0; r < table->rowCount(); ++r) {
                const QString uid = table->item(r, 0)->data(Qt::UserRole).toString();
                pickerRows << uid;
                if (accept && uid == m_studyOther)
                    table->selectRow(r);
            }
            if (accept)
                for (QPushButton* b : picker->findChildren<QPushButton*>())
                    if (b->text() == QStringLiteral("Открыть рядом"))
                        b->click();
            return true;
        });

        PopupAnswer popup(QStringLiteral("Выбрать вручную…"));
        compareAction(*w)->trigger();
        QCOMPARE(popup.popups(), patientHasId ? 1 : 0);
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Выбрать исследование для сравнения")});
        QVERIFY(!pickerRows.contains(primary));
        QVERIFY(pickerRows.contains(m_studyOther));

        if (accept) {
            QVERIFY(w->listedStudyUids().contains(m_studyOther));
            QCOMPARE(w->panelSeriesUid(1), m_otherSeries);
        } else {
            QCOMPARE(w->listedStudyUids(), QStringList{primary});
            QVERIFY(w->panelSeriesUid(1).isEmpty());
        }
    }

    // The overlay samples the second series where each CT pixel lies in the patient, not at the
    // same pixel indices; a second press removes it without a menu.
    void fusionOnAndOff()
    {
        auto w = openViewer(m_studyA);
        ImageViewportWidget* panel = w->panel(0);
        QCOMPARE(w->panelSeriesUid(0), m_ct);
        panel->showSlice(3); // z = 56 mm: PET plane 5, inside the block
        const QImage before = shownImage(*panel);
        QCOMPARE(before.size(), QSize(32, 32));

        QAction* fusion = fusionAction(*w);
        QVERIFY(fusion && fusion->isEnabled());
        fixtures::ModalAnswer answer;
        skipProgress(answer);
        {
            PopupAnswer popup(QStringLiteral("PT · PET"));
            fusion->trigger();
            QCOMPARE(popup.offered(), (QStringList{QStringLiteral("PT · PET"), QStringLiteral("MR · (без описания)"),
                                                   QStringLiteral("PT · Broken"), QStringLiteral("PT · Flat")}));
            QTRY_VERIFY_WITH_TIMEOUT(panel->hasFusionOverlay(), 30000);
        }
        QCOMPARE(answer.texts(), QStringList{});
        QCOMPARE(panel->fusionOverlayName(), QStringLiteral("PT · PET"));
        QCOMPARE(panel->fusionCenter(), 500.0);
        QCOMPARE(panel->fusionWidth(), 1000.0);
        QCOMPARE(panel->fusionOpacity(), 0.4);
        QTRY_VERIFY_WITH_TIMEOUT(w->findChildren<QProgressDialog*>().isEmpty(), 30000); // released by the handler

        // PET block i 4..7, j 2..5 lies at CT columns 8..14 and rows 4..10 (2 mm against 1 mm).
        const QImage fused = shownImage(*panel);
        for (int y = 5; y <= 9; ++y)
            for (int x = 9; x <= 13; ++x)
                QVERIFY2(isTinted(fused.pixel(x, y)), qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
        for (const QPoint p : {QPoint(5, 5), QPoint(17, 7), QPoint(11, 1), QPoint(11, 13), QPoint(0, 0),
                               QPoint(31, 31), QPoint(4, 3) /* the block's place by raw indices */}) {
            QVERIFY2(isGrey(fused.pixel(p)), qPrintable(QStringLiteral("(%1, %2)").arg(p.x()).arg(p.y())));
            QCOMPARE(fused.pixel(p), before.pixel(p));
        }

        // z = 50 mm is PET plane 2, below the block: nothing tinted.
        panel->showSlice(0);
        const QImage low = shownImage(*panel);
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x)
                QVERIFY(isGrey(low.pixel(x, y)));
        panel->showSlice(3);

        // Off again, without a menu.
        PopupAnswer none{QString()};
        fusion->trigger();
        QCOMPARE(none.popups(), 0);
        QVERIFY(!panel->hasFusionOverlay());
        QCOMPARE(shownImage(*panel), before);
        QCOMPARE(answer.count(), 0);
    }

    void fusionOfAFlatSeriesGetsWidthOne()
    {
        auto w = openViewer(m_studyA);
        fixtures::ModalAnswer answer;
        skipProgress(answer);
        w->startFusionBuild(m_flat, QStringLiteral("PT · Flat"));
        QTRY_VERIFY_WITH_TIMEOUT(w->panel(0)->hasFusionOverlay(), 30000);
        QCOMPARE(w->panel(0)->fusionCenter(), 300.0);
        QCOMPARE(w->panel(0)->fusionWidth(), 1.0);
    }

    // The overlay lands on the panel that was active when the build started.
    void fusionLandsOnTheStartingPanel()
    {
        auto w = openViewer(m_studyA);
        w->onGridLayoutChosen(1, 2);
        w->setActiveViewport(1);
        w->showSeriesInActivePanel(m_ct);
        fixtures::ModalAnswer answer;
        skipProgress(answer);
        w->startFusionBuild(m_pet, QStringLiteral("PT · PET"));
        w->setActiveViewport(0);
        QTRY_VERIFY_WITH_TIMEOUT(w->panel(1)->hasFusionOverlay(), 30000);
        QVERIFY(!w->panel(0)->hasFusionOverlay());
    }

    // A build that loses some planes still lays the overlay, and the status line says how many.
    void fusionWithMissingPlanesSaysSo()
    {
        fixtures::SeriesLayout gappy;
        gappy.studyUid = m_studyA;
        gappy.patientId = QStringLiteral("P1");
        gappy.modality = QStringLiteral("PT");
        gappy.seriesDescription = QStringLiteral("Gappy");
        gappy.seriesNumber = QStringLiteral("6");
        gappy.origin = {-100.0, -120.0, 46.0};
        gappy.rows = gappy.columns = 8;
        gappy.slices = 5;
        gappy.sliceSpacing = 4.0;
        const QString uid = add(gappy, QStringLiteral("gappy"));
        QVERIFY(!uid.isEmpty());
        QVERIFY(QFile::remove(m_db->instancesForSeries(uid).at(2).filePath));

        auto w = openViewer(m_studyA);
        fixtures::ModalAnswer answer;
        skipProgress(answer);
        w->startFusionBuild(uid, QStringLiteral("PT · Gappy"));
        QTRY_VERIFY_WITH_TIMEOUT(w->panel(0)->hasFusionOverlay(), 30000);
        QCOMPARE(answer.count(), 0);
        QCOMPARE(w->statusBar()->currentMessage(), QStringLiteral("Пропущено срезов серии для наложения: 1 из 5"));
    }

    // A viewer that goes away while its volume is built leaves the task to finish on its own copies.
    void viewerClosedDuringTheBuild()
    {
        auto w = openViewer(m_studyA);
        fixtures::ModalAnswer answer;
        skipProgress(answer);
        w->startFusionBuild(m_pet, QStringLiteral("PT · PET"));
        w.reset();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QCOMPARE(answer.texts(), QStringList{});
    }

    void fusionRefusalsAndFailures_data()
    {
        QTest::addColumn<QString>("shown");   // series in the active panel, empty for none
        QTest::addColumn<QString>("overlay"); // series passed to the build, empty: through the action
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty panel") << QString() << QString() << QStringLiteral("Совмещение")
                                     << QStringLiteral("Сначала откройте серию в активной панели.");
        QTest::newRow("shown series without geometry")
            << QStringLiteral("nogeo") << QString() << QStringLiteral("Совмещение")
            << QStringLiteral("У серии в активной панели нет пространственной информации "
                              "(ImagePositionPatient/ImageOrientationPatient) — совмещение невозможно.");
        QTest::newRow("overlay without geometry")
            << QStringLiteral("ct") << QStringLiteral("nogeo") << QStringLiteral("Совмещение")
            << QStringLiteral("Не удалось построить слой совмещения: У серии для наложения нет пространственной "
                              "информации (ImagePositionPatient/ImageOrientationPatient) — совмещение невозможно");
        QTest::newRow("overlay files gone")
            << QStringLiteral("ct") << QStringLiteral("broken") << QStringLiteral("Совмещение")
            << QStringLiteral("Не удалось построить слой совмещения: Не удалось прочитать первый срез серии для "
                              "наложения: ");
        QTest::newRow("unknown series") << QStringLiteral("ct") << QStringLiteral("unknown")
                                        << QStringLiteral("Совмещение")
                                        << QStringLiteral("В выбранной серии не найдено ни одного среза.");
    }

    void fusionRefusalsAndFailures()
    {
        QFETCH(QString, shown);
        QFETCH(QString, overlay);
        QFETCH(QString, title);
        QFETCH(QString, text);
        const QMap<QString, QString> uids{{QStringLiteral("ct"), m_ct},
                                          {QStringLiteral("nogeo"), m_noGeometry},
                                          {QStringLiteral("broken"), m_broken},
                                          {QStringLiteral("unknown"), QStringLiteral("1.2.3.999")}};
        auto w = openViewer(m_studyA);
        if (shown.isEmpty()) {
            w->onGridLayoutChosen(1, 2);
            w->setActiveViewport(1);
        } else {
            w->showSeriesInActivePanel(uids.value(shown));
        }
        ImageViewportWidget* panel = w->panel(w->activePanelIndex());

        fixtures::ModalAnswer answer(QMessageBox::Ok);
        skipProgress(answer);
        PopupAnswer popup{QString()};
        if (overlay.isEmpty())
            fusionAction(*w)->trigger();
        else
            w->startFusionBuild(uids.value(overlay), QStringLiteral("label"));
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
        QCOMPARE(popup.popups(), 0);
        QCOMPARE(answer.titles(), QStringList{title});
        QVERIFY2(answer.texts().value(0).startsWith(text), qPrintable(answer.texts().value(0)));
        QVERIFY(!panel->hasFusionOverlay());
        QTRY_VERIFY_WITH_TIMEOUT(w->findChildren<QProgressDialog*>().isEmpty(), 30000);
        QVERIFY(w->isEnabled());
    }

    // An overlay from a stack that its volume lays off its place (a tilted gantry, a sheared stack) says so
    // under every slice it is laid on, whatever passes through the status line, until it is taken off.
    // (Last: the series it adds to the study would change the menus the tests above read.)
    void slidOverlayIsAnnouncedWhileShown_data()
    {
        QTest::addColumn<int>("shape");
        QTest::addColumn<QList<double>>("named"); // the warning's numbers; none: no warning
        QTest::newRow("regular") << int(fixtures::StackShape::Regular) << QList<double>{};
        // Eight slices, each slid 0.68 mm (tilted gantry) or 0.73 mm (sheared) against the one before.
        QTest::newRow("tilted gantry") << int(fixtures::StackShape::TiltedGantry) << QList<double>{4.79};
        QTest::newRow("sheared") << int(fixtures::StackShape::Sheared) << QList<double>{5.10};
    }
    void slidOverlayIsAnnouncedWhileShown()
    {
        QFETCH(int, shape);
        QFETCH(QList<double>, named);
        fixtures::SeriesLayout layout;
        layout.studyUid = m_studyA;
        layout.patientId = QStringLiteral("P1");
        layout.modality = QStringLiteral("PT");
        layout.seriesDescription = QString::fromLatin1(QTest::currentDataTag());
        layout.seriesNumber = QString::number(10 + shape);
        layout.origin = {-100.0, -120.0, 46.0};
        layout.rows = layout.columns = 16;
        layout.rowSpacing = layout.columnSpacing = 2.0;
        layout.rescaleIntercept = 0.0;
        layout.value = petValue;
        fixtures::shapeStack(layout, fixtures::StackShape(shape));
        const QString uid = add(layout, QStringLiteral("slid%1").arg(shape));
        QVERIFY(!uid.isEmpty());

        auto w = openViewer(m_studyA);
        w->showSeriesInActivePanel(m_ct);
        ImageViewportWidget* panel = w->panel(0);
        fixtures::ModalAnswer answer;
        skipProgress(answer);
        w->startFusionBuild(uid, QStringLiteral("PT · slid"));
        QTRY_VERIFY_WITH_TIMEOUT(panel->hasFusionOverlay(), 30000);
        QCOMPARE(answer.count(), 0);
        QCOMPARE(fixtures::numbersIn(panel->fusionWarnings()), named);
        const QString note = QStringLiteral("Совмещение «PT · slid»:");
        for (int slice : {3, 0, 5}) {
            // Each slice change also rewrites the status line (the reference lines' hint).
            panel->showSlice(slice);
            const QString shown = shownTexts(*panel);
            QCOMPARE(shown.contains(note), !named.isEmpty());
            for (double number : named)
                QVERIFY2(shown.contains(QString::number(number, 'f', 2)), qPrintable(shown));
        }
        // With the corner texts hidden the warning stays.
        panel->setTagsDisplayMode(1);
        QCOMPARE(shownTexts(*panel).contains(note), !named.isEmpty());
        panel->setTagsDisplayMode(0);

        fusionAction(*w)->trigger();
        QVERIFY(!panel->hasFusionOverlay());
        QVERIFY(!shownTexts(*panel).contains(note));
        QVERIFY(panel->fusionWarnings().isEmpty());
    }
};

QTEST_MAIN(TestCompareFusion)
#include "tst_comparefusion.moc"
