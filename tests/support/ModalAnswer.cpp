#include "support/ModalAnswer.h"

#include <QApplication>
#include <QPushButton>
#include <QThread>

namespace fixtures {

class ModalAnswer::ShowWatch : public QObject
{
public:
    explicit ShowWatch(ModalAnswer* owner) : m_owner(owner) { qApp->installEventFilter(this); }
    ~ShowWatch() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && m_owner->m_showHandler) {
            auto* w = qobject_cast<QDialog*>(watched);
            if (w && w->isWindow())
                m_owner->m_showHandler(w);
        }
        return false;
    }

private:
    ModalAnswer* m_owner;
};

ModalAnswer::ModalAnswer(QMessageBox::StandardButton button, int dialogResult)
    : m_button(button), m_dialogResult(dialogResult)
{
    m_timer.setInterval(20);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
    m_timer.start();
    m_showWatch = new ShowWatch(this);
}

ModalAnswer::~ModalAnswer()
{
    m_timer.stop();
    delete m_showWatch;
}

void ModalAnswer::tick()
{
    QWidget* w = QApplication::activeModalWidget();
    if (!w)
        return;
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
        if (m_boxHandler && !m_boxHandler(box))
            return;
        m_titles << box->windowTitle();
        m_texts << box->text();
        m_loopLevels << QThread::currentThread()->loopLevel();
        QAbstractButton* b = box->button(m_button);
        if (!b)
            b = box->escapeButton();
        if (!b && !box->buttons().isEmpty())
            b = box->buttons().first();
        if (b)
            b->click();
        else
            box->done(0);
        return;
    }
    if (auto* dlg = qobject_cast<QDialog*>(w)) {
        if (m_handler && !m_handler(dlg))
            return;
        m_titles << dlg->windowTitle();
        m_loopLevels << QThread::currentThread()->loopLevel();
        dlg->done(m_dialogResult);
    }
}

} // namespace fixtures
