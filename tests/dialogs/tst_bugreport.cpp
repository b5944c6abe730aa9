// The bug report: its text, the mailto link handed to the mail client (caught through a URL handler,
// so nothing is launched), the refusals, the clipboard copy and Cancel.

#include "dialogs/BugReportDialog.h"
#include "support/ModalAnswer.h"
#include "dialogs/VendorSite.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUrlQuery>
#include <QtTest>

using fixtures::ModalAnswer;

class MailClient : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void compose(const QUrl& url) { urls << url; }
};

class TestBugReport : public QObject
{
    Q_OBJECT

    MailClient m_mail;

    static void fill(BugReportDialog& dialog, const QString& description, const QString& contact)
    {
        dialog.findChild<QPlainTextEdit*>(QStringLiteral("descriptionEdit"))->setPlainText(description);
        dialog.findChild<QLineEdit*>(QStringLiteral("contactEdit"))->setText(contact);
    }
    static QPushButton* button(BugReportDialog& dialog, const char* name)
    {
        return dialog.findChild<QPushButton*>(QLatin1String(name));
    }
    // The report without its last line, the minute that may have turned between two readings.
    static QString withoutDate(const QString& report)
    {
        return report.left(report.lastIndexOf(QStringLiteral("Дата: ")));
    }

private slots:
    void init()
    {
        m_mail.urls.clear();
        QDesktopServices::setUrlHandler(QStringLiteral("mailto"), &m_mail, "compose");
    }
    void cleanup() { QDesktopServices::unsetUrlHandler(QStringLiteral("mailto")); }

    void reportText_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("contact");
        QTest::addColumn<QString>("head"); // what comes before the version line
        QTest::newRow("plain") << "  Окно зависло  \n" << "" << "Окно зависло\n\n---\n";
        QTest::newRow("contact") << "Ошибка" << "  doc@clinic.example " << "Ошибка\n\n---\nКонтакт: doc@clinic.example\n";
        QTest::newRow("blank contact") << "Ошибка" << "   " << "Ошибка\n\n---\n";
        QTest::newRow("blank description") << " \n\n  \t" << "" << "\n\n---\n";
    }
    void reportText()
    {
        QFETCH(QString, description);
        QFETCH(QString, contact);
        QFETCH(QString, head);
        BugReportDialog dialog;
        fill(dialog, description, contact);
        const QString text = dialog.reportText();
        QVERIFY2(text.startsWith(head + QStringLiteral("Версия Kalvenor: 0.5.6\nОС: %1\nДата: ")
                                            .arg(QSysInfo::prettyProductName())),
                 qPrintable(text));
        QVERIFY(QRegularExpression(QStringLiteral("\nДата: \\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d\n$")).match(text).hasMatch());
        QCOMPARE(text.count(QStringLiteral("Контакт")), contact.trimmed().isEmpty() ? 0 : 1);
    }

    // Line breaks, "&", "=", "+", "#", "%" and Cyrillic reach the mail body unchanged.
    void sendsTheReportAsAMailtoLink()
    {
        const QString description =
            QStringLiteral("Шаг 1: открыть КТ & MPR\nШаг 2: a=b+c, 100% #3, код %41 ?x=1\n\nЖдал: срез; увидел: пусто");
        BugReportDialog dialog;
        dialog.show();
        fill(dialog, description, QStringLiteral("me@clinic.example"));
        ModalAnswer answer;
        button(dialog, "sendButton")->click();
        QCOMPARE(answer.count(), 0);
        QCOMPARE(m_mail.urls.size(), 1);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());

        const QUrl url = m_mail.urls.first();
        QCOMPARE(url.scheme(), QStringLiteral("mailto"));
        QCOMPARE(url.path(), supportEmailAddress());
        const QUrlQuery query(url);
        QCOMPARE(query.queryItems(QUrl::FullyDecoded).size(), 2);
        QCOMPARE(query.queryItems().at(0).first, QStringLiteral("subject"));
        QCOMPARE(query.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded),
                 QStringLiteral("Kalvenor 0.5.6 — сообщение об ошибке"));
        const QString body = query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded);
        QVERIFY2(body.startsWith(description + QStringLiteral("\n\n---\nКонтакт: me@clinic.example\nВерсия Kalvenor: 0.5.6\n")),
                 qPrintable(body));
        QCOMPARE(withoutDate(body), withoutDate(dialog.reportText()));
        // The link itself is plain ASCII: every special character is percent-encoded.
        const QByteArray encoded = url.toEncoded();
        QVERIFY2(!encoded.contains('\n') && !encoded.contains('#') && !encoded.contains(' '), encoded.constData());
        for (const char c : encoded)
            QVERIFY(uchar(c) < 0x80);
    }

    void refusesAnEmptyDescription()
    {
        BugReportDialog dialog;
        dialog.show();
        fill(dialog, QStringLiteral("  \n \t\n"), QStringLiteral("me@clinic.example"));
        ModalAnswer answer(QMessageBox::Ok);
        button(dialog, "sendButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Сообщить об ошибке")});
        QCOMPARE(answer.texts(),
                 QStringList{QStringLiteral("Опишите проблему — пустой отчёт не поможет разобраться, что случилось.")});
        QVERIFY(m_mail.urls.isEmpty());
        QVERIFY(dialog.isVisible());
    }

    // No mail client: the user is told where to send the copied text, and the dialog stays.
    void missingMailClientNamesTheAddress()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("mailto"), &m_mail, "noSuchMethod");
        BugReportDialog dialog;
        dialog.show();
        fill(dialog, QStringLiteral("Падает при открытии"), QString());
        ModalAnswer answer(QMessageBox::Ok);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*noSuchMethod.*")));
        button(dialog, "sendButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
        QCOMPARE(answer.texts().first(),
                 QStringLiteral("Не удалось открыть почтовый клиент. Используйте кнопку \"Скопировать в буфер обмена\" "
                                "и отправьте текст вручную на %1.")
                     .arg(supportEmailAddress()));
        QVERIFY(dialog.isVisible());
    }

    void copiesEvenABlankReport()
    {
        QApplication::clipboard()->setText(QStringLiteral("before"));
        BugReportDialog dialog;
        dialog.show();
        fill(dialog, QStringLiteral("  "), QStringLiteral("me@clinic.example"));
        ModalAnswer answer(QMessageBox::Ok);
        button(dialog, "copyButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
        QCOMPARE(answer.texts(), QStringList{QStringLiteral("Текст отчёта скопирован в буфер обмена.")});
        const QString copied = QApplication::clipboard()->text();
        QVERIFY2(copied.startsWith(QStringLiteral("\n\n---\nКонтакт: me@clinic.example\nВерсия Kalvenor: 0.5.6\n")),
                 qPrintable(copied));
        QCOMPARE(withoutDate(copied), withoutDate(dialog.reportText()));
        QVERIFY(m_mail.urls.isEmpty());
        QVERIFY(dialog.isVisible());
    }

    void cancelSendsAndCopiesNothing()
    {
        QApplication::clipboard()->setText(QStringLiteral("before"));
        BugReportDialog dialog;
        dialog.show();
        fill(dialog, QStringLiteral("Что-то сломалось"), QString());
        ModalAnswer answer;
        dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!dialog.isVisible());
        QVERIFY(m_mail.urls.isEmpty());
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));
        QCOMPARE(answer.count(), 0);
    }

    void looksRight()
    {
        BugReportDialog dialog;
        dialog.show();
        fill(dialog, QStringLiteral("После импорта ZIP список исследований пуст."), QString());
    }
};

QTEST_MAIN(TestBugReport)
#include "tst_bugreport.moc"
