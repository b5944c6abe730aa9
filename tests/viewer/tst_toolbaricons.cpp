// The toolbar icon set: every resource name loads a real picture, the 88 x 88 canvas centres odd
// shapes, a missing picture gives an invisible icon, and the painted icons draw what their actions
// need (the DCE chart turns grey when its action is disabled). A sheet of all icons at 40 x 40 in
// normal and disabled state is grabbed so that a person can look at it.

#include "viewer/ToolbarIcons.h"

#include <QAction>
#include <QGridLayout>
#include <QLibraryInfo>
#include <QPainter>
#include <QProcess>
#include <QResource>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

#include <functional>

Q_DECLARE_METATYPE(std::function<QIcon()>)

namespace {

struct NamedIcon
{
    const char* name;
    QIcon (*make)();
};

const NamedIcon ResourceIcons[] = {
    {"angle", angleIcon},
    {"arrow", arrowIcon},
    {"burndisk", burnDiskIcon},
    {"calculator", calculatorIcon},
    {"cine", cineIcon},
    {"compare_studies", compareStudiesIcon},
    {"crosslines", crosslinesIcon},
    {"curved_mpr", curvedMprIcon},
    {"database", databaseIcon},
    {"dicom", dicomIcon},
    {"dicom_tags", dicomTagsIcon},
    {"draw", drawIcon},
    {"ellipsearea", ellipseAreaIcon},
    {"eraser", eraserIcon},
    {"export", exportIcon},
    {"freehand_roi", freehandRoiIcon},
    {"fusion", fusionIcon},
    {"import", importIcon},
    {"invert", invertIcon},
    {"layout", layoutIcon},
    {"measure", measureIcon},
    {"mpr", mprIcon},
    {"open_folder", openFolderIcon},
    {"pan", panIcon},
    {"polygon", polygonIcon},
    {"print", printIcon},
    {"roi", roiIcon},
    {"rotate", rotateIcon},
    {"save", saveIcon},
    {"scroll_series_drag", scrollSeriesDragIcon},
    {"select_all_toggle", selectAllToggleIcon},
    {"smoothcontour", smoothContourIcon},
    {"syncscroll", syncScrollIcon},
    {"text", textIcon},
    {"wheel_series", wheelSeriesIcon},
    {"windowlevel", windowLevelIcon},
    {"zoom", zoomIcon},
};

int opaquePixels(const QImage& image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            if (qAlpha(argb.pixel(x, y)) > 0)
                ++count;
    return count;
}

// Pixels that are clearly blue, as the DCE chart's normal colour is.
int bluePixels(const QImage& image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb p = rgb.pixel(x, y);
            if (qAlpha(p) > 128 && qBlue(p) > qRed(p) + 60)
                ++count;
        }
    return count;
}

