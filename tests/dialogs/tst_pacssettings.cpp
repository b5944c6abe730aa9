// The PACS settings dialog against settings in a temporary folder, and its C-ECHO test against real
// peers on 127.0.0.1: storescp, a closed port and a listener that never answers.

#include "support/ModalAnswer.h"
#include "support/SettingsFileHelpers.h"
#include "dialogs/PacsSettingsDialog.h"

#include "support/PacsTestPeers.h"

#include "pacs/NetworkTuning.h"
#include "pacs/PacsConfig.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTableWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using fixtures::ModalAnswer;

namespace {

QTableWidget* tableOf(QDialog& dialog)
{
    return dialog.findChild<QTableWidget*>(QStringLiteral("serverTable"));
}

QPushButton* buttonOf(QDialog& dialog, const QString& text)
{
    for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

QPushButton* saveButton(QDialog& dialog)
{
    auto* box = dialog.findChild<QDialogButtonBox*>();
    return box ? box->button(QDialogButtonBox::Save) : nullptr;
}

QPushButton* cancelButton(QDialog& dialog)
{
    auto* box = dialog.findChild<QDialogButtonBox*>();
    return box ? box->button(QDialogButtonBox::Cancel) : nullptr;
}

QString cell(QTableWidget* table, int row, int column)
{
    const QTableWidgetItem* item = table->item(row, column);
    return item ? item->text() : QStringLiteral("<none>");
}

void setCell(QTableWidget* table, int row, int column, const QString& text)
{
    table->item(row, column)->setText(text);
}

QComboBox* modeOf(QTableWidget* table, int row)
{
    return qobject_cast<QComboBox*>(table->cellWidget(row, 4));
}

pacs::PacsServer server(const QString& host, int port, const QString& ae, const QString& description = {},
                        int mode = 0)
{
    pacs::PacsServer s;
    s.host = host;
    s.port = port;
    s.aeTitle = ae;
    s.description = description;
    s.retrieveMode = mode;
    return s;
}

void addRow(QDialog& dialog, const QString& host, int port, const QString& ae)
{
    dialog.findChild<QLineEdit*>(QStringLiteral("newHostEdit"))->setText(host);
    dialog.findChild<QSpinBox*>(QStringLiteral("newPortSpin"))->setValue(port);
    dialog.findChild<QLineEdit*>(QStringLiteral("newAeEdit"))->setText(ae);
    buttonOf(dialog, QStringLiteral("Добавить"))->click();
}

bool isSettled(const QString& status)
{
    return status.startsWith(QStringLiteral("✅")) || status.startsWith(QStringLiteral("❌"));
}

} // namespace

class TestPacsSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void showsStoredConfiguration();
    void editedConfigurationRoundTrips();
    void cancelKeepsStoredConfiguration();
    void unwritableSettingsKeepDialogOpen();
    void checkWithoutServerExplains_data();
    void checkWithoutServerExplains();
    void invalidValuesAreRefused_data();
    void invalidValuesAreRefused();
    void storedUnusableTitlesAreShown();

    void echoAllServers();
    void secondCheckIsIgnoredWhileRunning();
    void removingDuringCheckKeepsResultsOnTheirRows();
    void closingDuringCheckIsSafe();

private:
    QTemporaryDir m_config;
};

void TestPacsSettings::initTestCase()
{
    QVERIFY(m_config.isValid());
    fixtures::useSettingsFolder(m_config.path());
    QVERIFY(QSettings().fileName().startsWith(m_config.path()));
    // A peer that never answers must fail the check in seconds, not half a minute.
    pacs::setNetworkTimeouts({2, 2, 2});
}

void TestPacsSettings::init()
{
    fixtures::clearSettings();
}

