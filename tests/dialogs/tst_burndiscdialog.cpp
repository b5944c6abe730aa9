// The disc burning dialog on libburn pseudo-drives: sizes and the estimate, the label limit, the
// drive list with a blank and a used medium, the status line, the refusals of "Записать", and a
// machine without recorders.

#include "support/ModalAnswer.h"

#include "dialogs/BurnDiscDialog.h"
#include "platform/DiscRecording.h"
#include "platform/OpticalDrives.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

class TestBurnDiscDialog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QTemporaryDir m_dir;
    QString m_blank;
    QString m_used;

    static QString textOf(const BurnDiscDialog& d, const char* name)
    {
        return d.findChild<QLabel*>(QLatin1String(name))->text();
    }
    static QString styleOf(const BurnDiscDialog& d, const char* name)
    {
        return d.findChild<QLabel*>(QLatin1String(name))->styleSheet();
    }

private slots:
    void initTestCase()
    {
        platform::setSystemRoot(m_root.path());
        m_blank = m_dir.filePath(QStringLiteral("blank.iso"));
        m_used = m_dir.filePath(QStringLiteral("used.iso"));
        QFile(m_blank).open(QIODevice::WriteOnly);
        QFile used(m_used);
        QVERIFY(used.open(QIODevice::WriteOnly));
        used.write(QByteArray(4096, 'x'));
    }
    void cleanupTestCase()
    {
        platform::setExtraRecorderAddresses({});
        platform::setSystemRoot(QStringLiteral("/"));
    }

    void formatSize_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << "0 МБ";
        QTest::newRow("negative") << qint64(-5) << "0 МБ";
        QTest::newRow("cd") << qint64(734003200) << "700.0 МБ";
        QTest::newRow("dvd") << qint64(4700000000) << "4.38 ГБ";
    }
    void formatSize()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(BurnDiscDialog::formatSize(bytes), text);
    }

    void noRecorder()
    {
        platform::setExtraRecorderAddresses({});
        BurnDiscDialog d(3, 1048576, 0, 0, QString(50, QLatin1Char('A')), nullptr);
        QCOMPARE(d.volumeLabel(), QString(32, QLatin1Char('A'))); // the longest label a disc takes
        QVERIFY(!d.findChild<QComboBox*>("driveCombo")->isEnabled());
        QCOMPARE(textOf(d, "statusLabel"), QStringLiteral("Оптический привод не найден."));
        // 3 bytes compressed count 1; with the viewer's 1 MiB that shows as 1.0 MB.
        QCOMPARE(textOf(d, "sizeLabel"), QStringLiteral("Требуется места: ~1.0 МБ (оценочно, со сжатием)"));
        QVERIFY(!d.includeMacViewer());
        QVERIFY(!d.includeWindowsViewer());
        QVERIFY(d.selectedRecorderId().isEmpty());

        fixtures::ModalAnswer answer(QMessageBox::Ok);
        d.findChild<QPushButton*>("burnButton")->click();
        QCOMPARE(answer.texts(), QStringList{QStringLiteral("Выберите привод для записи.")});
        QCOMPARE(d.result(), int(QDialog::Rejected));
    }

    void drivesStatusAndRefusals()
    {
        platform::setExtraRecorderAddresses({"stdio:" + m_used, "stdio:" + m_blank});
        QWidget studyList; // the dialog's owner, as the study list window is
        BurnDiscDialog d(2 * 1048576, 1048576, 5 * 1048576, 7 * 1048576, QStringLiteral("Иванов_77"),
                         &studyList);
        auto* combo = d.findChild<QComboBox*>("driveCombo");
        QCOMPARE(combo->count(), 2);
        QVERIFY(combo->itemText(0).endsWith(QStringLiteral(" (диск не пустой)")));
        QVERIFY(combo->itemText(1).endsWith(QStringLiteral(" (чистый диск)")));
        QCOMPARE(d.selectedRecorderId(), "stdio:" + m_used);
        QVERIFY(d.includeMacViewer() && d.includeWindowsViewer());
        // 1 (study, compressed) + 1 (viewer) + 5 + 1 (macOS bundle with its own copy of the study) + 7.
        QCOMPARE(textOf(d, "sizeLabel"), QStringLiteral("Требуется места: ~15.0 МБ (оценочно, со сжатием)"));
        d.findChild<QCheckBox*>("compressBox")->setChecked(false);
        d.findChild<QCheckBox*>("macViewerBox")->setChecked(false);
        QCOMPARE(textOf(d, "sizeLabel"), QStringLiteral("Требуется места: 10.0 МБ"));

        fixtures::ModalAnswer answer(QMessageBox::Ok);
        auto* burn = d.findChild<QPushButton*>("burnButton");
        burn->click();
        QCOMPARE(answer.texts().value(0), QStringLiteral("Диск в приводе не пустой — эта функция поддерживает только "
                                                         "чистые диски. Вставьте новый CD/DVD."));
        d.findChild<QLineEdit*>("labelEdit")->setText(QStringLiteral("   "));
        burn->click();
        QCOMPARE(answer.texts().value(1), QStringLiteral("Укажите название/метку диска."));
        QCOMPARE(answer.titles().value(1), QStringLiteral("Запись на диск"));
        QCOMPARE(d.result(), int(QDialog::Rejected));

        // The blank medium: green (the pseudo-drive's free space is that of its file system), and the
        // choice survives "Обновить".
        combo->setCurrentIndex(1);
        QVERIFY(textOf(d, "statusLabel").startsWith(QStringLiteral("Готово к записи. Свободно на диске: ")));
        QCOMPARE(styleOf(d, "statusLabel"), QStringLiteral("color: #4caf6a;"));
        // Shown, every wrapped text has the height it needs at the width it got: none is cut at the top
        // and the bottom, whichever status line came last.
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        for (int drive : {0, 1}) {
            combo->setCurrentIndex(drive);
            QCoreApplication::processEvents();
            for (const QLabel* label : d.findChildren<QLabel*>())
                if (label->wordWrap() && !label->text().isEmpty())
                    QVERIFY2(label->height() >= label->heightForWidth(label->width()),
                             qPrintable(label->text()));
        }
        d.findChild<QPushButton*>("refreshButton")->click();
        QCOMPARE(d.selectedRecorderId(), "stdio:" + m_blank);
        d.findChild<QLineEdit*>("labelEdit")->setText(QStringLiteral(" Метка "));
        QCOMPARE(d.volumeLabel(), QStringLiteral("Метка"));
        burn->click();
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(answer.count(), 2);
    }

    // A disc with room for the study once is too small when the macOS bundle carries a second copy:
    // refused before the burn, with both sizes.
    void macViewerCountsTheStudyAgain()
    {
        platform::setExtraRecorderAddresses({"stdio:" + m_blank});
        platform::setPseudoDriveCapacity(20 * 1048576);
        auto restore = qScopeGuard([] { platform::setPseudoDriveCapacity(0); });
        BurnDiscDialog d(10 * 1048576, 1048576, 5 * 1048576, 0, QStringLiteral("Иванов_77"), nullptr);
        d.findChild<QCheckBox*>("compressBox")->setChecked(false);
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        auto* burn = d.findChild<QPushButton*>("burnButton");
        burn->click();
        QCOMPARE(d.result(), int(QDialog::Rejected));
        const QString refusal = answer.texts().value(0);
        QVERIFY2(refusal.startsWith(QStringLiteral("На диске недостаточно места (свободно 20.0 МБ, "
                                                   "требуется 26.0 МБ)")),
                 qPrintable(refusal));
        d.findChild<QCheckBox*>("macViewerBox")->setChecked(false);
        burn->click();
        QCOMPARE(d.result(), int(QDialog::Accepted));
    }
};

QTEST_MAIN(TestBurnDiscDialog)
#include "tst_burndiscdialog.moc"
