// The storage settings dialog against the "cleanup" settings in a temporary folder.

#include "support/ModalAnswer.h"
#include "support/SettingsFileHelpers.h"
#include "dialogs/SettingsDialog.h"

#include "db/CleanupSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 kGiB = 1073741824;

struct Widgets
{
    QCheckBox* ageCheck;
    QSpinBox* ageSpin;
    QCheckBox* sizeCheck;
    QDoubleSpinBox* sizeSpin;
    QComboBox* unit;
    QDialogButtonBox* buttons;
};

Widgets widgetsOf(QDialog& dialog)
{
    return {dialog.findChild<QCheckBox*>(QStringLiteral("ageCheck")),
            dialog.findChild<QSpinBox*>(QStringLiteral("ageSpin")),
            dialog.findChild<QCheckBox*>(QStringLiteral("sizeCheck")),
            dialog.findChild<QDoubleSpinBox*>(QStringLiteral("sizeSpin")),
            dialog.findChild<QComboBox*>(QStringLiteral("unitCombo")),
            dialog.findChild<QDialogButtonBox*>()};
}

void store(bool byAge, int days, bool bySize, qint64 bytes)
{
    CleanupSettings cleanup;
    cleanup.byAgeEnabled = byAge;
    cleanup.maxAgeDays = days;
    cleanup.bySizeEnabled = bySize;
    cleanup.maxSizeBytes = bytes;
    saveCleanupSettings(cleanup);
}

} // namespace

class TestStorageSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void showsStoredValues_data();
    void showsStoredValues();
    void savesEditedValues_data();
    void savesEditedValues();
    void unchangedSaveKeepsBytes_data();
    void unchangedSaveKeepsBytes();
    void cancelKeepsStoredValues();
    void checkBoxesEnableTheirFields();
    void unwritableSettingsKeepDialogOpen();

private:
    QTemporaryDir m_config;
};

void TestStorageSettings::initTestCase()
{
    QVERIFY(m_config.isValid());
    fixtures::useSettingsFolder(m_config.path());
    QVERIFY(QSettings().fileName().startsWith(m_config.path()));
}

void TestStorageSettings::init()
{
    fixtures::clearSettings();
}

void TestStorageSettings::showsStoredValues_data()
{
    QTest::addColumn<bool>("stored"); // false: nothing stored, the defaults apply
    QTest::addColumn<bool>("byAge");
    QTest::addColumn<int>("days");
    QTest::addColumn<bool>("bySize");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<double>("shown");
    QTest::addColumn<QString>("unit");

    QTest::newRow("defaults") << false << false << 90 << false << 10 * kGiB << 10.0 << QStringLiteral("ГБ");
    QTest::newRow("whole GiB") << true << true << 30 << true << 3 * kGiB << 3.0 << QStringLiteral("ГБ");
    QTest::newRow("1.5 GiB in MiB") << true << false << 1 << true << qint64(1610612736) << 1536.0 << QStringLiteral("МБ");
    QTest::newRow("500 MiB") << true << true << 3650 << false << qint64(500) * 1048576 << 500.0 << QStringLiteral("МБ");
}

void TestStorageSettings::showsStoredValues()
{
    QFETCH(bool, stored);
    QFETCH(bool, byAge);
    QFETCH(int, days);
    QFETCH(bool, bySize);
    QFETCH(qint64, bytes);
    QFETCH(double, shown);
    QFETCH(QString, unit);
    if (stored)
        store(byAge, days, bySize, bytes);

    SettingsDialog dialog;
    const Widgets w = widgetsOf(dialog);
    QCOMPARE(w.ageCheck->isChecked(), byAge);
    QCOMPARE(w.ageSpin->value(), days);
    QCOMPARE(w.ageSpin->isEnabled(), byAge);
    QCOMPARE(w.sizeCheck->isChecked(), bySize);
    QCOMPARE(w.sizeSpin->value(), shown);
    QCOMPARE(w.unit->currentText(), unit);
    QCOMPARE(w.sizeSpin->isEnabled(), bySize);
    QCOMPARE(w.unit->isEnabled(), bySize);
}

void TestStorageSettings::savesEditedValues_data()
{
    QTest::addColumn<bool>("byAge");
    QTest::addColumn<int>("days");
    QTest::addColumn<bool>("bySize");
    QTest::addColumn<double>("size");
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("savedDays");
    QTest::addColumn<qint64>("savedBytes");

    QTest::newRow("0.1 MB truncates") << true << 7 << true << 0.1 << 0 << 7 << qint64(104857);
    QTest::newRow("2.5 GB") << false << 365 << true << 2.5 << 1 << 365 << qint64(2684354560);
    QTest::newRow("largest") << true << 3650 << true << 100000.0 << 1 << 3650 << qint64(100000) * kGiB;
    // Values outside the ranges are clamped by the fields, never stored as given.
    QTest::newRow("beyond ranges") << true << 99999 << true << 0.0 << 0 << 3650 << qint64(104857);
    QTest::newRow("off keeps values") << false << 12 << false << 750.0 << 0 << 12 << qint64(750) * 1048576;
}

