// The grid layout popup (hover, caption, choice) and the series panel's drag of a series row.

#include "viewer/GridLayoutPicker.h"
#include "viewer/SeriesListWidget.h"

#include <QApplication>
#include <QDrag>
#include <QListWidget>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>

namespace {

void sendMouse(QWidget* target, QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent ev(type, QPointF(pos), target->mapToGlobal(QPointF(pos)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &ev);
}

QIcon colourIcon(QColor colour)
{
    QPixmap pm(120, 90);
    pm.fill(colour);
    return QIcon(pm);
}

// Drags the list has started since the last call; each QDrag lives until the event loop deletes it.
QList<QDrag*> takeDrags(QListWidget* list)
{
    QList<QDrag*> drags = list->findChildren<QDrag*>(Qt::FindDirectChildrenOnly);
    for (QDrag* d : drags)
        d->setParent(nullptr);
    return drags;
}

} // namespace

class TestPickerAndList : public QObject
{
    Q_OBJECT

private slots:
    void pickerCaptionFollowsPointer_data()
    {
        QTest::addColumn<QPoint>("pos");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::addColumn<QString>("caption");
        QTest::newRow("bottom-right cell") << QPoint(100, 100) << 2 << 2 << QStringLiteral("3 × 3");
        QTest::newRow("top-left margin") << QPoint(5, 5) << 0 << 0 << QStringLiteral("1 × 1");
        QTest::newRow("caption strip") << QPoint(50, 120) << -1 << -1 << QStringLiteral("Выберите раскладку");
        QTest::newRow("second row second column") << QPoint(50, 44) << 1 << 1 << QStringLiteral("2 × 2");
        QTest::newRow("gap counts as the cell before it") << QPoint(42, 76) << 1 << 0 << QStringLiteral("2 × 1");
        QTest::newRow("right margin clamps") << QPoint(117, 15) << 0 << 2 << QStringLiteral("1 × 3");
        QTest::newRow("last row above the strip") << QPoint(20, 109) << 2 << 0 << QStringLiteral("3 × 1");
    }

    void pickerCaptionFollowsPointer()
    {
        QFETCH(QPoint, pos);
        QFETCH(int, row);
        QFETCH(int, col);
        QFETCH(QString, caption);
        GridLayoutPicker picker;
        QCOMPARE(picker.size(), QSize(118, 140));
        QVERIFY(picker.windowFlags() & Qt::Popup);
        QCOMPARE(picker.captionText(), QStringLiteral("Выберите раскладку"));
        sendMouse(&picker, QEvent::MouseMove, pos, Qt::NoButton, Qt::NoButton);
        QCOMPARE(picker.hoverRow(), row);
        QCOMPARE(picker.hoverCol(), col);
        QCOMPARE(picker.captionText(), caption);
    }

    void pickerPressChoosesOrCloses_data()
    {
        QTest::addColumn<QPoint>("pos");
        QTest::addColumn<int>("rows"); // 0: no choice
        QTest::addColumn<int>("cols");
        QTest::newRow("2 x 2") << QPoint(50, 44) << 2 << 2;
        QTest::newRow("1 x 3") << QPoint(100, 12) << 1 << 3;
        QTest::newRow("caption strip") << QPoint(50, 125) << 0 << 0;
    }

    void pickerPressChoosesOrCloses()
    {
        QFETCH(QPoint, pos);
        QFETCH(int, rows);
        QFETCH(int, cols);
        GridLayoutPicker picker;
        picker.show();
        QVERIFY(QTest::qWaitForWindowExposed(&picker));
        QSignalSpy chosen(&picker, &GridLayoutPicker::layoutChosen);
        sendMouse(&picker, QEvent::MouseMove, pos, Qt::NoButton, Qt::NoButton);
        sendMouse(&picker, QEvent::MouseButtonPress, pos, Qt::LeftButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!picker.isVisible(), 30000);
        if (rows == 0) {
            QCOMPARE(chosen.count(), 0);
        } else {
            QCOMPARE(chosen.count(), 1);
            QCOMPARE(chosen.first().at(0).toInt(), rows);
            QCOMPARE(chosen.first().at(1).toInt(), cols);
        }
    }

    void pickerLeaveClearsHoverAndPaints()
    {
        GridLayoutPicker picker;
        sendMouse(&picker, QEvent::MouseMove, QPoint(60, 60), Qt::NoButton, Qt::NoButton);
        const QImage image = picker.grab().toImage();
        // Cells up to the hovered one are lit, the others are not.
        QCOMPARE(image.pixelColor(25, 25), QColor(51, 119, 187));
        QCOMPARE(image.pixelColor(59, 59), QColor(51, 119, 187));
        QCOMPARE(image.pixelColor(93, 25), QColor(65, 65, 69));
        QCOMPARE(image.pixelColor(25, 93), QColor(65, 65, 69));

        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&picker, &leave);
        QCOMPARE(picker.hoverRow(), -1);
        QCOMPARE(picker.hoverCol(), -1);
        const QImage after = picker.grab().toImage();
        QCOMPARE(after.pixelColor(25, 25), QColor(65, 65, 69));
        QCOMPARE(after.pixelColor(2, 2), QColor(45, 45, 48));
    }

