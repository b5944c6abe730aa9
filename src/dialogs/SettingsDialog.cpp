#include "dialogs/SettingsDialog.h"

#include "dialogs/SettingsWriteCheck.h"
#include "db/CleanupSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

constexpr qint64 kMebibyte = 1048576;
constexpr qint64 kGibibyte = 1073741824;

} // namespace

SettingsDialog::SettingsDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Настройки"));
    resize(480, 340);

    auto* layout = new QVBoxLayout(this);
    auto* group = new QGroupBox(QStringLiteral("Автоочистка локальной базы"), this);
    auto* groupLayout = new QVBoxLayout(group);

    auto* ageRow = new QHBoxLayout;
    ageCheck = new QCheckBox(QStringLiteral("Удалять исследования старше"), group);
    ageCheck->setObjectName(QStringLiteral("ageCheck"));
    ageSpin = new QSpinBox(group);
    ageSpin->setObjectName(QStringLiteral("ageSpin"));
    ageSpin->setRange(1, 3650);
    ageSpin->setSuffix(QStringLiteral(" дн."));
    ageRow->addWidget(ageCheck);
    ageRow->addWidget(ageSpin);
    ageRow->addStretch();
    groupLayout->addLayout(ageRow);

    auto* sizeRow = new QHBoxLayout;
    sizeCheck = new QCheckBox(QStringLiteral("Не превышать размер"), group);
    sizeCheck->setObjectName(QStringLiteral("sizeCheck"));
    sizeSpin = new QDoubleSpinBox(group);
    sizeSpin->setObjectName(QStringLiteral("sizeSpin"));
    sizeSpin->setRange(0.1, 100000);
    sizeSpin->setDecimals(1);
    unitCombo = new QComboBox(group);
    unitCombo->setObjectName(QStringLiteral("unitCombo"));
    unitCombo->addItems({QStringLiteral("МБ"), QStringLiteral("ГБ")});
    sizeRow->addWidget(sizeCheck);
    sizeRow->addWidget(sizeSpin);
    sizeRow->addWidget(unitCombo);
    sizeRow->addStretch();
    groupLayout->addLayout(sizeRow);

    auto* note = new QLabel(QStringLiteral(
        "Автоочистка запускается при каждом старте программы, удаляет самые старые исследования (по дате "
        "исследования) — сначала запись в базе, и заодно файлы, если они лежат в управляемом хранилище "
        "приложения (импортированы через ZIP или скачаны с PACS — для обычного \"Импорт папки…\" удаляется "
        "только запись, файлы не трогаются). Исследования с включённой защитой от удаления (правый клик в "
        "списке → \"Защитить от удаления\") автоочистка не трогает никогда."), group);
    note->setWordWrap(true);
    note->setStyleSheet(QStringLiteral("color: #999; font-size: 11px;"));
    groupLayout->addWidget(note);

    layout->addWidget(group);
    layout->addStretch();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);

    connect(ageCheck, &QCheckBox::toggled, ageSpin, &QWidget::setEnabled);
    connect(sizeCheck, &QCheckBox::toggled, sizeSpin, &QWidget::setEnabled);
    connect(sizeCheck, &QCheckBox::toggled, unitCombo, &QWidget::setEnabled);
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::onSaveClicked);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    const CleanupSettings stored = loadCleanupSettings();
    ageCheck->setChecked(stored.byAgeEnabled);
    ageSpin->setValue(stored.maxAgeDays);
    ageSpin->setEnabled(stored.byAgeEnabled);
    sizeCheck->setChecked(stored.bySizeEnabled);
    if (stored.maxSizeBytes % kGibibyte == 0) {
        unitCombo->setCurrentIndex(1);
        sizeSpin->setValue(double(stored.maxSizeBytes / kGibibyte));
    } else {
        unitCombo->setCurrentIndex(0);
        sizeSpin->setValue(double(stored.maxSizeBytes) / double(kMebibyte));
    }
    sizeSpin->setEnabled(stored.bySizeEnabled);
    unitCombo->setEnabled(stored.bySizeEnabled);
}

void SettingsDialog::onSaveClicked()
{
    CleanupSettings cleanup;
    cleanup.byAgeEnabled = ageCheck->isChecked();
    cleanup.maxAgeDays = ageSpin->value();
    cleanup.bySizeEnabled = sizeCheck->isChecked();
    const qint64 unit = unitCombo->currentIndex() == 1 ? kGibibyte : kMebibyte;
    cleanup.maxSizeBytes = static_cast<qint64>(sizeSpin->value() * double(unit));
    saveCleanupSettings(cleanup);
    if (!confirmSettingsWritten(this, windowTitle()))
        return;
    accept();
}