void TestPacsSettings::showsStoredConfiguration()
{
    pacs::PacsConfig stored;
    stored.localPort = 4242;
    stored.localAeTitle = QStringLiteral("MYNODE");
    stored.moveDestinationAeTitle = QStringLiteral("MOVEDEST");
    stored.servers = {server(QStringLiteral("10.1.2.3"), 11112, QStringLiteral("ARCH"), QStringLiteral("Архив"), 1),
                      server(QStringLiteral("pacs.local"), 104, QStringLiteral("PACS2"))};
    pacs::savePacsConfig(stored);

    PacsSettingsDialog dialog;
    QCOMPARE(dialog.findChild<QSpinBox*>(QStringLiteral("localPortSpin"))->value(), 4242);
    QCOMPARE(dialog.findChild<QLineEdit*>(QStringLiteral("localAeEdit"))->text(), QStringLiteral("MYNODE"));
    QCOMPARE(dialog.findChild<QLineEdit*>(QStringLiteral("moveDestAeEdit"))->text(), QStringLiteral("MOVEDEST"));

    QTableWidget* table = tableOf(dialog);
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(cell(table, 0, 0), QStringLiteral("10.1.2.3"));
    QCOMPARE(cell(table, 0, 1), QStringLiteral("11112"));
    QCOMPARE(cell(table, 0, 2), QStringLiteral("ARCH"));
    QCOMPARE(cell(table, 0, 3), QStringLiteral("Архив"));
    QCOMPARE(modeOf(table, 0)->currentText(), QStringLiteral("C-GET"));
    QCOMPARE(modeOf(table, 1)->currentText(), QStringLiteral("C-MOVE"));
    QCOMPARE(cell(table, 1, 5), QStringLiteral("— не проверялось —"));
    QVERIFY(!(table->item(1, 5)->flags() & Qt::ItemIsEditable));
}

void TestPacsSettings::editedConfigurationRoundTrips()
{
    pacs::PacsConfig stored;
    stored.servers = {server(QStringLiteral("10.1.2.3"), 11112, QStringLiteral("ARCH"), {}, 1),
                      server(QStringLiteral("10.1.2.4"), 104, QStringLiteral("GONE")),
                      server(QStringLiteral("10.1.2.5"), 105, QStringLiteral("KEEP"))};
    pacs::savePacsConfig(stored);

    PacsSettingsDialog dialog;
    QTableWidget* table = tableOf(dialog);
    dialog.findChild<QSpinBox*>(QStringLiteral("localPortSpin"))->setValue(5104);
    dialog.findChild<QLineEdit*>(QStringLiteral("localAeEdit"))->setText(QStringLiteral("  NODE1  "));
    dialog.findChild<QLineEdit*>(QStringLiteral("moveDestAeEdit"))->setText(QStringLiteral(" "));

    // Unsaved edits in the table: another port, padded fields, another retrieve mode.
    setCell(table, 0, 0, QStringLiteral(" 10.9.9.9 "));
    setCell(table, 0, 1, QStringLiteral(" 4010 "));
    setCell(table, 0, 2, QStringLiteral(" AE2 "));
    setCell(table, 0, 3, QStringLiteral("  с пробелами  "));
    modeOf(table, 0)->setCurrentIndex(0);
    modeOf(table, 2)->setCurrentIndex(1);

    table->setCurrentCell(1, 0);
    buttonOf(dialog, QStringLiteral("Удалить выбранный"))->click();
    QCOMPARE(table->rowCount(), 2);

    addRow(dialog, QStringLiteral(" 127.0.0.1 "), 4006, QStringLiteral(" NEWAE "));
    dialog.findChild<QLineEdit*>(QStringLiteral("newDescriptionEdit"))->setText(QStringLiteral("x"));
    addRow(dialog, QStringLiteral("  "), 4007, QStringLiteral("IGNORED"));
    QCOMPARE(table->rowCount(), 3);
    QCOMPARE(dialog.findChild<QSpinBox*>(QStringLiteral("newPortSpin"))->value(), 4007); // refused add keeps it
    QCOMPARE(modeOf(table, 2)->currentIndex(), 0);

    // A row whose host was emptied is left out of the saved list.
    addRow(dialog, QStringLiteral("drop.me"), 4008, QStringLiteral("DROP"));
    setCell(table, 3, 0, QStringLiteral("   "));

    saveButton(dialog)->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));

    pacs::PacsConfig expected;
    expected.localPort = 5104;
    expected.localAeTitle = QStringLiteral("NODE1");
    expected.moveDestinationAeTitle = QString();
    expected.servers = {server(QStringLiteral("10.9.9.9"), 4010, QStringLiteral("AE2"),
                               QStringLiteral("  с пробелами  "), 0),
                        server(QStringLiteral("10.1.2.5"), 105, QStringLiteral("KEEP"), {}, 1),
                        server(QStringLiteral("127.0.0.1"), 4006, QStringLiteral("NEWAE"), {}, 0)};
    QVERIFY(pacs::loadPacsConfig() == expected);

    // Reopened, the dialog shows exactly what was saved.
    PacsSettingsDialog again;
    QCOMPARE(tableOf(again)->rowCount(), 3);
    QCOMPARE(cell(tableOf(again), 0, 1), QStringLiteral("4010"));
    QCOMPARE(modeOf(tableOf(again), 1)->currentText(), QStringLiteral("C-GET"));
}

