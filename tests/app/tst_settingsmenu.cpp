// The study list's settings menu opens the storage and PACS settings dialogs modally, with the
// window as parent, and destroys them once they are closed.

#include "TestBench.h"
#include "ModalAnswer.h"

#include "app/MainWindow.h"
#include "db/CleanupSettings.h"
#include "dialogs/PacsSettingsDialog.h"
#include "dialogs/SettingsDialog.h"
#include "pacs/PacsConfig.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

using fixtures::ModalAnswer;

namespace {

QAction* settingsEntry(MainWindow& window, const QString& text)
{
    auto* menu = window.findChild<QMenu*>(QStringLiteral("settingsMenu"));
    if (!menu)
        return nullptr;
    for (QAction* action : menu->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

} // namespace

class TestSettingsMenu : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private slots:
    void init() { m_bench.reset(); }

    void storageEntryOpensModalDialog()
    {
        MainWindow window;
        QAction* entry = settingsEntry(window, QStringLiteral("Управление хранилищем…"));
        QVERIFY(entry);
        QVERIFY(entry->isEnabled());

        bool rightDialog = false;
        ModalAnswer answer(QMessageBox::Ok, QDialog::Rejected);
        answer.setDialogHandler([&](QDialog* dialog) {
            rightDialog = qobject_cast<SettingsDialog*>(dialog) && dialog->parentWidget() == &window
                          && dialog->isModal();
            return true;
        });
        entry->trigger();
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Настройки")});
        QVERIFY(rightDialog);
        QVERIFY(window.findChildren<SettingsDialog*>().isEmpty());
        QCOMPARE(loadCleanupSettings().maxAgeDays, 90); // cancelled: nothing written
    }

    void pacsEntryOpensModalDialogAndSaves()
    {
        MainWindow window;
        QAction* entry = settingsEntry(window, QStringLiteral("Настройки PACS…"));
        QVERIFY(entry);
        QVERIFY(entry->isEnabled());

        bool rightDialog = false;
        ModalAnswer answer;
        answer.setDialogHandler([&](QDialog* dialog) {
            rightDialog = qobject_cast<PacsSettingsDialog*>(dialog) && dialog->parentWidget() == &window
                          && dialog->isModal();
            dialog->findChild<QLineEdit*>(QStringLiteral("localAeEdit"))->setText(QStringLiteral("FROMMENU"));
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Save)->click();
            return false; // already closed by its own Save button
        });
        entry->trigger();
        QVERIFY(rightDialog);
        QVERIFY(window.findChildren<PacsSettingsDialog*>().isEmpty());
        QCOMPARE(pacs::loadPacsConfig().localAeTitle, QStringLiteral("FROMMENU"));
    }
};

QTEST_MAIN(TestSettingsMenu)
#include "tst_settingsmenu.moc"
