// The About and help dialogs, and how the study list offers them: its menu entries, and the silent
// start-up update check owned by a hidden About dialog (against a loopback stand-in of the site).

#include "dialogs/AboutDialog.h"
#include "dialogs/HelpDialog.h"
#include "support/ModalAnswer.h"
#include "SiteStandIn.h"
#include "dialogs/VendorSite.h"

#include "app/MainWindow.h"

#include <QLabel>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextDocumentFragment>
#include <QtTest>

using fixtures::ModalAnswer;

namespace {

// Heading and plain text of each section of the manual, in order.
QList<QPair<QString, QString>> manualSections()
{
    QList<QPair<QString, QString>> sections;
    const QStringList parts = HelpDialog::manualHtml().split(QStringLiteral("<h3>"));
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const qsizetype end = parts.at(i).indexOf(QStringLiteral("</h3>"));
        sections.append({parts.at(i).left(end), QTextDocumentFragment::fromHtml(parts.at(i).mid(end + 5)).toPlainText()});
    }
    return sections;
}

} // namespace

class TestAboutDialog : public QObject
{
    Q_OBJECT

private slots:
    void showsNameVersionAndSite()
    {
        AboutDialog dialog;
        QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("versionLabel"))->text(), QStringLiteral("Версия 0.5.6"));
        auto* site = dialog.findChild<QLabel*>(QStringLiteral("siteLabel"));
        const QUrl origin(vendorOrigin());
        QCOMPARE(site->text(), QStringLiteral("Сайт: <a href=\"%1\">%2</a>").arg(vendorOrigin(), origin.host()));
        QVERIFY(site->openExternalLinks());
        dialog.show();
    }

    // The button runs a manual check: an up-to-date answer is reported, not kept silent.
    void checkButtonAsksTheSite()
    {
        SiteStandIn site;
        site.answer(200, "{\"version\":\"0.5.6\",\"url\":\"https://kalvenor.example/d\"}");
        qputenv("KALVENOR_UPDATE_URL", site.url());
        AboutDialog dialog;
        dialog.show();
        ModalAnswer answer(QMessageBox::Ok);
        dialog.findChild<QPushButton*>(QStringLiteral("checkUpdatesButton"))->click();
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 10000);
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Проверка обновлений")});
        QCOMPARE(answer.texts(), QStringList{QStringLiteral("У вас установлена последняя версия (0.5.6).")});
        QCOMPARE(site.requestLines().size(), 1);
        qputenv("KALVENOR_UPDATE_URL", "none");
    }

    void helpShowsTheBuiltInManual()
    {
        HelpDialog dialog;
        auto* browser = dialog.findChild<QTextBrowser*>(QStringLiteral("helpBrowser"));
        QVERIFY(!browser->openExternalLinks());
        QVERIFY(browser->toPlainText().contains(QStringLiteral("Импорт исследований")));
        dialog.show();
    }

    // The manual's seven sections, in order, each describing a part of this build.
    void helpSections_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QString>("fact");
        QTest::newRow("import") << 0 << QStringLiteral("Импорт исследований") << QStringLiteral("Открыть архив (ZIP/7z)");
        QTest::newRow("list") << 1 << QStringLiteral("Список исследований") << QStringLiteral("Защитить от удаления");
        QTest::newRow("2D") << 2 << QStringLiteral("Просмотр (2D)") << QStringLiteral("Угол Кобба");
        QTest::newRow("MPR") << 3 << QStringLiteral("MPR и 3D") << QStringLiteral("MinIP");
        QTest::newRow("PACS") << 4 << QStringLiteral("PACS") << QStringLiteral("Скачать и открыть");
        QTest::newRow("export") << 5 << QStringLiteral("Экспорт") << QStringLiteral("Экспортировать изображения…");
        QTest::newRow("settings") << 6 << QStringLiteral("Настройки") << QStringLiteral("Управление хранилищем…");
    }
    void helpSections()
    {
        QFETCH(int, index);
        QFETCH(QString, heading);
        QFETCH(QString, fact);
        const auto sections = manualSections();
        QCOMPARE(sections.size(), 7);
        QCOMPARE(sections.at(index).first, heading);
        QVERIFY2(sections.at(index).second.contains(fact), qPrintable(sections.at(index).second));
    }

    // The settings section names every entry of the study list's settings menu, as the menu spells it.
    void helpNamesEverySettingsEntry()
    {
        qputenv("KALVENOR_UPDATE_URL", "none");
        MainWindow window;
        const QString settings = manualSections().value(6).second;
        for (QAction* action : window.findChild<QMenu*>(QStringLiteral("settingsMenu"))->actions())
            if (!action->isSeparator())
                QVERIFY2(settings.contains(action->text()), qPrintable(action->text()));
    }

    // The study list's start-up check reaches the site once and announces a newer version.
    void studyListChecksAtStartUp()
    {
        SiteStandIn site;
        site.answer(200, "{\"version\":\"0.7.0\",\"url\":\"\"}");
        qputenv("KALVENOR_UPDATE_URL", site.url());
        ModalAnswer answer(QMessageBox::No);
        {
            MainWindow window;
            const QList<AboutDialog*> owners = window.findChildren<AboutDialog*>();
            QCOMPARE(owners.size(), 1);
            QVERIFY(!owners.first()->isVisible());
            QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 10000);
            QCOMPARE(answer.titles(), QStringList{QStringLiteral("Доступно обновление")});
            QCOMPARE(site.requestLines().size(), 1);
        }
        qputenv("KALVENOR_UPDATE_URL", "none");
    }

    // Failures at start-up stay silent, and with the check switched off nothing is even asked.
    void studyListStartUpFailureIsSilent()
    {
        SiteStandIn site;
        site.answer(404, "missing");
        qputenv("KALVENOR_UPDATE_URL", site.url());
        ModalAnswer answer(QMessageBox::Ok);
        {
            MainWindow window;
            QSignalSpy finished(window.findChild<AboutDialog*>()->findChild<QNetworkAccessManager*>(),
                                &QNetworkAccessManager::finished);
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
            QCoreApplication::processEvents();
            QCOMPARE(site.requestLines().size(), 1);
            QCOMPARE(answer.count(), 0);
        }
        qputenv("KALVENOR_UPDATE_URL", "none");
        MainWindow window;
        QVERIFY(!window.findChild<AboutDialog*>()->findChild<QNetworkAccessManager*>());
    }

    void studyListMenuOpensTheDialogs()
    {
        qputenv("KALVENOR_UPDATE_URL", "none");
        MainWindow window;
        auto* menu = window.findChild<QMenu*>(QStringLiteral("settingsMenu"));
        QVERIFY(menu);
        QStringList titles;
        for (const char* text : {"Помощь…", "О программе…", "Сообщить об ошибке…"}) {
            QAction* action = nullptr;
            for (QAction* a : menu->actions())
                if (a->text() == QString::fromUtf8(text))
                    action = a;
            QVERIFY2(action && action->isEnabled(), text);
            ModalAnswer answer;
            answer.setDialogHandler([&window](QDialog* dialog) {
                // Modal, with the study list as parent.
                return dialog->parentWidget() == &window && dialog->isModal();
            });
            action->trigger();
            titles << answer.titles();
        }
        QCOMPARE(titles, (QStringList{QStringLiteral("Помощь"), QStringLiteral("О программе"),
                                      QStringLiteral("Сообщить об ошибке")}));
        // Each was destroyed after it closed: only the hidden start-up owner is left.
        QCOMPARE(window.findChildren<AboutDialog*>().size(), 1);
        QCOMPARE(window.findChildren<HelpDialog*>().size(), 0);
    }
};

QTEST_MAIN(TestAboutDialog)
#include "tst_aboutdialog.moc"
