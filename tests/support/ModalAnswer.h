#pragma once
// The one way tests answer modal message boxes and dialogs: a timer watches for the active modal
// widget and answers it, so exec() returns and the test goes on. Every answered box is recorded
// (title, text) so a test can check what the user would have read.

#include <QDialog>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace fixtures {

class ModalAnswer
{
public:
    // Answers message boxes with the given standard button (when the box has it, else its escape
    // button) and other dialogs with done(dialogResult). Stays active until destroyed.
    explicit ModalAnswer(QMessageBox::StandardButton button = QMessageBox::Yes, int dialogResult = QDialog::Rejected);
    ~ModalAnswer();
    ModalAnswer(const ModalAnswer&) = delete;
    ModalAnswer& operator=(const ModalAnswer&) = delete;

    // Called for a dialog that is not a message box before it is closed (fill fields, pick items);
    // return false to leave it open for a later tick.
    void setDialogHandler(std::function<bool(QDialog*)> handler) { m_handler = std::move(handler); }
    // Called for a message box before it is answered (something happens while the user reads it);
    // return false to leave it open for a later tick.
    void setBoxHandler(std::function<bool(QMessageBox*)> handler) { m_boxHandler = std::move(handler); }
    void setButton(QMessageBox::StandardButton button) { m_button = button; }
    // Called as a box or dialog is shown, before anything else runs: what the code that opened it had
    // done by then (a job's end handled, its thread gone) tells whether it opened the box inside that end.
    void setShowHandler(std::function<void(QWidget*)> handler) { m_showHandler = std::move(handler); }

    QStringList texts() const { return m_texts; }   // message box texts in order
    QStringList titles() const { return m_titles; } // window titles of everything answered
    int count() const { return m_titles.size(); }
    // How many event loops ran on the GUI thread as each was answered: 0 for a box that waits without
    // a loop of its own (the test's waits turn events without one), 1 for one shown by exec().
    QList<int> loopLevels() const { return m_loopLevels; }

private:
    void tick();
    class ShowWatch;

    QTimer m_timer;
    QMessageBox::StandardButton m_button;
    int m_dialogResult;
    std::function<bool(QDialog*)> m_handler;
    std::function<bool(QMessageBox*)> m_boxHandler;
    std::function<void(QWidget*)> m_showHandler;
    ShowWatch* m_showWatch = nullptr;
    QStringList m_texts;
    QStringList m_titles;
    QList<int> m_loopLevels;
};

} // namespace fixtures
