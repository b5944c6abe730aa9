// The viewer window on a real index file filled from fixture series: the series panel, the first
// series, the panel grid, the active panel, dropped series, the series menu, detaching, a comparison
// study and a study that grows while it is shown.

#include "support/ChangeBeforeValues.h"
#include "support/DicomFixtures.h"
#include "support/ModalAnswer.h"
#include "support/TestFiles.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/FrameDecoder.h"
#include "render/HuImage.h"
#include "viewer/GridLayoutPicker.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/SeriesListWidget.h"
#include "viewer/ViewerWindow.h"

#include <QAction>
#include <QDrag>
#include <QDropEvent>
#include <QThread>
#include <QTimer>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSplitter>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <cmath>
#include <memory>

namespace {

struct SeriesFiles
{
    QString uid;
    QStringList files;
};

// The one study of most cases: three series of one patient, one of them MR without a description
// and with a series number that sorts after 2 only as a number.
struct Fixture
{
    QString studyA;  // 15.01.2024 10:15, three series
    QString studyB;  // 01.03.2023, one series, same patient
    QString studyC;  // study date not in yyyyMMdd form
    SeriesFiles axial;   // CT "Axial", no. 1, 8 slices
    SeriesFiles coronal; // CT "Coronal", no. 2, 5 slices
    SeriesFiles mr;      // MR "", no. 10, 3 slices
    SeriesFiles older;   // study B: CT "Old chest", 4 slices
    SeriesFiles oddDate; // study C
};

// A round phantom instead of the coordinate code, so that the grabbed window looks like a scan:
// air outside, soft tissue inside, a dense disc that grows along the series.
int phantomValue(int x, int y, int z, double intercept)
{
    const double dx = x - 15.5;
    const double dy = y - 15.5;
    const double r = std::sqrt(dx * dx + dy * dy);
    const double ex = x - 10.0;
    const double ey = y - 12.0;
    double hu = -1000.0;
    if (r < 14.0)
        hu = 40.0 + 3.0 * x;
    if (std::sqrt(ex * ex + ey * ey) < 2.0 + z)
        hu = 700.0;
    return int(hu - intercept);
}

SeriesFiles writeFixtureSeries(const QString& dir, fixtures::SeriesLayout layout)
{
    fixtures::completeUids(layout);
    const double intercept = layout.rescaleIntercept;
    layout.value = [intercept](int x, int y, int z) { return phantomValue(x, y, z, intercept); };
    QDir().mkpath(dir);
    return {layout.seriesUid, fixtures::writeSeries(dir, layout)};
}

bool indexFiles(db::Database& db, const QStringList& files)
{
    for (const QString& f : files) {
        const std::optional<dicom::DicomFileSummary> s = dicom::readFileSummary(f);
        if (!s || !db.indexFile(*s))
            return false;
    }
    return true;
}

QListWidgetItem* rowOf(ViewerWindow& w, const QString& seriesUid)
{
    QListWidget* list = w.seriesListWidget();
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->data(SeriesUidRole).toString() == seriesUid)
            return list->item(i);
    return nullptr;
}

QStringList rowTexts(ViewerWindow& w)
{
    QStringList out;
    for (int i = 0; i < w.seriesListWidget()->count(); ++i)
        out << w.seriesListWidget()->item(i)->text();
    return out;
}

QStringList markedRows(ViewerWindow& w)
{
    QStringList out;
    for (const QString& t : rowTexts(w))
        if (t.startsWith(QStringLiteral("✓ ")))
            out << t;
    return out;
}

QAction* toolbarAction(ViewerWindow& w, const QString& name)
{
    for (QAction* a : w.toolBar()->actions())
        if (a->objectName() == name)
            return a;
    return nullptr;
}