void TestPacsSettings::cancelKeepsStoredConfiguration()
{
    pacs::PacsConfig stored;
    stored.localAeTitle = QStringLiteral("KEEPME");
    stored.servers = {server(QStringLiteral("10.1.2.3"), 104, QStringLiteral("A")),
                      server(QStringLiteral("10.1.2.4"), 104, QStringLiteral("B"))};
    pacs::savePacsConfig(stored);

    PacsSettingsDialog dialog;
    dialog.findChild<QLineEdit*>(QStringLiteral("localAeEdit"))->setText(QStringLiteral("CHANGED"));
    tableOf(dialog)->setCurrentCell(0, 0);
    buttonOf(dialog, QStringLiteral("Удалить выбранный"))->click();
    addRow(dialog, QStringLiteral("10.7.7.7"), 104, QStringLiteral("C"));
    cancelButton(dialog)->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QVERIFY(pacs::loadPacsConfig() == stored);
}

void TestPacsSettings::unwritableSettingsKeepDialogOpen()
{
    const QString file = QSettings().fileName();
    QFile::remove(file);
    QVERIFY(QDir().mkpath(file));

    PacsSettingsDialog dialog;
    addRow(dialog, QStringLiteral("10.2.2.2"), 104, QStringLiteral("NEW"));
    {
        ModalAnswer answer(QMessageBox::Ok);
        saveButton(dialog)->click();
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Конфигурация PACS")});
        QVERIFY2(answer.texts().value(0).startsWith(QStringLiteral("Не удалось сохранить настройки")),
                 qPrintable(answer.texts().value(0)));
    }
    QVERIFY(dialog.result() != QDialog::Accepted);
    QCOMPARE(tableOf(dialog)->rowCount(), 1);

    QVERIFY(QDir().rmdir(file));
    saveButton(dialog)->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(pacs::loadPacsConfig().servers.value(0).aeTitle, QStringLiteral("NEW"));
}

// Values the DICOM peers would refuse or misread are refused in the dialog, naming the field; nothing
// is saved.
void TestPacsSettings::invalidValuesAreRefused_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("field");
    QTest::newRow("own title too long") << "local" << "ABCDEFGHIJKLMNOPQ" << "Мой AE-заголовок";
    QTest::newRow("own title in Cyrillic, 12 characters") << "local" << "ПАКСПАКСПАКС" << "Мой AE-заголовок";
    QTest::newRow("server title in Cyrillic") << "ae" << "ПАКС" << "AE-заголовок";
    QTest::newRow("move title with backslash") << "move" << "A\\B" << "AE-заголовок назначения для C-MOVE";
    QTest::newRow("port not a number") << "port" << "abc" << "Порт";
    QTest::newRow("port out of range") << "port" << "70000" << "Порт";
    QTest::newRow("server title with a tab") << "ae" << "AE\tX" << "AE-заголовок";
    QTest::newRow("new server title too long") << "add" << "ABCDEFGHIJKLMNOPQ" << "AE-заголовок";
    // Every association would fail with "Illegal service parameter".
    QTest::newRow("own title empty") << "local" << "" << "Мой AE-заголовок";
    QTest::newRow("own title blanks") << "local" << "   " << "Мой AE-заголовок";
    QTest::newRow("server title empty") << "ae" << "" << "AE-заголовок";
    QTest::newRow("server title blanks") << "ae" << "  " << "AE-заголовок";
    QTest::newRow("new server title empty") << "add" << "" << "AE-заголовок";
}

