#include <QApplication>
#include <QLabel>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VavovIvirur"));
    QApplication::setOrganizationName(QStringLiteral("Brisvane"));
    QApplication::setApplicationDisplayName(QStringLiteral("Kalvenor"));
    QLabel label(QStringLiteral("Kalvenor"));
    label.show();
    return app.exec();
}
