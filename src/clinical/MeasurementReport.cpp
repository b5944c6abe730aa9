#include "clinical/MeasurementReport.h"

#include "platform/FreeNameWrite.h"

#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

MeasurementReportDialog createMeasurementReportDialog(QWidget* parent, const QString& title, int maxWidth,
                                                      int maxHeight, std::function<void()> onExport)
{
    MeasurementReportDialog parts;
    parts.dialog = new QDialog(parent);
    parts.dialog->setWindowTitle(title);
    QSize available(1280, 900);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        available = screen->availableSize();
    parts.dialog->resize(std::min(available.width() - 80, maxWidth),
                         std::min(available.height() - 80, maxHeight));
    auto* layout = new QVBoxLayout(parts.dialog);
    auto* scroll = new QScrollArea(parts.dialog);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    parts.label = new QLabel(scroll);
    parts.label->setWordWrap(true);
    parts.label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    parts.label->setTextFormat(Qt::RichText);
    parts.label->setContentsMargins(10, 10, 10, 10);
    parts.label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    scroll->setWidget(parts.label);
    layout->addWidget(scroll, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* exportButton = new QPushButton(QStringLiteral("Экспорт (PNG)"), parts.dialog);
    QObject::connect(exportButton, &QPushButton::clicked, parts.dialog, [onExport = std::move(onExport)] {
        if (onExport)
            onExport();
    });
    buttons->addWidget(exportButton);
    layout->addLayout(buttons);
    return parts;
}

void showMeasurementReport(const MeasurementReportDialog& parts, const QString& html)
{
    if (!parts.dialog || !parts.label)
        return;
    parts.label->setText(html);
    parts.dialog->show();
    parts.dialog->raise();
    parts.dialog->activateWindow();
}

QString measurementReportFileName(const QString& prefix, const QString& title, const QDateTime& when)
{
    static const QRegularExpression outside(QStringLiteral("[^A-Za-zА-Яа-я0-9_-]+"));
    QString safeTitle = title;
    safeTitle.replace(outside, QStringLiteral("_"));
    return QStringLiteral("%1_%2_%3.png")
        .arg(prefix, safeTitle, when.toString(QStringLiteral("yyyyMMdd_HHmmss")));
}

void exportMeasurementReportPng(QWidget* parent, QLabel* label, const QString& caption, const QString& prefix,
                                const QString& title)
{
    if (!label)
        return;
    const QPixmap pixmap = label->grab();
    if (pixmap.isNull())
        return;
    const QString defaultName = measurementReportFileName(prefix, title, QDateTime::currentDateTime());
    const QString fileName =
        QFileDialog::getSaveFileName(parent, caption, defaultName, QStringLiteral("PNG изображение (*.png)"));
    if (fileName.isEmpty())
        return;
    QString why;
    if (!platform::writeImageOverChosenFile(fileName, pixmap.toImage(), "PNG", &why))
        QMessageBox::warning(
            parent, QStringLiteral("Экспорт"),
            QStringLiteral("Не удалось сохранить файл %1: %2").arg(QDir::toNativeSeparators(fileName), why));
}