void TestPacsSettings::invalidValuesAreRefused()
{
    QFETCH(QString, where);
    QFETCH(QString, value);
    QFETCH(QString, field);
    pacs::PacsConfig stored;
    stored.servers = {server(QStringLiteral("10.1.2.3"), 104, QStringLiteral("ARCH"))};
    pacs::savePacsConfig(stored);

    PacsSettingsDialog dialog;
    QTableWidget* table = tableOf(dialog);
    ModalAnswer answer(QMessageBox::Ok);
    if (where == QLatin1String("local"))
        dialog.findChild<QLineEdit*>(QStringLiteral("localAeEdit"))->setText(value);
    else if (where == QLatin1String("move"))
        dialog.findChild<QLineEdit*>(QStringLiteral("moveDestAeEdit"))->setText(value);
    else if (where == QLatin1String("port"))
        setCell(table, 0, 1, value);
    else if (where == QLatin1String("ae"))
        setCell(table, 0, 2, value);
    if (where == QLatin1String("add"))
        addRow(dialog, QStringLiteral("10.3.3.3"), 104, value);
    else
        saveButton(dialog)->click();
    QCOMPARE(answer.count(), 1);
    QVERIFY2(answer.texts().value(0).contains(QStringLiteral("«%1»").arg(field)),
             qPrintable(answer.texts().value(0)));
    QVERIFY(dialog.result() != QDialog::Accepted);
    QCOMPARE(table->rowCount(), 1);
    QVERIFY(pacs::loadPacsConfig() == stored);
}

// What an earlier version stored and cannot be used is said when the dialog opens; the fallback is
// what it shows.
void TestPacsSettings::storedUnusableTitlesAreShown()
{
    QSettings().setValue(QStringLiteral("pacs/localAeTitle"), QStringLiteral(" "));
    PacsSettingsDialog dialog;
    QCOMPARE(dialog.findChild<QLineEdit*>(QStringLiteral("localAeEdit"))->text(), QStringLiteral("VAVOVIVIRUR"));
    auto* notice = dialog.findChild<QLabel*>(QStringLiteral("storedNotice"));
    QVERIFY(notice && !notice->isHidden());
    QVERIFY2(notice->text().contains(QStringLiteral("«Мой AE-заголовок»")), qPrintable(notice->text()));

    pacs::savePacsConfig(pacs::loadPacsConfig());
    PacsSettingsDialog again;
    QVERIFY(again.findChild<QLabel*>(QStringLiteral("storedNotice"))->isHidden());
}

void TestPacsSettings::checkWithoutServerExplains_data()
{
    QTest::addColumn<bool>("withRow");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("text");
    QTest::newRow("selected, no rows") << false << QStringLiteral("Проверить выбранный (C-ECHO)")
                                       << QStringLiteral("Сначала выберите сервер в списке.");
    QTest::newRow("selected, none chosen") << true << QStringLiteral("Проверить выбранный (C-ECHO)")
                                           << QStringLiteral("Сначала выберите сервер в списке.");
    QTest::newRow("all, empty list") << false << QStringLiteral("Проверить все серверы")
                                     << QStringLiteral("Список серверов пуст.");
}

void TestPacsSettings::checkWithoutServerExplains()
{
    QFETCH(bool, withRow);
    QFETCH(QString, button);
    QFETCH(QString, text);
    PacsSettingsDialog dialog;
    if (withRow)
        addRow(dialog, QStringLiteral("127.0.0.1"), 104, QStringLiteral("X"));
    tableOf(dialog)->setCurrentCell(-1, -1);
    ModalAnswer answer(QMessageBox::Ok);
    buttonOf(dialog, button)->click();
    QCOMPARE(answer.texts(), QStringList{text});
    QCOMPARE(answer.titles(), QStringList{QStringLiteral("Конфигурация PACS")});
    if (withRow) {
        QCOMPARE(cell(tableOf(dialog), 0, 5), QStringLiteral("— не проверялось —"));
        buttonOf(dialog, QStringLiteral("Удалить выбранный"))->click(); // nothing chosen: nothing removed
        QCOMPARE(tableOf(dialog)->rowCount(), 1);
    }
}

