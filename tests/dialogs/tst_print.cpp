// Page layout, contact-sheet composition, paging and zoom of the preview, printing to PDF, and the
// viewer's print action from the toolbar to the preview.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "dialogs/PageLayoutDialog.h"
#include "dialogs/PrintPreviewDialog.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/ViewerWindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <QRadioButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <memory>

namespace {

QList<db::InstanceRecord> recordsFor(const QStringList& files)
{
    QList<db::InstanceRecord> list;
    for (int i = 0; i < files.size(); ++i) {
        db::InstanceRecord r;
        r.filePath = files[i];
        r.instanceNumber = qint64(i + 1) * 100000;
        list.append(r);
    }
    return list;
}

bool isDark(const QImage& image, int x, int y)
{
    return qGray(image.pixel(x, y)) < 60;
}

// True when no pixel of the rectangle differs from white.
bool allWhite(const QImage& image, const QRect& rect)
{
    const QRect r = rect.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (image.pixel(x, y) != qRgb(255, 255, 255))
                return false;
    return true;
}

QSpinBox* spin(QDialog* d, int index)
{
    return d->findChildren<QSpinBox*>().value(index);
}

QAction* action(QWidget* w, const QString& name)
{
    return w->findChild<QAction*>(name);
}

} // namespace

class TestPrint : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QStringList m_wide; // 10 black frames, 40 x 20 (aspect 2)
    std::unique_ptr<db::Database> m_db;
    QString m_study;
    QString m_series; // 6 slices

    std::unique_ptr<ViewerWindow> openViewer()
    {
        auto w = std::make_unique<ViewerWindow>(m_db.get(), m_study, m_series, nullptr);
        w->setAttribute(Qt::WA_DeleteOnClose, false);
        return w;
    }

    // Runs the viewer's print action with the page layout set up by `setUp`, answering boxes with OK.
    QStringList printFromViewer(ViewerWindow& w, const std::function<void(PageLayoutDialog*)>& setUp,
                                int layoutResult = QDialog::Accepted)
    {
        fixtures::ModalAnswer answer(QMessageBox::Ok, layoutResult);
        answer.setDialogHandler([&](QDialog* d) {
            if (auto* layout = qobject_cast<PageLayoutDialog*>(d))
                setUp(layout);
            return true;
        });
        action(&w, QStringLiteral("print"))->trigger();
        return answer.titles() + answer.texts();
    }

    static QRadioButton* radio(QDialog* d, const QString& text)
    {
        for (QRadioButton* r : d->findChildren<QRadioButton*>())
            if (r->text() == text)
                return r;
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        fixtures::SeriesLayout layout;
        layout.columns = 40;
        layout.rows = 20;
        layout.slices = 10;
        layout.value = [](int, int, int) { return 0; }; // -1024 HU: black in the 40/400 window
        m_wide = fixtures::writeSeries(m_dir.filePath(QStringLiteral("wide")), layout);
        QCOMPARE(m_wide.size(), 10);

        dicom::registerMetaTypes();
        m_db = std::make_unique<db::Database>();
        QVERIFY(m_db->open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
        fixtures::SeriesLayout indexed;
        indexed.slices = 6;
        indexed.patientName = QStringLiteral("Ivanov^Ivan");
        indexed.seriesDescription = QStringLiteral("Axial");
        QVERIFY(fixtures::writeAndIndexSeries(*m_db, m_dir.filePath(QStringLiteral("indexed")), indexed));
        m_study = indexed.studyUid;
        m_series = indexed.seriesUid;
    }

    void autoGrid_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<double>("aspect");
        QTest::addColumn<bool>("landscape");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("columns");
        QTest::newRow("one image") << 1 << 1.0 << false << 1 << 1;
        QTest::newRow("zero counts as one") << 0 << 1.0 << false << 1 << 1;
        QTest::newRow("two on two landscape sheets") << 2 << 1.0 << true << 1 << 1;
        // Every grid of one row scores the same; the one with fewer columns is kept.
        QTest::newRow("equal scores, fewer columns") << 3 << 0.01 << false << 1 << 2;
        QTest::newRow("more than 288 images") << 289 << 1.0 << false << 1 << 12;
        QTest::newRow("far more images") << 5000 << 1.0 << true << 1 << 12;
        QTest::newRow("bad aspect taken as square") << 1 << 0.0 << false << 1 << 1;
    }
    void autoGrid()
    {
        QFETCH(int, count);
        QFETCH(double, aspect);
        QFETCH(bool, landscape);
        QFETCH(int, rows);
        QFETCH(int, columns);
        const PrintGrid grid = computeAutoPrintGrid(count, aspect, landscape);
        QCOMPARE(grid.rows, rows);
        QCOMPARE(grid.columns, columns);
    }

    void frameIndices_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("nth");
        QTest::addColumn<int>("even");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("every 3rd") << 10 << 1 << 3 << 0 << QList<int>{0, 3, 6, 9};
        QTest::newRow("N below 2 steps by 2") << 5 << 1 << 1 << 0 << QList<int>{0, 2, 4};
        QTest::newRow("N past the end") << 5 << 1 << 9 << 0 << QList<int>{0};
        QTest::newRow("one: middle slice") << 10 << 2 << 0 << 1 << QList<int>{5};
        QTest::newRow("zero counts as one") << 7 << 2 << 0 << 0 << QList<int>{3};
        QTest::newRow("four of ten") << 10 << 2 << 0 << 4 << QList<int>{0, 3, 6, 9};
        QTest::newRow("halves round away") << 5 << 2 << 0 << 4 << QList<int>{0, 1, 3, 4};
        QTest::newRow("more than the series") << 3 << 2 << 0 << 10 << QList<int>{0, 1, 2};
        QTest::newRow("ticked images are the panel's") << 10 << 0 << 2 << 2 << QList<int>{};
        QTest::newRow("unknown mode") << 10 << 7 << 2 << 2 << QList<int>{};
        QTest::newRow("empty series") << 0 << 2 << 2 << 4 << QList<int>{};
    }
    void frameIndices()
    {
        QFETCH(int, n);
        QFETCH(int, mode);
        QFETCH(int, nth);
        QFETCH(int, even);
        QFETCH(QList<int>, expected);
        QCOMPARE(printFrameIndices(n, mode, nth, even), expected);
    }

    void layoutPresetsAndAutoFill()
    {
        PageLayoutDialog d(25);
        d.show();
        const QList<QToolButton*> presets = d.findChildren<QToolButton*>();
        QTest::mouseClick(presets[4], Qt::LeftButton);
        QCOMPARE(d.rows(), 2);
        QCOMPARE(d.columns(), 3);
        QVERIFY(presets[4]->isChecked());
        // A hand-made grid is custom even when it equals a preset.
        spin(&d, 1)->setValue(4);
        QCOMPARE(d.columns(), 4);
        for (QToolButton* b : presets)
            QVERIFY(!b->isChecked());

        QCheckBox* autoFill = d.findChild<QCheckBox*>();
        autoFill->setChecked(true);
        QVERIFY(d.autoFillSheet());
        QVERIFY(!spin(&d, 0)->isEnabled());
        QVERIFY(!spin(&d, 1)->isEnabled());
        for (QToolButton* b : presets)
            QVERIFY(!b->isEnabled());
        autoFill->setChecked(false);
        QVERIFY(spin(&d, 0)->isEnabled());
        for (QToolButton* b : presets)
            QVERIFY(b->isEnabled());
        QCOMPARE(d.rows(), 2);
        QCOMPARE(d.columns(), 4);
    }

    void layoutWhichImages()
    {
        PageLayoutDialog d(25);
        d.show();
        QRadioButton* every = radio(&d, QStringLiteral("Каждый"));
        QRadioButton* evenly = radio(&d, QStringLiteral("Итоговое число кадров:"));
        QRadioButton* ticked = radio(&d, QStringLiteral("Отмеченные снимки (чекбокс на панели)"));
        QRadioButton* landscape = radio(&d, QStringLiteral("Альбомная"));
        QVERIFY(every && evenly && ticked && landscape);
        QTest::mouseClick(every, Qt::LeftButton);
        QCOMPARE(d.frameSelectionMode(), 1);
        QVERIFY(spin(&d, 2)->isEnabled());
        QVERIFY(!spin(&d, 3)->isEnabled());
        QTest::mouseClick(evenly, Qt::LeftButton);
        QCOMPARE(d.frameSelectionMode(), 2);
        QVERIFY(!spin(&d, 2)->isEnabled());
        QVERIFY(spin(&d, 3)->isEnabled());
        QTest::mouseClick(ticked, Qt::LeftButton);
        QVERIFY(!spin(&d, 2)->isEnabled());
        QVERIFY(!spin(&d, 3)->isEnabled());
        QTest::mouseClick(landscape, Qt::LeftButton);
        QVERIFY(d.isLandscape());
    }

    void emptyPreview()
    {
        PrintPreviewDialog d({}, SeriesOverlayInfo{}, 40, 400, 2, 3, nullptr, QRectF(0, 0, 1, 1), false);
        QCOMPARE(d.pageCount(), 1);
        const QImage sheet = d.composeSheet(0);
        QCOMPARE(sheet.size(), QSize(1240, 1754));
        QVERIFY(!allWhite(sheet, QRect(0, 0, 1240, 30))); // the header
        QVERIFY(allWhite(sheet, QRect(0, 34, 1240, 1754 - 34)));
        QVERIFY(!action(&d, QStringLiteral("previousSheet"))->isEnabled());
        QVERIFY(!action(&d, QStringLiteral("nextSheet"))->isEnabled());
    }

    // 10 frames of aspect 2 on a 2 x 3 portrait grid: image height s = (1220 / 3 - 6) / 2, the cells
    // stretched to pitches 406.67 x 858; each image is 388 x 194 inside a 400 x 194 box.
    void sheetPlacement()
    {
        PrintPreviewDialog d(recordsFor(m_wide), SeriesOverlayInfo{}, 40, 400, 2, 3, nullptr, QRectF(0, 0, 1, 1),
                             false);
        QCOMPARE(d.pageCount(), 2);
        const double pitchX = 1220.0 / 3;
        const double pitchY = 858.0;
        auto imageCentre = [&](int cell) {
            return QPoint(int(10 + (cell % 3) * pitchX + pitchX / 2), int(34 + (cell / 3) * pitchY + 3 + 97));
        };
        const QImage first = d.composeSheet(0);
        for (int cell = 0; cell < 6; ++cell)
            QVERIFY2(isDark(first, imageCentre(cell).x(), imageCentre(cell).y()), qPrintable(QString::number(cell)));
        // The image keeps its aspect: 388 px wide, centred in its 400 px box, so 10 px beside it are white.
        const QPoint c0 = imageCentre(0);
        QVERIFY(isDark(first, c0.x() - 190, c0.y()));
        QVERIFY(!isDark(first, c0.x() - 200, c0.y()));
        // The space between rows is white apart from the captions.
        QVERIFY(allWhite(first, QRect(20, 34 + 240, 1200, 500)));

        const QImage second = d.composeSheet(1);
        for (int cell = 0; cell < 4; ++cell)
            QVERIFY(isDark(second, imageCentre(cell).x(), imageCentre(cell).y()));
        for (int cell = 4; cell < 6; ++cell)
            QVERIFY(allWhite(second, QRect(int(10 + (cell % 3) * pitchX), int(34 + pitchY), int(pitchX), 230)));
    }

    void brokenFrameLeavesItsCellBlank()
    {
        const QString bad = m_dir.filePath(QStringLiteral("bad.dcm"));
        fixtures::writeTruncatedCopy(m_wide[0], bad, 300);
        QList<db::InstanceRecord> frames = recordsFor(m_wide.mid(0, 4));
        frames[0].filePath = bad;
        frames[2].filePath = m_dir.filePath(QStringLiteral("missing.dcm"));
        PrintPreviewDialog d(frames, SeriesOverlayInfo{}, 40, 400, 2, 2, nullptr, QRectF(0, 0, 1, 1), false);
        const QImage sheet = d.composeSheet(0);
        // Cell size from the aspect of the first frame that decodes (frame 1): pitch 610 x 858.
        QVERIFY(allWhite(sheet, QRect(10, 34, 610, 300)));
        QVERIFY(isDark(sheet, 10 + 610 + 305, 34 + 3 + 150));
        QVERIFY(allWhite(sheet, QRect(10, 34 + 858, 610, 300)));
        QVERIFY(isDark(sheet, 10 + 610 + 305, 34 + 858 + 3 + 150));

        // No frame decodes at all: square cells, nothing drawn but the header.
        QList<db::InstanceRecord> none = recordsFor({bad});
        PrintPreviewDialog empty(none, SeriesOverlayInfo{}, 40, 400, 1, 1, nullptr, QRectF(), false);
        QVERIFY(allWhite(empty.composeSheet(0), QRect(0, 34, 1240, 1720)));
    }

    void cropAndLandscape()
    {
        // The right half of a 40 x 20 image is square: a 1 x 1 portrait cell then holds a 1214 px square.
        PrintPreviewDialog half(recordsFor(m_wide.mid(0, 1)), SeriesOverlayInfo{}, 40, 400, 1, 1, nullptr,
                                QRectF(0.5, 0, 0.5, 1), false);
        const QImage sheet = half.composeSheet(0);
        QVERIFY(isDark(sheet, 620, 34 + 3 + 600));
        QVERIFY(isDark(sheet, 620, 34 + 3 + 1200));
        QVERIFY(!isDark(sheet, 620, 34 + 3 + 1230));

        for (const QRectF& bad : {QRectF(), QRectF(0, 0, -1, 1), QRectF(0, 0, 1, 0), QRectF(5, 5, 1, 1)}) {
            PrintPreviewDialog d({}, SeriesOverlayInfo{}, 0, 0, 1, 1, nullptr, bad, false);
            QCOMPARE(d.crop(), QRectF(0, 0, 1, 1));
        }
        // A crop smaller than a pixel still copies one pixel.
        PrintPreviewDialog tiny(recordsFor(m_wide.mid(0, 1)), SeriesOverlayInfo{}, 40, 400, 1, 1, nullptr,
                                QRectF(0.1, 0.1, 0.001, 0.001), false);
        QVERIFY(isDark(tiny.composeSheet(0), 620, 600));

        PrintPreviewDialog wide(recordsFor(m_wide), SeriesOverlayInfo{}, 40, 400, 0, -3, nullptr, QRectF(0, 0, 1, 1),
                                true);
        QCOMPARE(wide.pageCount(), 10); // rows and columns raised to 1
        QCOMPARE(wide.composeSheet(0).size(), QSize(1754, 1240));
    }

    void pagingAndZoom()
    {
        PrintPreviewDialog d(recordsFor(m_wide), SeriesOverlayInfo{}, 40, 400, 2, 2, nullptr, QRectF(0, 0, 1, 1),
                             false);
        QCOMPARE(d.pageCount(), 3);
        auto* pageLabel = d.findChild<QLabel*>(QStringLiteral("pageLabel"));
        auto* sheetLabel = d.findChild<QLabel*>(QStringLiteral("sheetLabel"));
        QCOMPARE(pageLabel->text(), QStringLiteral("Лист 1 из 3"));
        QAction* prev = action(&d, QStringLiteral("previousSheet"));
        QAction* next = action(&d, QStringLiteral("nextSheet"));
        QVERIFY(!prev->isEnabled());
        next->trigger();
        QCOMPARE(d.currentPage(), 1);
        d.showPage(99);
        QCOMPARE(d.currentPage(), 2);
        QCOMPARE(pageLabel->text(), QStringLiteral("Лист 3 из 3"));
        QVERIFY(!next->isEnabled());
        d.showPage(-4);
        QCOMPARE(d.currentPage(), 0);

        // Zoom stops at a quarter and at four times, and never changes the sheet shown.
        for (int i = 0; i < 11; ++i)
            action(&d, QStringLiteral("zoomOut"))->trigger();
        QCOMPARE(d.zoom(), 0.25);
        QCOMPARE(sheetLabel->size(), QSize(310, 439));
        for (int i = 0; i < 20; ++i)
            d.zoomIn();
        QCOMPARE(d.zoom(), 4.0);
        QCOMPARE(d.currentPage(), 0);

        d.show();
        action(&d, QStringLiteral("closePreview"))->trigger();
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QVERIFY(!d.isVisible());
    }

    // The preview opens with the whole width of the sheet in sight.
    void opensFittedToPageWidth_data()
    {
        QTest::addColumn<bool>("landscape");
        QTest::newRow("portrait") << false;
        QTest::newRow("landscape") << true;
    }
    void opensFittedToPageWidth()
    {
        QFETCH(bool, landscape);
        PrintPreviewDialog d(recordsFor(m_wide), SeriesOverlayInfo{}, 40, 400, 2, 3, nullptr,
                             QRectF(0, 0, 1, 1), landscape);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        auto* area = d.findChild<QScrollArea*>();
        const int sheet = d.findChild<QLabel*>(QStringLiteral("sheetLabel"))->width();
        QVERIFY2(sheet <= area->viewport()->width() && sheet > area->viewport()->width() - 40,
                 qPrintable(QStringLiteral("%1 in %2").arg(sheet).arg(area->viewport()->width())));
    }

    void printToPdf_data()
    {
        QTest::addColumn<bool>("landscape");
        QTest::newRow("portrait") << false;
        QTest::newRow("landscape") << true;
    }
    void printToPdf()
    {
        QFETCH(bool, landscape);
        PrintPreviewDialog d(recordsFor(m_wide), SeriesOverlayInfo{}, 40, 400, 2, 3, nullptr, QRectF(0, 0, 1, 1),
                             landscape);
        const QString pdf = m_dir.filePath(landscape ? QStringLiteral("l.pdf") : QStringLiteral("p.pdf"));
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        printer.setPageOrientation(landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
        QVERIFY(d.paintSheets(&printer));
        QFile file(pdf);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QCOMPARE(bytes.count("/Type /Page\n") + bytes.count("/Type /Page\r") + bytes.count("/Type /Page/")
                     + bytes.count("/Type /Page "),
                 qsizetype(2));

        const QString pdftoppm = QStandardPaths::findExecutable(QStringLiteral("pdftoppm"));
        if (pdftoppm.isEmpty())
            QSKIP("pdftoppm is not installed");
        const QString prefix = m_dir.filePath(landscape ? QStringLiteral("l") : QStringLiteral("p"));
        QVERIFY(QProcess::execute(pdftoppm, {QStringLiteral("-r"), QStringLiteral("40"), QStringLiteral("-png"), pdf,
                                             prefix}) == 0);
        QDir dir(m_dir.path());
        const QStringList pages = dir.entryList({QFileInfo(prefix).fileName() + QStringLiteral("-*.png")}, QDir::Files,
                                                QDir::Name);
        QCOMPARE(pages.size(), 2);
        const QImage page = QImage(dir.filePath(pages[0]));
        QVERIFY(!page.isNull());
        QCOMPARE(page.width() > page.height(), landscape);
        if (!landscape) {
            // The sheet fills the page's printable area: the first image sits in the upper left sixth,
            // and the lower half of the last column on page 2 (cells 4 and 5 are empty) is white.
            const QImage last = QImage(dir.filePath(pages[1])).convertToFormat(QImage::Format_RGB32);
            const int w = page.width();
            const int h = page.height();
            QVERIFY(isDark(page, w * 1 / 6, h * 8 / 100));
            QVERIFY(isDark(last, w * 1 / 6, h * 56 / 100));
            QVERIFY(!isDark(last, w * 3 / 6, h * 56 / 100));
        }
    }

    // The printer scales each sheet itself: printing five pages at 1200 dpi never holds a sheet copy
    // at the printer's resolution (about 560 MB for an A4 page).
    void printingDoesNotScaleToThePrinter()
    {
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
            QSKIP("the peak memory of this process cannot be reset");
        clear.close();
        auto memoryKb = [](const QByteArray& key) {
            QFile status(QStringLiteral("/proc/self/status"));
            if (!status.open(QIODevice::ReadOnly))
                return qint64(-1);
            for (const QByteArray& line : status.readAll().split('\n'))
                if (line.startsWith(key))
                    return line.mid(key.size()).trimmed().split(' ').first().toLongLong();
            return qint64(-1);
        };
        PrintPreviewDialog d(recordsFor(m_wide), SeriesOverlayInfo{}, 40, 400, 1, 2, nullptr, QRectF(0, 0, 1, 1),
                             false);
        QCOMPARE(d.pageCount(), 5);
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(m_dir.filePath(QStringLiteral("five.pdf")));
        printer.setResolution(1200);
        const qint64 before = memoryKb("VmRSS:");
        QVERIFY(d.paintSheets(&printer));
        const qint64 peak = memoryKb("VmHWM:");
        QVERIFY(before > 0 && peak > 0);
        qInfo("peak memory while printing: %lld MB above the %lld MB before", (peak - before) / 1024,
              before / 1024);
        QVERIFY2(peak - before < 200 * 1024, qPrintable(QString::number((peak - before) / 1024)));
    }

    void printThroughTheDialog_data()
    {
        QTest::addColumn<bool>("writable");
        QTest::newRow("printed") << true;
        QTest::newRow("printer unavailable") << false;
    }
    void printThroughTheDialog()
    {
        QFETCH(bool, writable);
        PrintPreviewDialog d(recordsFor(m_wide.mid(0, 3)), SeriesOverlayInfo{}, 40, 400, 1, 1, nullptr,
                             QRectF(0, 0, 1, 1), true);
        d.show();
        const QString pdf = writable ? m_dir.filePath(QStringLiteral("dialog.pdf"))
                                     : m_dir.filePath(QStringLiteral("no/such/folder/dialog.pdf"));
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        QPageLayout::Orientation orientation = QPageLayout::Portrait;
        answer.setDialogHandler([&](QDialog* dialog) {
            if (auto* printDialog = qobject_cast<QPrintDialog*>(dialog)) {
                orientation = printDialog->printer()->pageLayout().orientation();
                printDialog->printer()->setOutputFormat(QPrinter::PdfFormat);
                printDialog->printer()->setOutputFileName(pdf);
            }
            return true;
        });
        action(&d, QStringLiteral("printSheets"))->trigger();
        QCOMPARE(orientation, QPageLayout::Landscape);
        if (writable) {
            QCOMPARE(answer.titles(), QStringList{QStringLiteral("Печать снимков")});
            QFile file(pdf);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll().count("/Type /Page\n"), qsizetype(3));
        } else {
            QCOMPARE(answer.titles(), (QStringList{QStringLiteral("Печать снимков"), QStringLiteral("Печать")}));
            QCOMPARE(answer.texts(), QStringList{QStringLiteral("Не удалось начать печать — принтер недоступен.")});
            QVERIFY(d.isVisible());
        }
    }

    void cancelledPrintDialogPrintsNothing()
    {
        PrintPreviewDialog d(recordsFor(m_wide), SeriesOverlayInfo{}, 40, 400, 2, 3, nullptr, QRectF(0, 0, 1, 1),
                             false);
        d.show();
        fixtures::ModalAnswer answer(QMessageBox::Cancel, QDialog::Rejected);
        action(&d, QStringLiteral("printSheets"))->trigger();
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Печать снимков")});
        QVERIFY(d.isVisible());
    }

    void viewerPrintsEveryNth()
    {
        auto w = openViewer();
        QAction* print = action(w.get(), QStringLiteral("print"));
        QVERIFY(print && print->isEnabled());
        QCOMPARE(w->panel(0)->sliceCount(), 6);
        const QStringList answered = printFromViewer(*w, [](PageLayoutDialog* d) {
            radio(d, QStringLiteral("Каждый"))->click();
            spin(d, 2)->setValue(2);
            radio(d, QStringLiteral("Альбомная"))->click();
        });
        QCOMPARE(answered, QStringList{QStringLiteral("Макет страницы")});
        const QList<PrintPreviewDialog*> previews = w->findChildren<PrintPreviewDialog*>();
        QCOMPARE(previews.size(), 1);
        PrintPreviewDialog* preview = previews[0];
        QVERIFY(preview->isVisible());
        QVERIFY(!preview->isModal());
        QVERIFY(preview->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(preview->pageCount(), 3); // slices 0, 2 and 4 on 1 x 1 sheets
        QCOMPARE(preview->sheetSize(), QSize(1754, 1240));
        QCOMPARE(preview->crop(), QRectF(0, 0, 1, 1));
        action(preview, QStringLiteral("closePreview"))->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(w->findChildren<PrintPreviewDialog*>().isEmpty(), 30000);
    }

    void viewerAutoFillAndEvenSpread()
    {
        auto w = openViewer();
        printFromViewer(*w, [](PageLayoutDialog* d) {
            radio(d, QStringLiteral("Итоговое число кадров:"))->click();
            spin(d, 3)->setValue(4);
            d->findChild<QCheckBox*>()->setChecked(true);
        });
        const QList<PrintPreviewDialog*> previews = w->findChildren<PrintPreviewDialog*>();
        QCOMPARE(previews.size(), 1);
        // Four square images fit best as a 1 x 2 grid on two portrait sheets.
        QCOMPARE(previews[0]->pageCount(), 2);
    }

    void viewerRefusals()
    {
        auto w = openViewer();
        // Ticked images asked for, none ticked.
        QStringList answered = printFromViewer(*w, [](PageLayoutDialog*) {});
        QCOMPARE(answered.size(), 3); // the two titles, then the box's text
        QCOMPARE(answered[1], QStringLiteral("Печать"));
        QVERIFY(answered[2].startsWith(QStringLiteral("Сначала отметьте снимки для печати")));
        QVERIFY(w->findChildren<PrintPreviewDialog*>().isEmpty());

        // Ticked images print in panel order.
        w->panel(0)->showSlice(3);
        w->panel(0)->setCurrentSliceSelected(true);
        w->panel(0)->showSlice(1);
        w->panel(0)->setCurrentSliceSelected(true);
        answered = printFromViewer(*w, [](PageLayoutDialog*) {});
        QCOMPARE(answered, QStringList{QStringLiteral("Макет страницы")});
        QCOMPARE(w->findChildren<PrintPreviewDialog*>().size(), 1);
        QCOMPARE(w->findChildren<PrintPreviewDialog*>()[0]->pageCount(), 2);

        // A cancelled layout prints nothing.
        answered = printFromViewer(*w, [](PageLayoutDialog*) {}, QDialog::Rejected);
        QCOMPARE(answered, QStringList{QStringLiteral("Макет страницы")});
        QCOMPARE(w->findChildren<PrintPreviewDialog*>().size(), 1);

        // An empty panel.
        w->onGridLayoutChosen(1, 2);
        w->setActiveViewport(1);
        answered = printFromViewer(*w, [](PageLayoutDialog*) {});
        QCOMPARE(answered, (QStringList{QStringLiteral("Печать"), QStringLiteral("В активной панели нет загруженной серии.")}));
    }
};

QTEST_MAIN(TestPrint)
#include "tst_print.moc"
