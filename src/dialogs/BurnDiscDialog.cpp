#include "dialogs/BurnDiscDialog.h"
#include "dialogs/DiscBurnWorker.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

namespace {

const QString BurnTitle = QStringLiteral("Запись на диск");

std::optional<disc::RecorderInfo> findRecorder(const QString& id)
{
    for (const disc::RecorderInfo& info : disc::enumerateRecorders(nullptr))
        if (info.id == id)
            return info;
    return std::nullopt;
}

} // namespace

BurnDiscDialog::BurnDiscDialog(qint64 studyBytes, qint64 viewerBytes, qint64 macViewerBytes, qint64 windowsViewerBytes,
                               const QString& defaultLabel, QWidget* parent)
    : QDialog(parent)
    , studyBytes(studyBytes)
    , viewerBytes(viewerBytes)
    , macViewerBytes(macViewerBytes)
    , windowsViewerBytes(windowsViewerBytes)
    , proposedLabel(defaultLabel.left(32))
{
    setWindowTitle(QStringLiteral("Запись на CD/DVD"));
    resize(460, height());
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(
        QStringLiteral("Исследование будет записано на диск вместе со встроенным портативным просмотрщиком — "
                       "вставленный диск можно будет сразу просматривать на любом компьютере с Windows, без установки "
                       "Kalvenor."),
        this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto* form = new QFormLayout;
    labelEdit = new QLineEdit(proposedLabel, this);
    labelEdit->setObjectName(QStringLiteral("labelEdit"));
    labelEdit->setMaxLength(32);
    labelEdit->setToolTip(QStringLiteral("Метка тома диска — до 32 символов (ограничение формата ISO9660)."));
    form->addRow(QStringLiteral("Название/метка диска:"), labelEdit);
    auto* driveRow = new QHBoxLayout;
    driveCombo = new QComboBox(this);
    driveCombo->setObjectName(QStringLiteral("driveCombo"));
    refreshButton = new QPushButton(QStringLiteral("Обновить"), this);
    refreshButton->setObjectName(QStringLiteral("refreshButton"));
    refreshButton->setToolTip(
        QStringLiteral("Обновить список приводов и состояние носителя (например, после того как вставили диск)."));
    connect(refreshButton, &QPushButton::clicked, this, &BurnDiscDialog::refreshDrives);
    driveRow->addWidget(driveCombo, 1);
    driveRow->addWidget(refreshButton);
    form->addRow(QStringLiteral("Привод:"), driveRow);
    layout->addLayout(form);

    sizeLabel = new QLabel(this);
    sizeLabel->setObjectName(QStringLiteral("sizeLabel"));
    sizeLabel->setStyleSheet(QStringLiteral("color: #999;"));
    layout->addWidget(sizeLabel);
    statusLabel = new QLabel(this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setWordWrap(true);
    layout->addWidget(statusLabel);

    auto addBox = [&](const char* name, const QString& text, bool on, const QString& tip) {
        auto* box = new QCheckBox(text, this);
        box->setObjectName(QLatin1String(name));
        box->setChecked(on);
        if (!tip.isEmpty())
            box->setToolTip(tip);
        layout->addWidget(box);
        return box;
    };
    anonymizeBox =
        addBox("anonymizeBox", QStringLiteral("Анонимизировать снимки (удалить ФИО/ID пациента из DICOM-тегов)"), false, {});
    // The proposed label is made from the patient's name and ID: an anonymised disc gets a neutral one.
    // A label the user typed stays as typed.
    connect(anonymizeBox, &QCheckBox::toggled, this, [this](bool on) {
        const QString from = on ? proposedLabel : anonymousVolumeLabel();
        if (labelEdit->text() == from)
            labelEdit->setText(on ? anonymousVolumeLabel() : proposedLabel);
    });
    compressBox = addBox(
        "compressBox", QStringLiteral("Сжимать снимки без потери качества (JPEG-LS Lossless)"), true,
        QStringLiteral("Пересжимает пиксельные данные без единой потери качества (не то же самое, что обычный JPEG!) — "
                       "обычно уменьшает размер в 2-3 раза на типичных КТ/МРТ. \"Требуется места\" ниже пересчитывается "
                       "по ОЦЕНОЧНОМУ коэффициенту ~2× — точный размер заранее неизвестен, т.к. зависит от содержимого "
                       "конкретных снимков, реальный результат после записи может отличаться."));
    connect(compressBox, &QCheckBox::toggled, this, &BurnDiscDialog::updateSizeAndStatus);
    ejectBox = addBox("ejectBox", QStringLiteral("Извлечь диск после завершения записи"), true, {});
    deleteTempBox = addBox("deleteTempBox", QStringLiteral("Удалить временные файлы после записи"), true, {});
    autorunBox = addBox(
        "autorunBox", QStringLiteral("Автозапуск просмотрщика при установке диска (autorun.inf)"), true,
        QStringLiteral("Windows AutoPlay предложит запустить просмотрщик, когда диск вставят в привод. Начиная с "
                       "Windows 7 система из соображений безопасности НЕ запускает программы автоматически без "
                       "подтверждения пользователя — это ограничение самой ОС, не Kalvenor: пользователю нужно будет "
                       "нажать один раз в окне AutoPlay (или же просто открыть диск и запустить exe-файл вручную, если "
                       "AutoPlay отключён)."));
    if (macViewerBytes > 0) {
        macViewerBox = addBox(
            "macViewerBox", QStringLiteral("Включить также просмотрщик для macOS (+%1)").arg(formatSize(macViewerBytes)),
            true,
            QStringLiteral("Диск сможет открыться и на Mac (найден готовый Kalvenor.app), но станет больше и будет "
                           "писаться дольше — выключите, если диск нужен только для Windows."));
        connect(macViewerBox, &QCheckBox::toggled, this, &BurnDiscDialog::updateSizeAndStatus);
    }
    if (windowsViewerBytes > 0) {
        windowsViewerBox = addBox(
            "windowsViewerBox",
            QStringLiteral("Включить также просмотрщик для Windows (+%1)").arg(formatSize(windowsViewerBytes)), true,
            QStringLiteral("Диск сможет открыться и на Windows (найден готовый портативный набор), но станет больше и "
                           "будет писаться дольше — выключите, если диск нужен только для Mac."));
        connect(windowsViewerBox, &QCheckBox::toggled, this, &BurnDiscDialog::updateSizeAndStatus);
    }
    connect(driveCombo, &QComboBox::currentIndexChanged, this, &BurnDiscDialog::updateSizeAndStatus);

    buttonBox = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    QPushButton* burn = buttonBox->addButton(QStringLiteral("Записать"), QDialogButtonBox::AcceptRole);
    burn->setObjectName(QStringLiteral("burnButton"));
    // Only the checks accept: the button box's own accepted signal stays unconnected.
    connect(burn, &QPushButton::clicked, this, &BurnDiscDialog::onBurnClicked);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttonBox);

    refreshDrives();
}

bool BurnDiscDialog::anonymize() const { return anonymizeBox->isChecked(); }
bool BurnDiscDialog::compressLossless() const { return compressBox->isChecked(); }
bool BurnDiscDialog::deleteTempFiles() const { return deleteTempBox->isChecked(); }
bool BurnDiscDialog::ejectWhenDone() const { return ejectBox->isChecked(); }
bool BurnDiscDialog::addAutorun() const { return autorunBox->isChecked(); }
bool BurnDiscDialog::includeMacViewer() const { return macViewerBox && macViewerBox->isChecked(); }
bool BurnDiscDialog::includeWindowsViewer() const { return windowsViewerBox && windowsViewerBox->isChecked(); }
QString BurnDiscDialog::volumeLabel() const { return labelEdit->text().trimmed(); }

QString BurnDiscDialog::selectedRecorderId() const
{
    if (!driveCombo->isEnabled() || driveCombo->currentIndex() < 0)
        return {};
    return driveCombo->currentData().toString();
}

QString BurnDiscDialog::formatSize(qint64 bytes)
{
    if (bytes <= 0)
        return QStringLiteral("0 МБ");
    const double m = double(bytes) / 1048576.0;
    if (m < 1024)
        return QStringLiteral("%1 МБ").arg(m, 0, 'f', 1);
    return QStringLiteral("%1 ГБ").arg(m / 1024.0, 0, 'f', 2);
}

QString BurnDiscDialog::anonymousVolumeLabel()
{
    return QStringLiteral("ANONYMOUS");
}

qint64 BurnDiscDialog::requiredBytes() const
{
    const qint64 study = compressBox->isChecked() ? qint64(double(studyBytes) * 0.5) : studyBytes;
    qint64 total = study + viewerBytes;
    // The macOS viewer carries its own copy of the study's images inside the bundle.
    if (includeMacViewer())
        total += macViewerBytes + study;
    if (includeWindowsViewer())
        total += windowsViewerBytes;
    return total;
}

void BurnDiscDialog::refreshDrives()
{
    const QString previous = selectedRecorderId();
    QString error;
    const QList<disc::RecorderInfo> list = disc::enumerateRecorders(&error);
    {
        // Filling the combo would run the status check once per item.
        const QSignalBlocker block(driveCombo);
        driveCombo->clear();
        for (const disc::RecorderInfo& info : list) {
            const QString state = !info.hasMedia  ? QStringLiteral("нет диска")
                                  : info.mediaBlank ? QStringLiteral("чистый диск")
                                                    : QStringLiteral("диск не пустой");
            driveCombo->addItem(QStringLiteral("%1 (%2)").arg(info.label, state), info.id);
        }
        if (list.isEmpty()) {
            driveCombo->setEnabled(false);
            statusLabel->setText(error.isEmpty() ? QStringLiteral("Оптический привод не найден.") : error);
            statusLabel->setStyleSheet(QStringLiteral("color: #e05252;"));
        } else {
            driveCombo->setEnabled(true);
            const int keep = previous.isEmpty() ? -1 : driveCombo->findData(previous, Qt::UserRole, Qt::MatchExactly);
            if (keep >= 0)
                driveCombo->setCurrentIndex(keep);
        }
    }
    updateSizeAndStatus();
}

void BurnDiscDialog::updateSizeAndStatus()
{
    const auto fit = qScopeGuard([this] { fitHeightToText(); });
    const qint64 r = requiredBytes();
    sizeLabel->setText(compressBox->isChecked()
                           ? QStringLiteral("Требуется места: ~%1 (оценочно, со сжатием)").arg(formatSize(r))
                           : QStringLiteral("Требуется места: %1").arg(formatSize(r)));
    if (driveCombo->currentIndex() < 0) {
        if (driveCombo->isEnabled())
            statusLabel->clear();
        return;
    }
    const std::optional<disc::RecorderInfo> info = findRecorder(driveCombo->currentData().toString());
    if (!info)
        return;
    QString text;
    QString style;
    if (!info->hasMedia) {
        text = QStringLiteral("В приводе нет диска — вставьте чистый CD/DVD и нажмите \"Обновить\".");
        style = QStringLiteral("color: #e0a020;");
    } else if (!info->mediaBlank) {
        text = QStringLiteral("Диск в приводе не пустой. Запись поддерживает только чистые диски — вставьте новый CD/DVD.");
        style = QStringLiteral("color: #e05252;");
    } else if (info->freeBytes < 1) {
        text = QStringLiteral("Готово к записи. Свободное место на диске заранее не определяется на этой платформе — "
                              "запись сама покажет ошибку, если места не хватит.");
        style = QStringLiteral("color: #9aa0a6;");
    } else if (r <= info->freeBytes) {
        text = QStringLiteral("Готово к записи. Свободно на диске: %1.").arg(formatSize(info->freeBytes));
        style = QStringLiteral("color: #4caf6a;");
    } else {
        text = QStringLiteral("На диске недостаточно места: свободно %1, требуется %2. Используйте DVD вместо CD.")
                   .arg(formatSize(info->freeBytes), formatSize(r));
        style = QStringLiteral("color: #e05252;");
    }
    statusLabel->setText(text);
    statusLabel->setStyleSheet(style);
}

// A window's minimum height does not follow what its word-wrapped texts need at the width it has, and
// with less they are cut at the top and the bottom: the height is taken from the layout at that width,
// again whenever the status line changes.
void BurnDiscDialog::fitHeightToText()
{
    QLayout* box = layout();
    box->activate();
    const int w = std::max(width(), minimumWidth());
    const int needed = box->totalHeightForWidth(w);
    setMinimumHeight(needed);
    if (height() < needed)
        resize(w, needed);
}

void BurnDiscDialog::onBurnClicked()
{
    auto refuse = [this](const QString& text) { QMessageBox::warning(this, BurnTitle, text, QMessageBox::Ok); };
    if (volumeLabel().isEmpty())
        return refuse(QStringLiteral("Укажите название/метку диска."));
    const QString id = selectedRecorderId();
    if (id.isEmpty())
        return refuse(QStringLiteral("Выберите привод для записи."));
    const std::optional<disc::RecorderInfo> info = findRecorder(id);
    if (!info || !info->hasMedia)
        return refuse(QStringLiteral("В выбранном приводе нет диска."));
    if (!info->mediaBlank)
        return refuse(QStringLiteral(
            "Диск в приводе не пустой — эта функция поддерживает только чистые диски. Вставьте новый CD/DVD."));
    const qint64 required = requiredBytes();
    if (info->freeBytes >= 1 && required > info->freeBytes)
        return refuse(QStringLiteral("На диске недостаточно места (свободно %1, требуется %2). Используйте диск большей "
                                     "ёмкости.")
                          .arg(formatSize(info->freeBytes), formatSize(required)));
    accept();
}