void TestPacsSettings::echoAllServers()
{
    peers::StoreReceiver receiver;
    QVERIFY(receiver.start(QStringLiteral("KALVSTORE")));
    const quint16 closedPort = fixtures::freeLoopbackPort();
    QVERIFY(closedPort != 0);

    PacsSettingsDialog dialog;
    QTableWidget* table = tableOf(dialog);
    addRow(dialog, QStringLiteral("127.0.0.1"), receiver.port(), QStringLiteral("KALVSTORE"));
    addRow(dialog, QStringLiteral("127.0.0.1"), closedPort, QStringLiteral("NOBODY"));
    addRow(dialog, QStringLiteral("127.0.0.1"), 104, QStringLiteral("EMPTYHOST"));
    setCell(table, 2, 0, QString()); // tested but never saved
    addRow(dialog, QStringLiteral("127.0.0.1"), 104, QStringLiteral("BADPORT"));
    setCell(table, 3, 1, QStringLiteral("abc"));

    auto* checkAll = buttonOf(dialog, QStringLiteral("Проверить все серверы"));
    auto* checkSelected = buttonOf(dialog, QStringLiteral("Проверить выбранный (C-ECHO)"));
    checkAll->click();
    for (int row = 0; row < 4; ++row)
        QVERIFY(cell(table, row, 5) == QStringLiteral("⏳ Проверка…") || isSettled(cell(table, row, 5)));
    QVERIFY(!checkAll->isEnabled());
    QVERIFY(!checkSelected->isEnabled());

    QTRY_VERIFY_WITH_TIMEOUT(checkAll->isEnabled(), 20000);
    QVERIFY(checkSelected->isEnabled());

    const QString ok = cell(table, 0, 5);
    QVERIFY2(QRegularExpression(QStringLiteral("^✅ Отвечает \\(\\d+ мс\\)$")).match(ok).hasMatch(), qPrintable(ok));

    const QString refused = cell(table, 1, 5);
    QVERIFY2(refused.startsWith(QStringLiteral("❌ ")) && refused.size() > 3, qPrintable(refused));
    QCOMPARE(table->item(1, 5)->toolTip(), refused.mid(2));
    // The whole reason shows, wrapped, not cut off at the column's edge.
    const auto needed = [view = static_cast<QAbstractItemView*>(table)](int row) { return view->sizeHintForRow(row); };
    QVERIFY2(table->rowHeight(1) >= needed(1) && needed(1) > needed(0),
             qPrintable(QStringLiteral("%1 < %2").arg(table->rowHeight(1)).arg(needed(1))));

    QCOMPARE(cell(table, 2, 5), QStringLiteral("❌ не указан IP-адрес"));
    QVERIFY2(cell(table, 3, 5).startsWith(QStringLiteral("❌ ")), qPrintable(cell(table, 3, 5)));

    // Checking one row again touches only that row; the peer answers again.
    setCell(table, 1, 1, QString::number(receiver.port()));
    setCell(table, 1, 2, QStringLiteral("KALVSTORE"));
    table->setCurrentCell(1, 0);
    checkSelected->click();
    QTRY_VERIFY_WITH_TIMEOUT(checkAll->isEnabled(), 20000);
    QVERIFY2(cell(table, 1, 5).startsWith(QStringLiteral("✅ Отвечает")), qPrintable(cell(table, 1, 5)));
    QCOMPARE(cell(table, 2, 5), QStringLiteral("❌ не указан IP-адрес"));

    // The row without a host is not saved; the port that is not a number is corrected first.
    setCell(table, 3, 1, QStringLiteral("105"));
    saveButton(dialog)->click();
    const pacs::PacsConfig saved = pacs::loadPacsConfig();
    QCOMPARE(saved.servers.size(), 3);
    QCOMPARE(saved.servers.at(2).aeTitle, QStringLiteral("BADPORT"));
    QCOMPARE(saved.servers.at(2).port, 105);
}