QImage iconImage(const QIcon& icon, int size, QIcon::Mode mode = QIcon::Normal)
{
    return icon.pixmap(QSize(size, size), 1.0, mode).toImage().convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class TestToolbarIcons : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void missingNameGivesTransparentIcon()
    {
        const QIcon icon = loadToolbarIcon(QStringLiteral("no_such_icon"));
        QVERIFY(!icon.isNull());
        QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(22, 22)});
        const QImage image = iconImage(icon, 22);
        QCOMPARE(image.size(), QSize(22, 22));
        QCOMPARE(opaquePixels(image), 0);

        const QPixmap canvas = transparentIconPixmap();
        QCOMPARE(canvas.size(), QSize(22, 22));
        QCOMPARE(opaquePixels(canvas.toImage()), 0);
    }

    void wideImageIsCentredOnSquareCanvas()
    {
        // A 176 x 88 picture in a resource of its own: left half red, right half blue.
        QImage wide(176, 88, QImage::Format_ARGB32);
        wide.fill(Qt::transparent);
        {
            QPainter p(&wide);
            p.fillRect(0, 0, 88, 88, QColor(255, 0, 0));
            p.fillRect(88, 0, 88, 88, QColor(0, 0, 255));
        }
        QDir dir(m_dir.path());
        QVERIFY(dir.mkpath(QStringLiteral("icons")));
        QVERIFY(wide.save(dir.filePath(QStringLiteral("icons/test_wide.png"))));
        QFile qrc(dir.filePath(QStringLiteral("test.qrc")));
        QVERIFY(qrc.open(QIODevice::WriteOnly));
        qrc.write("<RCC><qresource prefix=\"/\"><file>icons/test_wide.png</file></qresource></RCC>");
        qrc.close();
        const QString rcc = QLibraryInfo::path(QLibraryInfo::LibraryExecutablesPath) + QStringLiteral("/rcc");
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(rcc, {QStringLiteral("--binary"), QStringLiteral("test.qrc"), QStringLiteral("-o"),
                            QStringLiteral("test.rcc")});
        QVERIFY2(process.waitForFinished(30000) && process.exitCode() == 0, process.readAllStandardError().constData());
        QVERIFY(QResource::registerResource(dir.filePath(QStringLiteral("test.rcc"))));

        const QIcon icon = loadToolbarIcon(QStringLiteral("test_wide"));
        QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(88, 88)});
        const QImage canvas = iconImage(icon, 88);
        QCOMPARE(canvas.size(), QSize(88, 88));
        // Scaled to 88 x 44 and drawn at (0, 22): transparent bands above and below.
        QCOMPARE(qAlpha(canvas.pixel(40, 21)), 0);
        QCOMPARE(qAlpha(canvas.pixel(40, 66)), 0);
        QCOMPARE(canvas.pixel(10, 22), qRgb(255, 0, 0));
        QCOMPARE(canvas.pixel(10, 65), qRgb(255, 0, 0));
        QCOMPARE(canvas.pixel(80, 40), qRgb(0, 0, 255));
        QCOMPARE(opaquePixels(canvas), 88 * 44);
        QVERIFY(QResource::unregisterResource(dir.filePath(QStringLiteral("test.rcc"))));
    }

    void everyResourceNameLoadsARealImage()
    {
        for (const NamedIcon& entry : ResourceIcons) {
            const QString name = QString::fromLatin1(entry.name);
            const QPixmap raw(QStringLiteral(":/icons/%1.png").arg(name));
            QVERIFY2(!raw.isNull(), entry.name);
            const QIcon icon = entry.make();
            QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(88, 88)});
            const QImage image = iconImage(icon, 88);
            QVERIFY2(opaquePixels(image) > 300, entry.name);
            QCOMPARE(image, iconImage(loadToolbarIcon(name), 88));
        }
        // The toolbar's classification entry and the window icon are part of the same set.
        QVERIFY(opaquePixels(iconImage(loadToolbarIcon(QStringLiteral("classifications")), 88)) > 300);
        const QIcon app(QStringLiteral(":/app.ico"));
        QVERIFY(!app.isNull());
        QVERIFY(opaquePixels(iconImage(app, 32)) > 200);
    }

    void dceIconTurnsGreyWhenDisabled()
    {
        const QIcon icon = dceCurveIcon();
        QCOMPARE(iconImage(icon, 22, QIcon::Normal),
                 paintCurveChartPixmap(QColor(60, 170, 255), 0.5).toImage().convertToFormat(QImage::Format_ARGB32));
        QCOMPARE(iconImage(icon, 22, QIcon::Disabled),
                 paintCurveChartPixmap(QColor(150, 150, 150), 0.35).toImage().convertToFormat(QImage::Format_ARGB32));

        // As the toolbar shows it: the action starts disabled, so the grey chart is the first seen.
        QToolBar bar;
        bar.setIconSize(QSize(40, 40));
        QAction* dce = bar.addAction(icon, QStringLiteral("DCE"));
        dce->setEnabled(false);
        bar.show();
        QWidget* button = bar.widgetForAction(dce);
        QVERIFY(button);
        QCOMPARE(bluePixels(button->grab().toImage()), 0);
        dce->setEnabled(true);
        QVERIFY(bluePixels(button->grab().toImage()) > 20);
    }

    void curveChartFollowsItsColour()
    {
        const QImage chart =
            paintCurveChartPixmap(QColor(200, 40, 40), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(chart.size(), QSize(22, 22));
        // The vertical axis at x = 3 and the largest dot on (11, 6.4).
        QVERIFY(qAlpha(chart.pixel(3, 10)) > 150);
        QVERIFY(qAbs(qRed(chart.pixel(3, 10)) - 200) <= 3);
        QVERIFY(qAlpha(chart.pixel(11, 6)) > 200);
        QCOMPARE(qAlpha(chart.pixel(21, 1)), 0);
    }

    void paintedIcons_data()
    {
        QTest::addColumn<std::function<QIcon()>>("make");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<QPoint>("inked");
        QTest::addColumn<QPoint>("empty");
        // The monitor's stand, the rotation sign's inner circle, the briefcase's lid seam.
        QTest::newRow("remote PACS") << std::function<QIcon()>(remotePacsIcon) << QColor(51, 170, 255) << QPoint(8, 16)
                                     << QPoint(8, 9);
        QTest::newRow("axes grab") << std::function<QIcon()>(axesGrabIcon) << QColor(235, 120, 120) << QPoint(4, 11)
                                   << QPoint(11, 11);
        QTest::newRow("extra functions") << std::function<QIcon()>(extraFunctionsIcon) << QColor(90, 200, 255)
                                         << QPoint(5, 14) << QPoint(2, 2);
    }

    void paintedIcons()
    {
        QFETCH(std::function<QIcon()>, make);
        QFETCH(QColor, colour);
        QFETCH(QPoint, inked);
        QFETCH(QPoint, empty);
        const QIcon icon = make();
        QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(22, 22)});
        const QImage image = iconImage(icon, 22);
        const QRgb p = image.pixel(inked);
        QVERIFY(qAlpha(p) > 150);
        // Unpremultiplied colour of a mostly covered pixel is the icon's colour.
        QVERIFY(qAbs(qRed(p) - colour.red()) < 12 && qAbs(qGreen(p) - colour.green()) < 12
                && qAbs(qBlue(p) - colour.blue()) < 12);
        QVERIFY(qAlpha(image.pixel(empty)) < 40);
    }

};

QTEST_MAIN(TestToolbarIcons)
#include "tst_toolbaricons.moc"
