#pragma once
// Boxes that tell the end of a job. A box shown by QMessageBox's statics or exec() runs an event loop
// of its own inside the code that opened it: threads end, deferred deletions and timers run there, so
// the job that emitted its end (and goes on after the emit), or the window that answered it, can be
// deleted or changed under that code before the user presses OK. These boxes wait for the user
// without such a loop: the code that opens one returns at once, and the box, modal to the whole
// program as the statics' boxes are, goes with its parent.

#include <QMessageBox>
#include <QString>

#include <functional>

class QObject;
class QWidget;

// Shows the box and returns it (it deletes itself once closed).
QMessageBox* showWaitingBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text);

// Asks and returns the box, which the caller may close when the question no longer stands; `answered`
// gets the button the user chose (the escape button's when the box was closed otherwise), on the GUI
// thread, once the box has closed and only while `context` lives.
QMessageBox* askWaitingBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                           QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton,
                           QObject* context, std::function<void(QMessageBox::StandardButton)> answered);
