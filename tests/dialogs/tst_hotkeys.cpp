// Hotkey registry lookups and the hotkey dialog, against settings in a temporary folder.

#include "dialogs/HotkeyRegistry.h"
#include "dialogs/HotkeySettingsDialog.h"
#include "support/ModalAnswer.h"
#include "support/SettingsFileHelpers.h"

#include <QApplication>
#include <QKeySequenceEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using fixtures::ModalAnswer;

namespace {

QKeySequenceEdit* editorOf(QDialog& dialog, const QString& id)
{
    return dialog.findChild<QKeySequenceEdit*>(id);
}

QPushButton* buttonOf(QDialog& dialog, const QString& text)
{
    for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

QString labelOf(const QString& id)
{
    for (const HotkeyAction& action : hotkeyRegistry()) {
        if (action.id == id)
            return action.label;
    }
    return {};
}

QStringList storedOverrideKeys()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("hotkeys"));
    return settings.childKeys();
}

} // namespace

class TestHotkeys : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void defaultSequence_data();
    void defaultSequence();
    void storedOverride_data();
    void storedOverride();
    void everyDefaultSurvivesSaveAndRead();

    void clearedEditorIsSavedAsEmpty();
    void resetThenCancelKeepsOverrides();
    void duplicateSequences_data();
    void duplicateSequences();
    void editorTakesOneCombination();

private:
    QTemporaryDir m_config;
};

void TestHotkeys::initTestCase()
{
    QVERIFY(m_config.isValid());
    fixtures::useSettingsFolder(m_config.path());
    QVERIFY(QSettings().fileName().startsWith(m_config.path()));
}

void TestHotkeys::init()
{
    fixtures::clearSettings();
}

void TestHotkeys::defaultSequence_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QKeySequence>("expected");
    QTest::newRow("mpr F2") << "viewer.mprWindow" << QKeySequence(Qt::Key_F2);
    QTest::newRow("flip h [") << "viewer.flipH" << QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_BracketLeft);
    QTest::newRow("unknown id") << "viewer.nothing" << QKeySequence();
    QTest::newRow("case differs") << "Viewer.mprWindow" << QKeySequence();
    QTest::newRow("empty id") << "" << QKeySequence();
}

void TestHotkeys::defaultSequence()
{
    QFETCH(QString, id);
    QFETCH(QKeySequence, expected);
    QCOMPARE(hotkeySequence(id), expected);
}

void TestHotkeys::storedOverride_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QKeySequence>("expected");
    QTest::newRow("empty means none") << "viewer.mprWindow" << "" << QKeySequence();
    QTest::newRow("replaces default") << "viewer.export" << "Ctrl+K" << QKeySequence(Qt::CTRL | Qt::Key_K);
    QTest::newRow("backslash") << "viewer.copyOne" << "Alt+\\" << QKeySequence(Qt::ALT | Qt::Key_Backslash);
    QTest::newRow("unknown id with override") << "viewer.future" << "F9" << QKeySequence(Qt::Key_F9);
}

void TestHotkeys::storedOverride()
{
    QFETCH(QString, id);
    QFETCH(QString, stored);
    QFETCH(QKeySequence, expected);
    QSettings().setValue(QStringLiteral("hotkeys/") + id, stored);
    QCOMPARE(hotkeySequence(id), expected);
}

void TestHotkeys::everyDefaultSurvivesSaveAndRead()
{
    QSettings settings;
    for (const HotkeyAction& action : hotkeyRegistry()) {
        QVERIFY2(!action.defaultSequence.isEmpty(), qPrintable(action.id));
        settings.setValue(QStringLiteral("hotkeys/") + action.id, action.defaultSequence.toString(QKeySequence::PortableText));
    }
    settings.sync();
    for (const HotkeyAction& action : hotkeyRegistry()) {
        QVERIFY(QSettings().contains(QStringLiteral("hotkeys/") + action.id));
        QCOMPARE(hotkeySequence(action.id), action.defaultSequence);
    }
}