void TestStorageSettings::savesEditedValues()
{
    QFETCH(bool, byAge);
    QFETCH(int, days);
    QFETCH(bool, bySize);
    QFETCH(double, size);
    QFETCH(int, unit);
    QFETCH(int, savedDays);
    QFETCH(qint64, savedBytes);

    SettingsDialog dialog;
    const Widgets w = widgetsOf(dialog);
    w.ageCheck->setChecked(byAge);
    w.ageSpin->setValue(days);
    w.sizeCheck->setChecked(bySize);
    w.unit->setCurrentIndex(unit); // changing the unit does not convert the number
    w.sizeSpin->setValue(size);
    w.buttons->button(QDialogButtonBox::Save)->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));

    const CleanupSettings saved = loadCleanupSettings();
    QCOMPARE(saved.byAgeEnabled, byAge);
    QCOMPARE(saved.maxAgeDays, savedDays);
    QCOMPARE(saved.bySizeEnabled, bySize);
    QCOMPARE(saved.maxSizeBytes, savedBytes);
}

void TestStorageSettings::unchangedSaveKeepsBytes_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("1.5 GiB") << qint64(1610612736);
    QTest::newRow("300 MiB") << qint64(300) * 1048576;
}

void TestStorageSettings::unchangedSaveKeepsBytes()
{
    QFETCH(qint64, bytes);
    store(true, 45, true, bytes);
    SettingsDialog dialog;
    widgetsOf(dialog).buttons->button(QDialogButtonBox::Save)->click();
    const CleanupSettings saved = loadCleanupSettings();
    QCOMPARE(saved.maxSizeBytes, bytes);
    QCOMPARE(saved.maxAgeDays, 45);
    QVERIFY(saved.byAgeEnabled && saved.bySizeEnabled);
}

void TestStorageSettings::cancelKeepsStoredValues()
{
    store(false, 60, true, 2 * kGiB);
    SettingsDialog dialog;
    const Widgets w = widgetsOf(dialog);
    w.ageCheck->setChecked(true);
    w.ageSpin->setValue(5);
    w.sizeSpin->setValue(0.5);
    w.buttons->button(QDialogButtonBox::Cancel)->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    const CleanupSettings kept = loadCleanupSettings();
    QVERIFY(!kept.byAgeEnabled);
    QCOMPARE(kept.maxAgeDays, 60);
    QCOMPARE(kept.maxSizeBytes, 2 * kGiB);
}

void TestStorageSettings::checkBoxesEnableTheirFields()
{
    SettingsDialog dialog;
    const Widgets w = widgetsOf(dialog);
    w.ageCheck->setChecked(true);
    QVERIFY(w.ageSpin->isEnabled());
    QVERIFY(!w.sizeSpin->isEnabled());
    w.sizeCheck->setChecked(true);
    QVERIFY(w.sizeSpin->isEnabled() && w.unit->isEnabled());
    w.ageCheck->setChecked(false);
    w.sizeCheck->setChecked(false);
    QVERIFY(!w.ageSpin->isEnabled() && !w.sizeSpin->isEnabled() && !w.unit->isEnabled());
}

void TestStorageSettings::unwritableSettingsKeepDialogOpen()
{
    // A folder where the settings file belongs makes every write fail, even for root.
    const QString file = QSettings().fileName();
    QFile::remove(file);
    QVERIFY(QDir().mkpath(file));

    SettingsDialog dialog;
    const Widgets w = widgetsOf(dialog);
    w.ageCheck->setChecked(true);
    w.ageSpin->setValue(21);
    {
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        w.buttons->button(QDialogButtonBox::Save)->click();
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Настройки")});
        QVERIFY2(answer.texts().value(0).startsWith(QStringLiteral("Не удалось сохранить настройки")),
                 qPrintable(answer.texts().value(0)));
    }
    QVERIFY(dialog.result() != QDialog::Accepted);
    QCOMPARE(w.ageSpin->value(), 21); // the edits are still there to save again

    // Once the file can be written, the same Save keeps the values.
    QVERIFY(QDir().rmdir(file));
    w.buttons->button(QDialogButtonBox::Save)->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(loadCleanupSettings().maxAgeDays, 21);
    QVERIFY(loadCleanupSettings().byAgeEnabled);
}

QTEST_MAIN(TestStorageSettings)
#include "tst_storagesettings.moc"