    void listSetup()
    {
        SeriesListWidget list;
        QCOMPARE(list.dragDropMode(), QAbstractItemView::NoDragDrop);
        QCOMPARE(list.verticalScrollMode(), QAbstractItemView::ScrollPerPixel);
        QCOMPARE(list.horizontalScrollMode(), QAbstractItemView::ScrollPerPixel);
        QCOMPARE(list.verticalScrollBar()->singleStep(), 24);
        const std::unique_ptr<QMimeData> mime(SeriesListWidget::createSeriesMimeData(QStringLiteral("1.2.3.Ж")));
        QCOMPARE(mime->formats(), QStringList{QStringLiteral("application/x-dicom-series-uid")});
        QCOMPARE(mime->data(QStringLiteral("application/x-dicom-series-uid")), QStringLiteral("1.2.3.Ж").toUtf8());
    }

    // Which rows start a drag, and only once per press and only past the drag distance.
    void listDragOfSeriesRows()
    {
        SeriesListWidget list;
        list.resize(200, 400);
        auto* header = new QListWidgetItem(QStringLiteral("── 15.01.2024 · Test ──\nStudy"), &list);
        header->setFlags(Qt::ItemIsEnabled);
        auto* withIcon = new QListWidgetItem(colourIcon(Qt::red), QStringLiteral("CT\nAxial\n8 срез."), &list);
        withIcon->setData(Qt::UserRole, QStringLiteral("1.2.840.1"));
        auto* noIcon = new QListWidgetItem(QStringLiteral("MR\nT1\n3 срез."), &list);
        noIcon->setData(Qt::UserRole, QStringLiteral("1.2.840.2"));
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        QWidget* vp = list.viewport();
        const int far = QApplication::startDragDistance() + 5;

        auto pressAndMove = [&](QListWidgetItem* item, int dx) {
            const QPoint start = list.visualItemRect(item).center();
            sendMouse(vp, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
            sendMouse(vp, QEvent::MouseMove, start + QPoint(dx, 0), Qt::NoButton, Qt::LeftButton);
            return start;
        };

        // A series row with a thumbnail: one drag with the UID and a 64 x 64 picture.
        QPoint start = pressAndMove(withIcon, far);
        QList<QDrag*> drags = takeDrags(&list);
        QCOMPARE(drags.size(), 1);
        QCOMPARE(drags[0]->mimeData()->data(QStringLiteral("application/x-dicom-series-uid")), QByteArray("1.2.840.1"));
        QCOMPARE(drags[0]->mimeData()->formats().size(), 1);
        QVERIFY(!drags[0]->pixmap().isNull());
        QVERIFY(drags[0]->pixmap().width() <= 64 && drags[0]->pixmap().height() <= 64);
        QCOMPARE(drags[0]->supportedActions(), Qt::CopyAction);
        qDeleteAll(drags);
        // Further moves of the same press start nothing.
        sendMouse(vp, QEvent::MouseMove, start + QPoint(far * 2, 0), Qt::NoButton, Qt::LeftButton);
        QVERIFY(takeDrags(&list).isEmpty());
        sendMouse(vp, QEvent::MouseButtonRelease, start, Qt::LeftButton, Qt::NoButton);

        // Without a thumbnail: a drag without a picture.
        start = pressAndMove(noIcon, far);
        drags = takeDrags(&list);
        QCOMPARE(drags.size(), 1);
        QCOMPARE(drags[0]->mimeData()->data(QStringLiteral("application/x-dicom-series-uid")), QByteArray("1.2.840.2"));
        QVERIFY(drags[0]->pixmap().isNull());
        qDeleteAll(drags);
        sendMouse(vp, QEvent::MouseButtonRelease, start, Qt::LeftButton, Qt::NoButton);

        // A study header row is no series: no drag.
        start = pressAndMove(header, far);
        QVERIFY(takeDrags(&list).isEmpty());
        sendMouse(vp, QEvent::MouseButtonRelease, start, Qt::LeftButton, Qt::NoButton);

        // Shorter than the drag distance: no drag.
        start = pressAndMove(withIcon, QApplication::startDragDistance() - 1);
        QVERIFY(takeDrags(&list).isEmpty());
        sendMouse(vp, QEvent::MouseButtonRelease, start, Qt::LeftButton, Qt::NoButton);

        // Moving with the button up after a press: nothing.
        start = list.visualItemRect(withIcon).center();
        sendMouse(vp, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
        sendMouse(vp, QEvent::MouseButtonRelease, start, Qt::LeftButton, Qt::NoButton);
        sendMouse(vp, QEvent::MouseMove, start + QPoint(far, 0), Qt::NoButton, Qt::NoButton);
        QVERIFY(takeDrags(&list).isEmpty());

        // A right-button press arms nothing.
        sendMouse(vp, QEvent::MouseButtonPress, start, Qt::RightButton, Qt::RightButton);
        sendMouse(vp, QEvent::MouseMove, start + QPoint(far, 0), Qt::NoButton, Qt::LeftButton);
        QVERIFY(takeDrags(&list).isEmpty());
    }
};

QTEST_MAIN(TestPickerAndList)
#include "tst_pickerandlist.moc"