void TestPacsSettings::secondCheckIsIgnoredWhileRunning()
{
    // A listener that takes the connection and never answers keeps the first check busy.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));

    PacsSettingsDialog dialog;
    QTableWidget* table = tableOf(dialog);
    addRow(dialog, QStringLiteral("127.0.0.1"), silent.serverPort(), QStringLiteral("SILENT"));
    addRow(dialog, QStringLiteral("127.0.0.1"), 104, QStringLiteral("LATER"));
    table->setCurrentCell(0, 0);
    buttonOf(dialog, QStringLiteral("Проверить выбранный (C-ECHO)"))->click();
    QCOMPARE(cell(table, 0, 5), QStringLiteral("⏳ Проверка…"));

    // The window stays alive while the echo waits; a second request (even past the disabled
    // buttons) starts nothing.
    QCoreApplication::processEvents();
    table->setCurrentCell(1, 0);
    QVERIFY(QMetaObject::invokeMethod(&dialog, "onCheckSelectedClicked"));
    QVERIFY(QMetaObject::invokeMethod(&dialog, "onCheckAllClicked"));
    QCOMPARE(cell(table, 1, 5), QStringLiteral("— не проверялось —"));
    QCOMPARE(cell(table, 0, 5), QStringLiteral("⏳ Проверка…"));

    auto* checkAll = buttonOf(dialog, QStringLiteral("Проверить все серверы"));
    QTRY_VERIFY_WITH_TIMEOUT(checkAll->isEnabled(), 15000);
    QVERIFY2(cell(table, 0, 5).startsWith(QStringLiteral("❌ ")), qPrintable(cell(table, 0, 5)));
    QCOMPARE(cell(table, 1, 5), QStringLiteral("— не проверялось —"));
}

void TestPacsSettings::removingDuringCheckKeepsResultsOnTheirRows()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    peers::StoreReceiver receiver;
    QVERIFY(receiver.start(QStringLiteral("KALVSTORE")));

    PacsSettingsDialog dialog;
    QTableWidget* table = tableOf(dialog);
    addRow(dialog, QStringLiteral("127.0.0.1"), silent.serverPort(), QStringLiteral("SILENT"));
    addRow(dialog, QStringLiteral("127.0.0.1"), receiver.port(), QStringLiteral("KALVSTORE"));
    auto* checkAll = buttonOf(dialog, QStringLiteral("Проверить все серверы"));
    checkAll->click();

    // While the silent server is still being waited for, its row goes away.
    table->setCurrentCell(0, 0);
    buttonOf(dialog, QStringLiteral("Удалить выбранный"))->click();
    QCOMPARE(table->rowCount(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(checkAll->isEnabled(), 15000);
    // The silent server's failure is dropped; the answering server's row shows its own answer.
    QCOMPARE(cell(table, 0, 2), QStringLiteral("KALVSTORE"));
    QVERIFY2(cell(table, 0, 5).startsWith(QStringLiteral("✅ Отвечает")), qPrintable(cell(table, 0, 5)));
}

void TestPacsSettings::closingDuringCheckIsSafe()
{
    const auto threadCount = [] {
        return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
    };
    const qsizetype threadsBefore = threadCount();
    auto silent = std::make_unique<QTcpServer>();
    QVERIFY(silent->listen(QHostAddress::LocalHost, 0));

    {
        PacsSettingsDialog dialog;
        addRow(dialog, QStringLiteral("127.0.0.1"), silent->serverPort(), QStringLiteral("SILENT"));
        buttonOf(dialog, QStringLiteral("Проверить все серверы"))->click();
        cancelButton(dialog)->click();
    }
    silent.reset(); // its connection goes: the echo still running fails at once
    // The worker finishes its list on its own thread, which then ends; its result to the gone
    // dialog is dropped.
    QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= threadsBefore, 60000);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(pacs::loadPacsConfig().servers.isEmpty());
}

QTEST_MAIN(TestPacsSettings)
#include "tst_pacssettings.moc"