void TestHotkeys::clearedEditorIsSavedAsEmpty()
{
    HotkeySettingsDialog dialog;
    dialog.show();
    QKeySequenceEdit* mpr = editorOf(dialog, QStringLiteral("viewer.mprWindow"));
    QVERIFY(mpr);
    QCOMPARE(mpr->keySequence(), QKeySequence(Qt::Key_F2));
    mpr->clear();

    ModalAnswer answer(QMessageBox::Ok);
    buttonOf(dialog, QStringLiteral("Сохранить"))->click();
    QCOMPARE(answer.texts(),
             QStringList{QStringLiteral("Сохранено. Изменения применятся к новым открываемым окнам — уже открытые "
                                        "окна нужно закрыть и открыть заново.")});
    QCOMPARE(dialog.result(), int(QDialog::Accepted));

    QSettings settings;
    QVERIFY(settings.contains(QStringLiteral("hotkeys/viewer.mprWindow")));
    QCOMPARE(settings.value(QStringLiteral("hotkeys/viewer.mprWindow")).toString(), QString());
    QVERIFY(hotkeySequence(QStringLiteral("viewer.mprWindow")).isEmpty());
    // Every other action is written with the value it showed.
    QCOMPARE(storedOverrideKeys().size(), hotkeyRegistry().size());
    QCOMPARE(hotkeySequence(QStringLiteral("viewer.clearTransform")),
             QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backslash));
}

void TestHotkeys::resetThenCancelKeepsOverrides()
{
    {
        QSettings settings;
        settings.setValue(QStringLiteral("hotkeys/viewer.export"), QStringLiteral("Ctrl+K"));
        settings.setValue(QStringLiteral("hotkeys/viewer.copyOne"), QString());
    }
    HotkeySettingsDialog dialog;
    dialog.show();
    QKeySequenceEdit* exportEdit = editorOf(dialog, QStringLiteral("viewer.export"));
    QKeySequenceEdit* copyEdit = editorOf(dialog, QStringLiteral("viewer.copyOne"));
    QCOMPARE(exportEdit->keySequence(), QKeySequence(Qt::CTRL | Qt::Key_K));
    QVERIFY(copyEdit->keySequence().isEmpty());

    buttonOf(dialog, QStringLiteral("Сбросить всё к умолчаниям"))->click();
    QVERIFY(dialog.isVisible());
    QCOMPARE(exportEdit->keySequence(), QKeySequence(Qt::CTRL | Qt::Key_E));
    QCOMPARE(copyEdit->keySequence(), QKeySequence(Qt::CTRL | Qt::Key_C));
    QCOMPARE(storedOverrideKeys().size(), 2);

    buttonOf(dialog, QStringLiteral("Отмена"))->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QSettings settings;
    QCOMPARE(settings.value(QStringLiteral("hotkeys/viewer.export")).toString(), QStringLiteral("Ctrl+K"));
    QVERIFY(settings.contains(QStringLiteral("hotkeys/viewer.copyOne")));
    QCOMPARE(storedOverrideKeys().size(), 2);
}

void TestHotkeys::duplicateSequences_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QKeySequence>("shared");
    QTest::addColumn<bool>("refused");
    const QKeySequence ctrlAltJ(Qt::CTRL | Qt::ALT | Qt::Key_J);
    QTest::newRow("two viewer actions") << "viewer.export" << "viewer.flipV" << ctrlAltJ << true;
    QTest::newRow("another's default") << "viewer.copyAll" << "viewer.mprWindow" << QKeySequence(Qt::Key_F2) << true;
    QTest::newRow("study list and viewer") << "mainwindow.openFolder" << "viewer.export" << ctrlAltJ << false;
}

void TestHotkeys::duplicateSequences()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QKeySequence, shared);
    QFETCH(bool, refused);

    HotkeySettingsDialog dialog;
    dialog.show();
    editorOf(dialog, first)->setKeySequence(shared);
    editorOf(dialog, second)->setKeySequence(shared);

    ModalAnswer answer(QMessageBox::Ok);
    buttonOf(dialog, QStringLiteral("Сохранить"))->click();
    QCOMPARE(answer.count(), 1);
    if (refused) {
        const QString text = answer.texts().value(0);
        QVERIFY2(text.contains(labelOf(first)) && text.contains(labelOf(second)), qPrintable(text));
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(storedOverrideKeys().isEmpty());
    } else {
        QVERIFY(answer.texts().value(0).startsWith(QStringLiteral("Сохранено.")));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(hotkeySequence(first), shared);
        QCOMPARE(hotkeySequence(second), shared);
    }
}

void TestHotkeys::editorTakesOneCombination()
{
    HotkeySettingsDialog dialog;
    dialog.show();
    QKeySequenceEdit* edit = editorOf(dialog, QStringLiteral("viewer.export"));
    edit->clear();
    QTest::keyClick(edit, Qt::Key_K, Qt::ControlModifier);
    QCOMPARE(edit->keySequence(), QKeySequence(Qt::CTRL | Qt::Key_K));
    // A further key starts a new recording instead of growing a chord.
    QTest::keyClick(edit, Qt::Key_L, Qt::ControlModifier);
    QCOMPARE(edit->keySequence(), QKeySequence(Qt::CTRL | Qt::Key_L));
}

QTEST_MAIN(TestHotkeys)
#include "tst_hotkeys.moc"
