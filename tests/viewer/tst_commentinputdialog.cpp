// The one-line comment prompt: trimming, blank and cancelled answers, quick picks that fill the line
// without closing the dialog, and Return in the line edit.

#include "viewer/CommentInputDialog.h"

#include "support/ModalAnswer.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

namespace {

QPushButton* quickPick(QDialog* dialog, const QString& text)
{
    for (QPushButton* button : dialog->findChildren<QPushButton*>())
        if (button->text() == text)
            return button;
    return nullptr;
}

QPushButton* okButton(QDialog* dialog)
{
    return dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
}

} // namespace

class TestCommentInputDialog : public QObject
{
    Q_OBJECT

private slots:
    void layoutAndQuickPicks()
    {
        QWidget parent;
        CommentInputDialog dialog(&parent, QStringLiteral("Текстовая метка"), QStringLiteral("старый текст"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Текстовая метка"));
        QVERIFY(dialog.isModal());
        QCOMPARE(dialog.minimumWidth(), 360);
        auto* edit = dialog.findChild<QLineEdit*>();
        QCOMPARE(edit->text(), QStringLiteral("старый текст"));
        QCOMPARE(edit->placeholderText(), QStringLiteral("Комментарий"));
        QCOMPARE(edit->selectedText(), QStringLiteral("старый текст"));

        const QStringList picks{"Очаг",      "Стеноз", "Кальцинат", "Киста", "Лимфоузел",
                                "Патология", "ЗНО?",   "Перелом",   "Грыжа", "Норма"};
        auto* grid = dialog.findChild<QGridLayout*>();
        QCOMPARE(grid->spacing(), 4);
        QCOMPARE(grid->count(), 10);
        for (int i = 0; i < picks.size(); ++i) {
            auto* button = qobject_cast<QPushButton*>(grid->itemAtPosition(i / 4, i % 4)->widget());
            QVERIFY(button);
            QCOMPARE(button->text(), picks.at(i));
        }
        QVERIFY(okButton(&dialog)->isDefault());

        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), edit, 30000);
        // A quick pick replaces the text, keeps the dialog open and gives the line back its focus.
        quickPick(&dialog, QStringLiteral("Киста"))->click();
        QCOMPARE(edit->text(), QStringLiteral("Киста"));
        QCOMPARE(edit->selectedText(), QStringLiteral("Киста"));
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), edit, 30000);
    }

    // The dialog answered the project's one way: fill it as a user would, then OK or Cancel.
    void getText_data()
    {
        QTest::addColumn<QString>("initial");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("pick");
        QTest::addColumn<int>("how"); // 0 OK, 1 Cancel, 2 Return in the line edit
        QTest::addColumn<QString>("expected"); // null: empty optional
        QTest::newRow("spaces only") << QString() << QStringLiteral("    ") << QString() << 0 << QString();
        QTest::newRow("quick pick then OK") << QString() << QString() << QStringLiteral("ЗНО?") << 0
                                            << QStringLiteral("ЗНО?");
        QTest::newRow("trimmed") << QString() << QStringLiteral("  Киста  ") << QString() << 0
                                 << QStringLiteral("Киста");
        QTest::newRow("pick replaces the initial text") << QStringLiteral("было") << QString()
                                                        << QStringLiteral("Норма") << 0 << QStringLiteral("Норма");
        QTest::newRow("initial text kept") << QStringLiteral("было") << QString() << QString() << 0
                                           << QStringLiteral("было");
        QTest::newRow("cancel") << QStringLiteral("было") << QStringLiteral("Очаг") << QString() << 1 << QString();
        QTest::newRow("return accepts") << QString() << QStringLiteral("Грыжа L4") << QString() << 2
                                        << QStringLiteral("Грыжа L4");
    }

    void getText()
    {
        QFETCH(QString, initial);
        QFETCH(QString, typed);
        QFETCH(QString, pick);
        QFETCH(int, how);
        QFETCH(QString, expected);
        QWidget parent;
        fixtures::ModalAnswer answer(QMessageBox::Yes, QDialog::Rejected);
        bool stayedOpen = true;
        int calls = 0;
        answer.setDialogHandler([&](QDialog* dialog) {
            // A dialog still open on a second visit did not take the answer: close it.
            if (++calls > 1)
                return true;
            auto* edit = dialog->findChild<QLineEdit*>();
            if (!typed.isNull())
                edit->setText(typed);
            if (!pick.isNull()) {
                quickPick(dialog, pick)->click();
                stayedOpen = dialog->isVisible() && dialog->result() == 0;
            }
            if (how == 0)
                okButton(dialog)->click();
            else if (how == 2)
                QTest::keyClick(edit, Qt::Key_Return);
            return how == 1; // Cancel is the answerer's own reply
        });
        const std::optional<QString> text = CommentInputDialog::getText(&parent, QStringLiteral("Комментарий"), initial);
        QCOMPARE(calls, 1);
        QVERIFY(stayedOpen);
        if (expected.isNull()) {
            QVERIFY(!text.has_value());
        } else {
            QVERIFY(text.has_value());
            QCOMPARE(*text, expected);
        }
    }
};

QTEST_MAIN(TestCommentInputDialog)
#include "tst_commentinputdialog.moc"
