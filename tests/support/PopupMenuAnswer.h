#pragma once
// Answers pop-up menus (server lists, mail choosers, results menus) the way ModalAnswer answers
// modal boxes: a timer watches for the active pop-up and picks an entry, so exec() returns.

#include <QAction>
#include <QApplication>
#include <QList>
#include <QMenu>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QtTest>

#include <algorithm>

namespace fixtures {

class PopupMenuAnswer
{
public:
    // Picks entry `choice` of every menu; -1 (or an index past the end) dismisses it.
    explicit PopupMenuAnswer(int choice) : PopupMenuAnswer(QList<int>{choice}) {}
    // One choice per menu, in the order the menus open; the last one repeats.
    explicit PopupMenuAnswer(const QList<int>& choices) : m_choices(choices)
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start();
    }
    PopupMenuAnswer(const PopupMenuAnswer&) = delete;
    PopupMenuAnswer& operator=(const PopupMenuAnswer&) = delete;

    // Saves a picture of every answered menu to this path (empty: none).

    QStringList entries;        // every entry of the last menu answered
    QStringList enabledEntries; // the enabled entries of the first menu answered
    int shown = 0;

private:
    void tick()
    {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || menu == m_answered)
            return;
        m_answered = menu;
        const int choice = m_choices.value(std::min<int>(shown, m_choices.size() - 1), -1);
        entries.clear();
        for (QAction* a : menu->actions()) {
            entries << a->text();
            if (shown == 0 && a->isEnabled())
                enabledEntries << a->text();
        }
        ++shown;
        // Answered after this tick returns: a chosen entry may open the next menu, and a timer does
        // not fire again while its own handler runs.
        QMetaObject::invokeMethod(
            menu,
            [menu, choice] {
                if (choice < 0 || choice >= menu->actions().size()) {
                    QTest::keyClick(menu, Qt::Key_Escape);
                    return;
                }
                menu->setActiveAction(menu->actions().at(choice));
                QTest::keyClick(menu, Qt::Key_Return);
            },
            Qt::QueuedConnection);
    }

    QList<int> m_choices;
    QPointer<QMenu> m_answered;
    QTimer m_timer;
};

} // namespace fixtures