void sendDrop(QWidget* target, QMimeData* mime)
{
    const QPoint pos = target->rect().center();
    QDragEnterEvent enter(pos, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(QPointF(pos), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
}

} // namespace

class TestViewerWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<db::Database> m_db;
    Fixture m_fx;

    std::unique_ptr<ViewerWindow> openViewer(const QString& seriesUid = {}, const QString& study = {})
    {
        auto w = std::make_unique<ViewerWindow>(m_db.get(), study.isEmpty() ? m_fx.studyA : study, seriesUid);
        // The tests own the window: closing it must not delete it under them.
        w->setAttribute(Qt::WA_DeleteOnClose, false);
        return w;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        dicom::registerMetaTypes();

        fixtures::SeriesLayout a;
        a.seriesDescription = QStringLiteral("Axial");
        a.slices = 8;
        fixtures::completeUids(a);
        m_fx.studyA = a.studyUid;
        m_fx.axial = writeFixtureSeries(m_dir.filePath(QStringLiteral("a1")), a);

        fixtures::SeriesLayout c = a;
        c.seriesUid.clear();
        c.seriesDescription = QStringLiteral("Coronal");
        c.seriesNumber = QStringLiteral("2");
        c.plane = fixtures::Plane::Coronal;
        c.slices = 5;
        m_fx.coronal = writeFixtureSeries(m_dir.filePath(QStringLiteral("a2")), c);

        fixtures::SeriesLayout mr = a;
        mr.seriesUid.clear();
        mr.seriesDescription.clear();
        mr.seriesNumber = QStringLiteral("10");
        mr.modality = QStringLiteral("MR");
        mr.rescaleIntercept = 0.0;
        mr.slices = 3;
        m_fx.mr = writeFixtureSeries(m_dir.filePath(QStringLiteral("a3")), mr);

        fixtures::SeriesLayout b;
        b.studyDate = QStringLiteral("20230301");
        b.studyDescription = QStringLiteral("Older study");
        b.seriesDescription = QStringLiteral("Old chest");
        b.slices = 4;
        fixtures::completeUids(b);
        m_fx.studyB = b.studyUid;
        m_fx.older = writeFixtureSeries(m_dir.filePath(QStringLiteral("b1")), b);

        fixtures::SeriesLayout odd;
        odd.patientId = QStringLiteral("P0002");
        odd.patientName = QStringLiteral("Другой^Пациент");
        odd.studyDate = QStringLiteral("2024-1-5");
        odd.studyDescription.clear();
        odd.slices = 2;
        fixtures::completeUids(odd);
        m_fx.studyC = odd.studyUid;
        m_fx.oddDate = writeFixtureSeries(m_dir.filePath(QStringLiteral("c1")), odd);
    }

    void init()
    {
        // A fresh index file per case: some cases add rows while the window is open.
        m_db.reset();
        QFile::remove(m_dir.filePath(QStringLiteral("index.sqlite3")));
        m_db = std::make_unique<db::Database>();
        QVERIFY(m_db->open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
        for (const SeriesFiles* s : {&m_fx.axial, &m_fx.coronal, &m_fx.mr, &m_fx.older, &m_fx.oddDate})
            QVERIFY(indexFiles(*m_db, s->files));
    }

    void cleanup() { m_db.reset(); }

    void seriesPanelRowsAndThumbnails()
    {
        auto w = openViewer();
        QCOMPARE(w->windowTitle(), QStringLiteral("Test^Patient — Test study"));
        QCOMPARE(w->size(), QSize(1400, 900));
        QVERIFY(w->testAttribute(Qt::WA_DeleteOnClose) == false); // set by the test, see openViewer
        QVERIFY(ViewerWindow(m_db.get(), m_fx.studyA, {}).testAttribute(Qt::WA_DeleteOnClose));

        QListWidget* list = w->seriesListWidget();
        QCOMPARE(list->viewMode(), QListView::IconMode);
        QCOMPARE(list->iconSize(), QSize(120, 120));
        QCOMPARE(rowTexts(*w), (QStringList{QStringLiteral("── 15.01.2024 · Test^Patient ──\nTest study"),
                                            QStringLiteral("✓ CT\nAxial\n8 срез."),
                                            QStringLiteral("CT\nCoronal\n5 срез."),
                                            QStringLiteral("MR\n(без описания)\n3 срез.")}));

        QListWidgetItem* header = list->item(0);
        QCOMPARE(header->flags(), Qt::ItemIsEnabled);
        QVERIFY(header->data(SeriesUidRole).toString().isEmpty());
        QCOMPARE(header->background().color(), QColor(40, 45, 55));
        QCOMPARE(header->foreground().color(), QColor(190, 200, 220));
        QVERIFY(header->font().bold());
        QVERIFY(header->icon().isNull());

        QListWidgetItem* mr = list->item(3);
        QCOMPARE(mr->data(SeriesUidRole).toString(), m_fx.mr.uid);
        QCOMPARE(mr->data(SeriesDescriptionRole).toString(), QString());
        QCOMPARE(mr->data(SeriesNumberRole).toString(), QStringLiteral("10"));
        QCOMPARE(mr->data(SeriesModalityRole).toString(), QStringLiteral("MR"));
        QCOMPARE(mr->data(SeriesBodyPartRole).toString(), QStringLiteral("CHEST"));
        QCOMPARE(mr->data(SeriesStudyUidRole).toString(), m_fx.studyA);

        // The thumbnail is the middle instance (index 8 / 2 = 4), scaled up from 32 x 32.
        QListWidgetItem* axial = list->item(1);
        QVERIFY(!axial->icon().isNull());
        const QImage thumb = axial->icon().pixmap(QSize(120, 120)).toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(thumb.size(), QSize(120, 120));
        const std::optional<dicom::DecodedFrame> middle = dicom::decodeFrame(m_fx.axial.files.at(4), 0, std::nullopt);
        QVERIFY(middle.has_value());
        const QImage expected = middle->image.scaled(QSize(120, 120), Qt::KeepAspectRatio, Qt::SmoothTransformation)
                                    .convertToFormat(QImage::Format_RGB32);
        QCOMPARE(thumb, expected);
        const QImage first = dicom::decodeFrame(m_fx.axial.files.at(0), 0, std::nullopt)
                                 ->image.scaled(QSize(120, 120), Qt::KeepAspectRatio, Qt::SmoothTransformation)
                                 .convertToFormat(QImage::Format_RGB32);
        QVERIFY(thumb != first);

        // The first series is shown in panel 0 with the thirteen overlay texts.
        QCOMPARE(w->activePanelIndex(), 0);
        QCOMPARE(list->currentItem(), axial);
        ImageViewportWidget* p0 = w->panel(0);
        QCOMPARE(p0->sliceCount(), 8);
        QCOMPARE(w->panelSliceList(0).size(), 8);
        QCOMPARE(w->panelTitle(0), QStringLiteral("Axial"));
        QCOMPARE(w->panelSeriesUid(0), m_fx.axial.uid);
        const SeriesOverlayInfo& info = p0->overlayInfo();
        QCOMPARE(info.patientName, QStringLiteral("Test^Patient"));
        QCOMPARE(info.patientId, QStringLiteral("P0001"));
        QCOMPARE(info.birthDate, QStringLiteral("19700101"));
        QCOMPARE(info.sex, QStringLiteral("M"));
        QCOMPARE(info.studyDescription, QStringLiteral("Test study"));
        QCOMPARE(info.studyDate, QStringLiteral("20240115"));
        QCOMPARE(info.studyTime, QStringLiteral("101500"));
        QCOMPARE(info.seriesDescription, QStringLiteral("Axial"));
        QCOMPARE(info.seriesNumber, QStringLiteral("1"));
        QCOMPARE(info.modality, QStringLiteral("CT"));
        QCOMPARE(info.bodyPartExamined, QStringLiteral("CHEST"));
        QCOMPARE(info.seriesInstanceUid, m_fx.axial.uid);
        for (int i = 1; i < ViewerWindow::PanelCount; ++i)
            QCOMPARE(w->panel(i)->sliceCount(), 0);
    }

    void firstSeriesChoice_data()
    {
        QTest::addColumn<QString>("preselect"); // "axial", "coronal", "mr", "unknown", ""
        QTest::addColumn<QString>("shown");
        QTest::newRow("none") << QString() << QStringLiteral("axial");
        QTest::newRow("second series") << QStringLiteral("coronal") << QStringLiteral("coronal");
        QTest::newRow("last series") << QStringLiteral("mr") << QStringLiteral("mr");
        QTest::newRow("not listed") << QStringLiteral("unknown") << QStringLiteral("axial");
        QTest::newRow("series of another study") << QStringLiteral("older") << QStringLiteral("axial");
    }

    void firstSeriesChoice()
    {
        QFETCH(QString, preselect);
        QFETCH(QString, shown);
        const QHash<QString, QString> uids{{QStringLiteral("axial"), m_fx.axial.uid},
                                           {QStringLiteral("coronal"), m_fx.coronal.uid},
                                           {QStringLiteral("mr"), m_fx.mr.uid},
                                           {QStringLiteral("older"), m_fx.older.uid},
                                           {QStringLiteral("unknown"), QStringLiteral("1.2.3.4.5")}};
        const int listings = db::RowFileProof::listingsChecked();
        auto w = openViewer(uids.value(preselect));
        // Each series of the study listed once, for its row, the panel and the checks of the analyses:
        // a listing proves the files of a series that may hold thousands.
        QCOMPARE(db::RowFileProof::listingsChecked() - listings, 3);
        QCOMPARE(w->panelSeriesUid(0), uids.value(shown));
        QCOMPARE(w->seriesListWidget()->currentItem(), rowOf(*w, uids.value(shown)));
        QCOMPARE(markedRows(*w).size(), 1);
        QVERIFY(rowOf(*w, uids.value(shown))->text().startsWith(QStringLiteral("✓ ")));
    }

    void studyMissingOrOddDate()
    {
        auto missing = openViewer({}, QStringLiteral("1.2.999"));
        QCOMPARE(missing->windowTitle(), QStringLiteral("Kalvenor"));
        QCOMPARE(rowTexts(*missing), QStringList{QStringLiteral("──  · (без имени) ──\n(без описания)")});
        QCOMPARE(missing->panel(0)->sliceCount(), 0);
        QVERIFY(missing->panelSeriesUid(0).isEmpty());

        auto odd = openViewer({}, m_fx.studyC);
        QCOMPARE(rowTexts(*odd).first(), QStringLiteral("── 2024-1-5 · Другой^Пациент ──\n(без описания)"));
        QCOMPARE(odd->windowTitle(), QStringLiteral("Другой^Пациент — "));
    }

    void clickingRows()
    {
        auto w = openViewer();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QListWidget* list = w->seriesListWidget();
        auto click = [&](int row) {
            list->scrollToItem(list->item(row));
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
        };

        const QStringList before = rowTexts(*w);
        click(0); // study header: nothing changes
        QCOMPARE(w->panelSeriesUid(0), m_fx.axial.uid);
        QCOMPARE(w->panel(0)->sliceCount(), 8);
        QCOMPARE(rowTexts(*w), before);

        const int listings = db::RowFileProof::listingsChecked();
        click(3);
        QCOMPARE(db::RowFileProof::listingsChecked() - listings, 1); // the series shown, once
        QCOMPARE(w->panelSeriesUid(0), m_fx.mr.uid);
        QCOMPARE(w->panel(0)->sliceCount(), 3);
        QCOMPARE(w->panelTitle(0), QStringLiteral("Серия"));
        QCOMPARE(markedRows(*w), QStringList{QStringLiteral("✓ MR\n(без описания)\n3 срез.")});

        w->onSeriesThumbnailActivated(nullptr); // ignored
        QCOMPARE(w->panelSeriesUid(0), m_fx.mr.uid);
    }

    void gridLayouts_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("cols");
        QTest::addColumn<int>("expectRows");
        QTest::addColumn<int>("expectCols");
        for (int r = 1; r <= 3; ++r)
            for (int c = 1; c <= 3; ++c)
                QTest::addRow("%d x %d", r, c) << r << c << r << c;
        QTest::newRow("0 x 5") << 0 << 5 << 1 << 3;
        QTest::newRow("-2 x 9") << -2 << 9 << 1 << 3;
        QTest::newRow("7 x 0") << 7 << 0 << 3 << 1;
    }

    void gridLayouts()
    {
        QFETCH(int, rows);
        QFETCH(int, cols);
        QFETCH(int, expectRows);
        QFETCH(int, expectCols);
        auto w = openViewer();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->onGridLayoutChosen(rows, cols);
        QCOMPARE(w->gridRowCount(), expectRows);
        QCOMPARE(w->gridColumnCount(), expectCols);
        QSplitter* grid = w->gridSplitter();
        QCOMPARE(grid->orientation(), Qt::Vertical);
        QCOMPARE(grid->count(), expectRows);
        for (int r = 0; r < expectRows; ++r) {
            auto* row = qobject_cast<QSplitter*>(grid->widget(r));
            QVERIFY(row);
            QCOMPARE(row->orientation(), Qt::Horizontal);
            QCOMPARE(row->count(), expectCols);
            for (int c = 0; c < expectCols; ++c)
                QCOMPARE(row->widget(c), static_cast<QWidget*>(w->panel(r * 3 + c)));
        }
        for (int i = 0; i < ViewerWindow::PanelCount; ++i) {
            const bool inGrid = i / 3 < expectRows && i % 3 < expectCols;
            QCOMPARE(w->panel(i)->isVisible(), inGrid);
        }
        // Equal shares, give or take the rounding of the handles.
        QTRY_VERIFY_WITH_TIMEOUT(grid->sizes().size() == expectRows, 30000);
        const QList<int> sizes = qobject_cast<QSplitter*>(grid->widget(0))->sizes();
        for (int s : sizes)
            QVERIFY(qAbs(s - sizes.first()) <= 2);
    }

    void gridKeepsSeriesAndActivePanel()
    {
        auto w = openViewer();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->onGridLayoutChosen(3, 3);
        w->setActiveViewport(8);
        w->showSeriesInActivePanel(m_fx.coronal.uid);
        QCOMPARE(w->panelSeriesUid(8), m_fx.coronal.uid);
        w->panel(8)->showSlice(3);

        // 2 x 2 leaves panel 8 out: it is hidden, keeps its series, and panel 0 becomes active.
        w->onGridLayoutChosen(2, 2);
        QVERIFY(!w->panel(8)->isVisible());
        QCOMPARE(w->activePanelIndex(), 0);
        QCOMPARE(w->panel(8)->sliceCount(), 5);
        w->onGridLayoutChosen(3, 3);
        QVERIFY(w->panel(8)->isVisible());
        QCOMPARE(w->panel(8)->currentSliceIndex(), 3);
        QCOMPARE(w->panelSeriesUid(8), m_fx.coronal.uid);

        // An active panel inside the new grid stays active.
        w->setActiveViewport(4);
        w->onGridLayoutChosen(2, 2);
        QCOMPARE(w->activePanelIndex(), 4);
        w->onGridLayoutChosen(1, 1);
        QCOMPARE(w->activePanelIndex(), 0);
    }

    void layoutButtonOpensPicker()
    {
        auto w = openViewer();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QToolButton* button = w->layoutButton();
        QVERIFY(button);
        QCOMPARE(button->toolTip(), QStringLiteral("Раскладка панелей (перетаскиваемые границы)"));
        button->click();
        GridLayoutPicker* picker = button->findChild<GridLayoutPicker*>();
        QVERIFY(picker);
        QTRY_VERIFY_WITH_TIMEOUT(picker->isVisible(), 30000);
        // Window frames of the platform may shift a top-level window by a pixel or two.
        QVERIFY((picker->pos() - button->mapToGlobal(QPoint(0, button->height()))).manhattanLength() <= 6);
        emit picker->layoutChosen(2, 3);
        QCOMPARE(w->gridRowCount(), 2);
        QCOMPARE(w->gridColumnCount(), 3);
    }

    void activePanelAndMark()
    {
        auto w = openViewer();
        w->onGridLayoutChosen(2, 2);
        emit w->panel(1)->activated();
        QCOMPARE(w->activePanelIndex(), 1);
        QVERIFY(markedRows(*w).isEmpty()); // panel 1 shows nothing yet
        QListWidget* list = w->seriesListWidget();
        w->onSeriesThumbnailActivated(rowOf(*w, m_fx.coronal.uid));
        QCOMPARE(w->panelSeriesUid(1), m_fx.coronal.uid);
        QCOMPARE(w->panelSeriesUid(0), m_fx.axial.uid);
        QCOMPARE(markedRows(*w), QStringList{QStringLiteral("✓ CT\nCoronal\n5 срез.")});
        emit w->panel(0)->activated();
        QCOMPARE(markedRows(*w), QStringList{QStringLiteral("✓ CT\nAxial\n8 срез.")});
        QCOMPARE(list->count(), 4);
        w->setActiveViewport(9); // not a panel: ignored
        QCOMPARE(w->activePanelIndex(), 0);
    }

    // A series dragged from the series panel and dropped on a panel: that panel becomes active and
    // shows it.
    void dragSeriesOntoPanel()
    {
        auto w = openViewer();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->onGridLayoutChosen(2, 2);

        SeriesListWidget* list = w->seriesListWidget();
        QListWidgetItem* row = rowOf(*w, m_fx.coronal.uid);
        list->scrollToItem(row);
        const QPoint start = list->visualItemRect(row).center();
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(start), list->viewport()->mapToGlobal(QPointF(start)),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &press);
        const QPoint to = start + QPoint(QApplication::startDragDistance() + 4, 0);
        QMouseEvent move(QEvent::MouseMove, QPointF(to), list->viewport()->mapToGlobal(QPointF(to)), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &move);
        const QList<QDrag*> drags = list->findChildren<QDrag*>(Qt::FindDirectChildrenOnly);
        QCOMPARE(drags.size(), 1);
        const QByteArray payload = drags.first()->mimeData()->data(QStringLiteral("application/x-dicom-series-uid"));
        QCOMPARE(payload, m_fx.coronal.uid.toUtf8());

        auto* mime = new QMimeData;
        mime->setData(QStringLiteral("application/x-dicom-series-uid"), payload);
        sendDrop(w->panel(4), mime);
        QCOMPARE(w->activePanelIndex(), 4);
        QCOMPARE(w->panelSeriesUid(4), m_fx.coronal.uid);
        QCOMPARE(w->panel(4)->sliceCount(), 5);
        QCOMPARE(w->panelSeriesUid(0), m_fx.axial.uid);
        QCOMPARE(markedRows(*w), QStringList{QStringLiteral("✓ CT\nCoronal\n5 срез.")});

        // A UID the panel does not list changes nothing in the panel but still activates it.
        mime->setData(QStringLiteral("application/x-dicom-series-uid"), QByteArray("1.2.3.unknown"));
        sendDrop(w->panel(3), mime);
        QCOMPARE(w->activePanelIndex(), 3);
        QCOMPARE(w->panel(3)->sliceCount(), 0);
        QVERIFY(w->panelSeriesUid(3).isEmpty());
        delete mime;
    }

    void seriesMenu()
    {
        auto w = openViewer();
        w->onGridLayoutChosen(1, 2);
        std::unique_ptr<QMenu> menu(w->buildSeriesMenu(0));
        QStringList texts;
        for (QAction* a : menu->actions())
            texts << (a->isSeparator() ? QStringLiteral("--") : a->text());
        QCOMPARE(texts, (QStringList{QStringLiteral("✓ №1 · CT · Axial"), QStringLiteral("№2 · CT · Coronal"),
                                     QStringLiteral("№10 · MR · "), QStringLiteral("--"),
                                     QStringLiteral("🖥 Отсоединить на отдельный экран")}));

        // Choosing a series in panel 1's menu makes panel 1 active and shows it there.
        menu.reset(w->buildSeriesMenu(1));
        menu->actions().at(1)->trigger();
        QCOMPARE(w->activePanelIndex(), 1);
        QCOMPARE(w->panelSeriesUid(1), m_fx.coronal.uid);
        QCOMPARE(w->panelSeriesUid(0), m_fx.axial.uid);
        QVERIFY(w->buildSeriesMenu(9) == nullptr);

        // With a reconstruction in the panel the menu offers the source slices first.
        w->panel(0)->enterReconstructionPlane(2);
        QCOMPARE(w->panel(0)->reconstructionPlane(), 2);
        menu.reset(w->buildSeriesMenu(0));
        QCOMPARE(menu->actions().at(0)->text(), QStringLiteral("↩ Исходные срезы"));
        QVERIFY(menu->actions().at(1)->isSeparator());
        menu->actions().at(0)->trigger();
        QCOMPARE(w->panel(0)->reconstructionPlane(), 0);
    }

    void detachAndReattach()
    {
        auto w = openViewer();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        ImageViewportWidget* p0 = w->panel(0);

        // Detach by the series menu: the panel lives in its own window, the cell shows a placeholder.
        std::unique_ptr<QMenu> menu(w->buildSeriesMenu(0));
        menu->actions().last()->trigger();
        QPointer<QMainWindow> window = w->detachedWindow(0);
        QVERIFY(window);
        QCOMPARE(window->windowTitle(), QStringLiteral("Панель просмотра — Kalvenor"));
        QCOMPARE(window->size(), QSize(900, 700));
        QVERIFY(!window->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(window->centralWidget(), static_cast<QWidget*>(p0));
        QVERIFY(window->isVisible());
        QCOMPARE(p0->sliceCount(), 8);
        auto* row = qobject_cast<QSplitter*>(w->gridSplitter()->widget(0));
        QCOMPARE(row->count(), 1);
        QWidget* placeholder = row->widget(0);
        QVERIFY(placeholder != p0);
        auto* label = placeholder->findChild<QLabel*>();
        QVERIFY(label);
        QCOMPARE(label->text(), QStringLiteral("Панель отсоединена\nна отдельный экран"));
        menu.reset(w->buildSeriesMenu(0));
        QCOMPARE(menu->actions().last()->text(), QStringLiteral("📌 Прикрепить обратно"));

        // A new layout keeps the placeholder in the detached panel's cell.
        w->onGridLayoutChosen(1, 2);
        row = qobject_cast<QSplitter*>(w->gridSplitter()->widget(0));
        QVERIFY(row->widget(0)->findChild<QPushButton*>());
        QCOMPARE(row->widget(1), static_cast<QWidget*>(w->panel(1)));

        // "Прикрепить обратно" puts it back.
        auto* button = row->widget(0)->findChild<QPushButton*>();
        QCOMPARE(button->text(), QStringLiteral("Прикрепить обратно"));
        button->click();
        QVERIFY(!w->detachedWindow(0));
        QTRY_VERIFY_WITH_TIMEOUT(window.isNull(), 30000);
        row = qobject_cast<QSplitter*>(w->gridSplitter()->widget(0));
        QCOMPARE(row->widget(0), static_cast<QWidget*>(p0));
        QVERIFY(p0->isVisible());
        QCOMPARE(p0->sliceCount(), 8);

        // Closing the panel's window by its title bar re-attaches instead of closing.
        w->toggleDetachViewport(0);
        window = w->detachedWindow(0);
        QVERIFY(window);
        QVERIFY(!window->close());
        QVERIFY(!w->detachedWindow(0));
        QTRY_VERIFY_WITH_TIMEOUT(window.isNull(), 30000);
        QCOMPARE(qobject_cast<QSplitter*>(w->gridSplitter()->widget(0))->widget(0), static_cast<QWidget*>(p0));
        QVERIFY(w->isVisible());

        w->toggleDetachViewport(9); // ignored
        w->toggleDetachViewport(-1);
        for (int i = 0; i < ViewerWindow::PanelCount; ++i)
            QVERIFY(!w->detachedWindow(i));

        // Closing the viewer closes and deletes the panel windows; the panels stay with the viewer.
        w->toggleDetachViewport(1);
        window = w->detachedWindow(1);
        QVERIFY(window);
        QPointer<ImageViewportWidget> p1 = w->panel(1);
        w->close();
        QVERIFY(!w->detachedWindow(1));
        QTRY_VERIFY_WITH_TIMEOUT(window.isNull(), 30000);
        QVERIFY(!p1.isNull());
    }

    void viewerDeletedWithDetachedPanel()
    {
        auto* w = new ViewerWindow(m_db.get(), m_fx.studyA, {});
        w->show();
        w->toggleDetachViewport(0);
        QPointer<QMainWindow> window = w->detachedWindow(0);
        QVERIFY(window);
        QPointer<ViewerWindow> guard = w;
        w->close(); // deletes itself
        QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(window.isNull(), 30000);
    }

    void comparisonStudy_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("cols");
        QTest::addColumn<QList<int>>("filled"); // panels that already show a series
        QTest::addColumn<int>("target");
        QTest::addColumn<int>("rowsAfter");
        QTest::addColumn<int>("colsAfter");
        QTest::newRow("1 x 1 becomes 1 x 2") << 1 << 1 << QList<int>{0} << 1 << 1 << 2;
        QTest::newRow("2 x 2 first empty cell") << 2 << 2 << QList<int>{0} << 1 << 2 << 2;
        // Panel 2 is empty but outside a 2 x 2 grid: the study goes to panel 3, which is on screen.
        QTest::newRow("2 x 2 skips hidden panel 2") << 2 << 2 << QList<int>{0, 1} << 3 << 2 << 2;
        QTest::newRow("2 x 2 full: last cell") << 2 << 2 << QList<int>{0, 1, 3, 4} << 4 << 2 << 2;
        QTest::newRow("3 x 3 empty cell 7") << 3 << 3 << QList<int>{0, 1, 2, 3, 4, 5, 6, 8} << 7 << 3 << 3;
        QTest::newRow("1 x 3 full") << 1 << 3 << QList<int>{0, 1, 2} << 2 << 1 << 3;
    }

    void comparisonStudy()
    {
        QFETCH(int, rows);
        QFETCH(int, cols);
        QFETCH(QList<int>, filled);
        QFETCH(int, target);
        QFETCH(int, rowsAfter);
        QFETCH(int, colsAfter);
        auto w = openViewer();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->onGridLayoutChosen(rows, cols);
        for (int i : filled) {
            w->setActiveViewport(i);
            w->showSeriesInActivePanel(m_fx.mr.uid);
        }
        w->setActiveViewport(0);

        w->openComparisonStudy(m_fx.studyB);
        QCOMPARE(w->gridRowCount(), rowsAfter);
        QCOMPARE(w->gridColumnCount(), colsAfter);
        QCOMPARE(w->activePanelIndex(), target);
        QCOMPARE(w->panelSeriesUid(target), m_fx.older.uid);
        QCOMPARE(w->panel(target)->sliceCount(), 4);
        QVERIFY(w->panel(target)->isVisible());
        QCOMPARE(w->panelTitle(target), QStringLiteral("Old chest"));
        const SeriesOverlayInfo& info = w->panel(target)->overlayInfo();
        QCOMPARE(info.studyDescription, QStringLiteral("Older study"));
        QCOMPARE(info.studyDate, QStringLiteral("20230301"));
        QCOMPARE(info.seriesDescription, QStringLiteral("Old chest"));
        QCOMPARE(info.seriesInstanceUid, m_fx.older.uid);

        // Both studies listed, the newer on top; the compared rows carry their own study UID.
        const QStringList texts = rowTexts(*w);
        QCOMPARE(texts.size(), 6);
        QCOMPARE(texts.at(0), QStringLiteral("── 15.01.2024 · Test^Patient ──\nTest study"));
        QCOMPARE(texts.at(4), QStringLiteral("── 01.03.2023 · Test^Patient ──\nOlder study"));
        QCOMPARE(rowOf(*w, m_fx.older.uid)->data(SeriesStudyUidRole).toString(), m_fx.studyB);
        QCOMPARE(markedRows(*w), QStringList{QStringLiteral("✓ CT\nOld chest\n4 срез.")});
    }

    void comparisonOrderAndFailures()
    {
        // The older study opened first still lists below the newer compared one.
        auto w = openViewer({}, m_fx.studyB);
        w->openComparisonStudy(m_fx.studyA);
        QCOMPARE(rowTexts(*w).first(), QStringLiteral("── 15.01.2024 · Test^Patient ──\nTest study"));
        QCOMPARE(w->listedStudyUids().size(), 2);

        // A study without series: a warning, nothing changes.
        const QStringList before = rowTexts(*w);
        const int active = w->activePanelIndex();
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        w->openComparisonStudy(QStringLiteral("1.2.999"));
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Сравнение")});
        QCOMPARE(answer.texts(), QStringList{QStringLiteral("В выбранном исследовании не найдено ни одной серии.")});
        QCOMPARE(rowTexts(*w), before);
        QCOMPARE(w->activePanelIndex(), active);
        QCOMPARE(w->listedStudyUids().size(), 2);
    }

    // A study that grows while it is shown: the panel takes the new files at once, the series panel
    // catches up within half a second, and a new series appears as a new row.
    void refreshWhileImporting()
    {
        m_db.reset();
        QFile::remove(m_dir.filePath(QStringLiteral("index.sqlite3")));
        m_db = std::make_unique<db::Database>();
        QVERIFY(m_db->open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
        QVERIFY(indexFiles(*m_db, m_fx.axial.files.mid(0, 3)));

        auto w = openViewer();
        w->onGridLayoutChosen(1, 2);
        QCOMPARE(w->panel(0)->sliceCount(), 3);
        QCOMPARE(rowTexts(*w).at(1), QStringLiteral("✓ CT\nAxial\n3 срез."));
        // Panel 1 shows the same series: both panels grow.
        w->setActiveViewport(1);
        w->showSeriesInActivePanel(m_fx.axial.uid);
        w->setActiveViewport(0);

        QVERIFY(indexFiles(*m_db, m_fx.axial.files.mid(3, 2)));
        w->refreshSeriesSlices(m_fx.axial.uid, m_db->instancesForSeries(m_fx.axial.uid));
        QCOMPARE(w->panel(0)->sliceCount(), 5);
        QCOMPARE(w->panel(1)->sliceCount(), 5);
        QCOMPARE(w->panelSliceList(0).size(), 5);
        QVERIFY(w->isSeriesPanelRefreshPending());
        QCOMPARE(rowTexts(*w).at(1), QStringLiteral("✓ CT\nAxial\n3 срез.")); // not yet

        // Later calls inside the interval do not put the refresh off: the timer keeps running down.
        // No events are processed between the two readings, so it cannot fire in between.
        auto* timer = w->findChild<QTimer*>(QStringLiteral("seriesPanelRefreshTimer"));
        QVERIFY(timer && timer->isActive());
        QThread::msleep(30);
        const int before = timer->remainingTime();
        QVERIFY(indexFiles(*m_db, m_fx.axial.files.mid(5)));
        QVERIFY(indexFiles(*m_db, m_fx.coronal.files.mid(0, 2)));
        w->refreshSeriesSlices(m_fx.axial.uid, m_db->instancesForSeries(m_fx.axial.uid));
        w->refreshSeriesSlices(m_fx.coronal.uid, m_db->instancesForSeries(m_fx.coronal.uid)); // in no panel
        QCOMPARE(w->panel(0)->sliceCount(), 8);
        QVERIFY2(timer->remainingTime() <= before, qPrintable(QString::number(before)));
        QTRY_VERIFY_WITH_TIMEOUT(!w->isSeriesPanelRefreshPending(), 10000);
        QCOMPARE(rowTexts(*w), (QStringList{QStringLiteral("── 15.01.2024 · Test^Patient ──\nTest study"),
                                            QStringLiteral("✓ CT\nAxial\n8 срез."),
                                            QStringLiteral("CT\nCoronal\n2 срез.")}));
        QVERIFY(!rowOf(*w, m_fx.coronal.uid)->icon().isNull());

        // A series shown in no panel still refreshes the list; rows are refilled in place.
        QVERIFY(indexFiles(*m_db, m_fx.coronal.files.mid(2)));
        QListWidgetItem* coronalRow = rowOf(*w, m_fx.coronal.uid);
        w->refreshSeriesSlices(m_fx.coronal.uid, m_db->instancesForSeries(m_fx.coronal.uid));
        QVERIFY(w->isSeriesPanelRefreshPending());
        QTRY_VERIFY_WITH_TIMEOUT(!w->isSeriesPanelRefreshPending(), 10000);
        QCOMPARE(rowOf(*w, m_fx.coronal.uid), coronalRow);
        QCOMPARE(coronalRow->text(), QStringLiteral("CT\nCoronal\n5 срез."));
        QCOMPARE(w->panel(0)->sliceCount(), 8);
        QCOMPARE(w->panel(1)->sliceCount(), 8);
    }

    void synchronisedScrolling()
    {
        auto w = openViewer();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->onGridLayoutChosen(1, 3);
        w->setActiveViewport(1);
        w->showSeriesInActivePanel(m_fx.coronal.uid);
        QAction* sync = toolbarAction(*w, QStringLiteral("syncSlices"));
        QVERIFY(sync);
        QCOMPARE(sync->text(), QStringLiteral("Синхронизация срезов"));

        // Off: panels scroll alone.
        w->panel(0)->showSlice(7);
        QCOMPARE(w->panel(1)->currentSliceIndex(), 0);

        sync->trigger();
        QVERIFY(w->syncSlices());
        w->panel(0)->showSlice(7); // last of 8: fraction 1
        QCOMPARE(w->panel(1)->currentSliceIndex(), 4);
        QCOMPARE(w->panel(0)->currentSliceIndex(), 7);
        w->panel(1)->showSlice(2); // middle of 5: fraction 0.5
        QCOMPARE(w->panel(0)->currentSliceIndex(), qRound(0.5 * 7));
        // A source of one slice sends fraction 0; the empty panel 2 is skipped.
        w->onViewportSliceChanged(2, 0, 1);
        QCOMPARE(w->panel(0)->currentSliceIndex(), 0);
        QCOMPARE(w->panel(1)->currentSliceIndex(), 0);
        QCOMPARE(w->panel(2)->sliceCount(), 0);
        w->onViewportSliceChanged(0, 0, 0); // nothing to sync from
    }

    // The middle file came to hold another study's image between the listing and the reading of its
    // thumbnail: no picture of it, and the study's note counts it.
    void thumbnailOfAReplacedFile()
    {
        const QString middle = m_fx.axial.files.at(4);
        const QByteArray own = fixtures::readFile(middle);
        // Put back for the cases after.
        const auto restore = qScopeGuard([&] { fixtures::replaceFileBytes(middle, own); });
        fixtures::SeriesLayout another;
        another.patientName = QStringLiteral("Other^Patient");
        const QString other = fixtures::writeSlice(m_dir.filePath(QStringLiteral("other.dcm")), another, 0);
        std::unique_ptr<ViewerWindow> w;
        {
            fixtures::ChangeBeforeValues replace(middle,
                                                 [&] { QVERIFY(fixtures::renameOver(other, middle)); });
            w = openViewer();
            QVERIFY(replace.happened());
        }
        QVERIFY(w->seriesListWidget()->item(1)->icon().isNull());
        const auto* note = w->findChild<QLabel*>(QStringLiteral("replacedFilesNote"));
        QVERIFY2(note && note->text().contains(QStringLiteral("Test^Patient, 15.01.2024"))
                     && note->text().contains(QStringLiteral(": 1.")),
                 qPrintable(note ? note->text() : QString()));
    }

    void framesAFileNoLongerHolds_data()
    {
        QTest::addColumn<int>("framesBefore"); // of the object as indexed, stepBefore mm apart
        QTest::addColumn<double>("stepBefore");
        QTest::addColumn<int>("framesAfter"); // of the object copied over its file, stepAfter mm apart
        QTest::addColumn<double>("stepAfter");
        QTest::addColumn<bool>("openBefore"); // the series opened before the file was copied over
        QTest::addColumn<bool>("readOnly");   // the index opened read-only once it was
        QTest::newRow("3 frames, copied over the open series") << 5 << 1.5 << 3 << 1.5 << true << false;
        QTest::newRow("7 frames 2/3 mm apart, copied over before the opening")
            << 5 << 1.0 << 7 << 2.0 / 3.0 << false << false;
        QTest::newRow("3 frames 2 mm apart, copied over before the opening")
            << 5 << 1.0 << 3 << 2.0 << false << false;
        QTest::newRow("24 frames over 16") << 16 << 1.0 << 24 << 1.0 << false << false;
        QTest::newRow("7 frames 2/3 mm apart, read-only index") << 5 << 1.0 << 7 << 2.0 / 3.0 << false << true;
        QTest::newRow("24 frames over 16, read-only index") << 16 << 1.0 << 24 << 1.0 << false << true;
    }

    // A folder indexed in place whose multi-frame object was copied over by the same object in other
    // frames (another disc's, the same UID). Opened before: frames it no longer holds are refused with
    // words and counted in the study's note, never drawn or measured as its last frame. Opened after,
    // before the folder is indexed again: every frame it holds now is shown and placed where it lies now.
    void framesAFileNoLongerHolds()
    {
        QFETCH(int, framesBefore);
        QFETCH(double, stepBefore);
        QFETCH(int, framesAfter);
        QFETCH(double, stepAfter);
        QFETCH(bool, openBefore);
        QFETCH(bool, readOnly);
        fixtures::SeriesLayout layout;
        layout.slices = framesBefore;
        layout.sliceSpacing = layout.sliceThickness = stepBefore;
        layout.rescaleIntercept = 0.0;
        layout.value = [](int, int, int z) { return 100 * (z + 1); };
        const QString uid = fixtures::newUid();
        layout.customize = [uid](DcmDataset& ds, int) {
            ds.putAndInsertString(DCM_SOPInstanceUID, uid.toLatin1().constData());
        };
        fixtures::completeUids(layout);
        QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("frames"))));
        const QString file = fixtures::writeMultiFrame(m_dir.filePath(QStringLiteral("frames/mf.dcm")), layout);
        QVERIFY(indexFiles(*m_db, {file}));
        std::unique_ptr<ViewerWindow> w;
        if (openBefore) {
            w = openViewer({}, layout.studyUid);
            QCOMPARE(w->panel(0)->sliceCount(), framesBefore);
        }
        layout.slices = framesAfter;
        layout.sliceSpacing = layout.sliceThickness = stepAfter;
        const QString again = fixtures::writeMultiFrame(m_dir.filePath(QStringLiteral("frames/mf-again.dcm")), layout);
        QVERIFY(fixtures::replaceFileBytes(file, fixtures::readFile(again)));
        if (readOnly) {
            // A write-version byte above 2: no one writes it, as on a read-only disc.
            const QString path = m_db->filePath();
            m_db.reset();
            QFile index(path);
            QVERIFY(index.open(QIODevice::ReadWrite) && index.seek(18) && index.write("\x03", 1) == 1);
            index.close();
            m_db = std::make_unique<db::Database>();
            QVERIFY(m_db->open(path));
            QVERIFY(!m_db->isWritable());
        }
        if (!openBefore)
            w = openViewer({}, layout.studyUid);
        ImageViewportWidget* panel = w->panel(0);
        const int shown = openBefore ? framesBefore : framesAfter;
        QCOMPARE(panel->sliceCount(), shown);
        const double z = fixtures::slicePosition(layout, 0)[2];
        for (int frame = 0; frame < shown; ++frame) {
            panel->showSlice(frame);
            panel->ensureHuFrameLoaded();
            const render::HuImage& hu = panel->huImage();
            bool refusedInWords = false;
            for (const QLabel* label : panel->findChildren<QLabel*>())
                refusedInWords = refusedInWords || label->text().contains(QStringLiteral("другой снимок"));
            if (frame < framesAfter) {
                QVERIFY(panel->imageWidth() > 0);
                QVERIFY(hu.valid);
                QCOMPARE(render::huValueAt(hu, 1, 1), 100.0 * (frame + 1));
                // The frame's pixels at the frame's own place.
                if (!openBefore)
                    QVERIFY2(std::abs(panel->imageToPatient(QPointF(0, 0))[2] - (z + frame * stepAfter)) < 1e-6,
                             qPrintable(QString::number(panel->imageToPatient(QPointF(0, 0))[2])));
            } else {
                QCOMPARE(panel->imageWidth(), 0);
                QVERIFY(!hu.valid && hu.otherObject);
                QVERIFY(refusedInWords);
            }
        }
        const auto* note = w->findChild<QLabel*>(QStringLiteral("replacedFilesNote"));
        if (openBefore) {
            QVERIFY2(note && note->text().contains(QStringLiteral(": 1.")),
                     qPrintable(note ? note->text() : QString()));
        } else {
            // Nothing left out that the note would name.
            QVERIFY2(!note || note->text().isEmpty(), qPrintable(note ? note->text() : QString()));
        }
        // Listed anew, the series has the rows of the frames the file holds, no more.
        QCOMPARE(m_db->instancesForSeries(layout.seriesUid).size(), framesAfter);
    }

    void backToListWithoutStudyList()
    {
        auto w = openViewer();
        QAction* back = toolbarAction(*w, QStringLiteral("backToList"));
        QVERIFY(back);
        QCOMPARE(back->text(), QStringLiteral("К списку исследований"));
        back->trigger(); // no study list in this process: nothing happens
        QVERIFY(w->panelSeriesUid(0) == m_fx.axial.uid);

        ViewerWindow portable(m_db.get(), m_fx.studyA, {}, nullptr, true);
        QVERIFY(portable.isPortableMode());
        QVERIFY(!toolbarAction(portable, QStringLiteral("backToList")));
        QCOMPARE(portable.toolBar()->windowTitle(), QStringLiteral("Инструменты"));
        QCOMPARE(portable.panel(0)->sliceCount(), 8);
    }

};

QTEST_MAIN(TestViewerWindow)
#include "tst_viewerwindow.moc"
