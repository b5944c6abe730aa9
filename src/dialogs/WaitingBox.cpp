#include "dialogs/WaitingBox.h"

#include <QAbstractButton>

#include <utility>

namespace {

QMessageBox* makeBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                     QMessageBox::StandardButtons buttons)
{
    auto* box = new QMessageBox(icon, title, text, buttons, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // As the statics' boxes: nothing else of the program takes input until it is answered.
    box->setWindowModality(Qt::ApplicationModal);
    return box;
}

} // namespace

QMessageBox* showWaitingBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)
{
    QMessageBox* box = makeBox(parent, icon, title, text, QMessageBox::Ok);
    box->show();
    return box;
}

QMessageBox* askWaitingBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                           QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton,
                           QObject* context, std::function<void(QMessageBox::StandardButton)> answered)
{
    QMessageBox* box = makeBox(parent, icon, title, text, buttons);
    box->setDefaultButton(defaultButton);
    QObject::connect(box, &QMessageBox::finished, context ? context : box,
                     [box, answered = std::move(answered)] {
                         QAbstractButton* clicked = box->clickedButton();
                         QMessageBox::StandardButton button =
                             clicked ? box->standardButton(clicked) : QMessageBox::NoButton;
                         if (button == QMessageBox::NoButton && box->escapeButton())
                             button = box->standardButton(box->escapeButton());
                         answered(button);
                     });
    box->show();
    return box;
}
