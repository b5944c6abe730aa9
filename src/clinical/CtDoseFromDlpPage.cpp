#include "clinical/CtDoseFromDlpPage.h"

#include "clinical/CalculatorPageKit.h"
#include "clinical/CtDoseFormulas.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DoseReaders.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CtDoseFromDlpPage::CtDoseFromDlpPage(db::Database* database, const QString& uid, QWidget* parent)
    : QWidget(parent)
    , db(database)
    , studyUid(uid)
{
    auto* layout = new QVBoxLayout(this);
    auto* header = new QLabel(
        QStringLiteral("<b>Эффективная доза КТ по Total DLP</b><br>E = Edlp × DLP. Total DLP (мГр·см) — берётся с "
                       "дозового отчёта аппарата (итоговое значение по всему исследованию, суммарно по всем "
                       "сериям/фазам), либо автоматически — из уже импортированного в исследование DICOM SR-объекта "
                       "(Radiation Dose Structured Report), если он есть. Коэффициенты Edlp — по МУ 2.6.1.3584-19 "
                       "(используется для журнала учёта доз пациентов)."),
        this);
    header->setWordWrap(true);
    header->setTextFormat(Qt::RichText);
    layout->addWidget(header);

    if (db && !studyUid.isEmpty()) {
        auto* row = new QHBoxLayout;
        auto* scanButton = new QPushButton(QStringLiteral("Найти Total DLP в этом исследовании"), this);
        connect(scanButton, &QPushButton::clicked, this, &CtDoseFromDlpPage::scanStudy);
        row->addWidget(scanButton);
        scanStatus = new QLabel(this);
        scanStatus->setWordWrap(true);
        scanStatus->setStyleSheet(QStringLiteral("color: #888;"));
        row->addWidget(scanStatus, 1);
        layout->addLayout(row);
    }

    auto* form = new QFormLayout;
    dlp = makeSpinBox(0, 100000, 500, " мГр·см");
    dlp->setDecimals(2);
    dlp->setValue(500);
    form->addRow(QStringLiteral("Total DLP:"), dlp);
    phantom = new QComboBox(this);
    phantom->addItem(QStringLiteral("16 см (голова/шея)"), 0);
    phantom->addItem(QStringLiteral("32 см (тело)"), 1);
    form->addRow(QStringLiteral("Референсный фантом:"), phantom);
    region = new QComboBox(this);
    form->addRow(QStringLiteral("Область сканирования:"), region);
    ageGroup = new QComboBox(this);
    const QStringList ages{QStringLiteral("0 – 6 мес."), QStringLiteral("6 мес. – 2 года"), QStringLiteral("2 – 7 лет"),
                           QStringLiteral("7 – 12 лет"), QStringLiteral("12 – 17 лет"), QStringLiteral("Взрослые")};
    for (int i = 0; i < ages.size(); ++i)
        ageGroup->addItem(ages.at(i), i);
    ageGroup->setCurrentIndex(5);
    form->addRow(QStringLiteral("Возрастная группа:"), ageGroup);
    layout->addLayout(form);

    refreshRegions();
    connect(phantom, &QComboBox::currentIndexChanged, this, &CtDoseFromDlpPage::refreshRegions);

    auto* calculateButton = new QPushButton(QStringLiteral("Рассчитать"), this);
    connect(calculateButton, &QPushButton::clicked, this, &CtDoseFromDlpPage::calculate);
    layout->addWidget(calculateButton);
    result = new CalculatorResultPanel(this);
    layout->addWidget(result, 1);
}

void CtDoseFromDlpPage::refreshRegions()
{
    region->clear();
    for (int index : clinical::regionsWithKFactors(phantom->currentData().toInt()))
        region->addItem(clinical::bodyRegionName(index), index);
    region->setCurrentIndex(0);
}

void CtDoseFromDlpPage::calculate()
{
    const int p = phantom->currentData().toInt();
    const int r = region->currentData().toInt();
    const int a = ageGroup->currentData().toInt();
    const double value = dlp->value();
    const std::optional<double> dose = clinical::effectiveDoseFromDlp(value, p, r, a);
    if (!dose) {
        result->setResult(
            QStringLiteral("⚠️ Для комбинации \"%1\" + фантом \"%2\" + \"%3\" коэффициент Edlp в МУ 2.6.1.3584-19 не "
                           "определён (на практике эта комбинация не встречается — например, взрослых не сканируют с "
                           "расчётом по головному фантому для тела). Попробуйте другой фантом.")
                .arg(region->currentText(), phantom->currentText(), ageGroup->currentText()));
        return;
    }
    const double k = clinical::doseKFactor(p, r, a).value_or(0.0);
    result->setResult(
        QStringLiteral("☢️ Эффективная доза КТ:\n• Total DLP: %1 мГр·см\n• Область: %2 (фантом %3)\n• Возрастная группа: "
                       "%4\n• Edlp: %5 мЗв/(мГр·см)\n• 👉 Эффективная доза: %6 мЗв\n• %7\n\nℹ️ E = Edlp × DLP, "
                       "коэффициенты — МУ 2.6.1.3584-19\nℹ️ Расчётная оценка — не заменяет данные из дозового отчёта "
                       "аппарата, если он указывает эффективную дозу напрямую")
            .arg(value, 0, 'f', 2)
            .arg(region->currentText(), phantom->currentText(), ageGroup->currentText())
            .arg(k, 0, 'f', 5)
            .arg(*dose, 0, 'f', 3)
            .arg(clinical::backgroundDoseText(*dose)));
}

QString CtDoseFromDlpPage::doseSummaryLine(double dlpValue) const
{
    const std::optional<double> dose =
        clinical::effectiveDoseFromDlp(dlpValue, phantom->currentData().toInt(), region->currentData().toInt(),
                                       ageGroup->currentData().toInt());
    if (!dose)
        return QStringLiteral("(эффективную дозу в мЗв для текущего выбора области/фантома/возраста посчитать нельзя — "
                              "коэффициент не определён, см. ниже)");
    return QStringLiteral("👉 Эффективная доза: ≈ %1 мЗв (для \"%2\", фантом %3, %4)")
        .arg(*dose, 0, 'f', 2)
        .arg(region->currentText(), phantom->currentText(), ageGroup->currentText());
}

void CtDoseFromDlpPage::selectPhantomAndRegion(int phantomIndex, int regionIndex)
{
    const int p = phantom->findData(phantomIndex);
    if (p >= 0)
        phantom->setCurrentIndex(p);
    const int r = region->findData(regionIndex);
    if (r >= 0)
        region->setCurrentIndex(r);
}

void CtDoseFromDlpPage::scanStudy()
{
    if (!db || !scanStatus)
        return;

    const std::optional<db::StudyRecord> study = db->studyRecord(studyUid);
    const QString studyDescription = study ? study->studyDescription : QString();

    const QList<db::SeriesRecord> seriesList = db->seriesForStudy(studyUid);
    std::optional<double> reportDlp;
    int filesRead = 0;
    int srSeries = 0;
    for (const db::SeriesRecord& series : seriesList) {
        if (series.modality != QLatin1String("SR"))
            continue;
        for (const db::InstanceRecord& instance : db->instancesForSeries(series.seriesInstanceUid)) {
            reportDlp = dicom::readDoseReportDlp(instance.filePath, instance.object());
            if (reportDlp)
                break;
            ++filesRead;
        }
        if (reportDlp)
            break;
        ++srSeries;
    }

    if (reportDlp) {
        dlp->setValue(*reportDlp);
        for (const db::SeriesRecord& series : seriesList) {
            if (series.modality != QLatin1String("CT"))
                continue;
            const QList<db::InstanceRecord> instances = db->instancesForSeries(series.seriesInstanceUid);
            const QString protocol = instances.isEmpty()
                ? QString()
                : dicom::readProtocolName(instances.first().filePath, instances.first().object());
            const clinical::BodyRegionGuess g = clinical::detectBodyRegion(series.bodyPartExamined, protocol,
                                                                           series.seriesDescription, studyDescription);
            if (g.found)
                selectPhantomAndRegion(g.phantom, g.region);
            break;
        }
        scanStatus->setStyleSheet(QStringLiteral("color: #6c6;"));
        scanStatus->setText(
            QStringLiteral("✅ Найден точный Total DLP = %1 мГр·см — поле ниже заполнено автоматически (разбивки по зонам "
                           "для точного SR-итога нет, область ниже подобрана автоматически по первой КТ-серии — "
                           "проверьте, что она верна).\n%2")
                .arg(*reportDlp, 0, 'f', 2)
                .arg(doseSummaryLine(*reportDlp)));
        return;
    }

    int ctSeries = 0;
    int singleFrame = 0;
    int unrecognised = 0;
    double totalDlp = 0.0;
    double unrecognisedDlp = 0.0;
    QHash<int, DoseZone> zones;
    QList<clinical::CountedDoseSeries> counted;
    for (const db::SeriesRecord& series : seriesList) {
        if (series.modality != QLatin1String("CT"))
            continue;
        const QList<db::InstanceRecord> instances = db->instancesForSeries(series.seriesInstanceUid);
        if (instances.size() < 2) {
            ++singleFrame;
            continue;
        }
        const QString firstPath = instances.first().filePath;
        const dicom::RowObject firstObject = instances.first().object();
        const std::optional<double> ctdi = dicom::readCtdiVol(firstPath, firstObject);
        if (!ctdi)
            continue;
        const double seriesDlp = clinical::scannedLengthMm(instances) / 10.0 * *ctdi;
        totalDlp += seriesDlp;
        ++ctSeries;

        const QString label = series.seriesDescription.isEmpty()
                                  ? QStringLiteral("Серия %1").arg(series.seriesNumber)
                                  : series.seriesDescription;
        // Thin and thick reconstructions of one scan each carry its CTDIvol; where they lie tells them apart.
        std::optional<dicom::DicomFileSummary> summary = dicom::readFileSummary(firstPath);
        if (summary && summary->sopInstanceUid != firstObject.sopInstanceUid)
            summary.reset(); // another disc's image under the row's name by now
        const std::optional<clinical::TableExtent> extent =
            clinical::tableExtentMm(instances, summary ? summary->rows : 0, summary ? summary->columns : 0);
        counted.append({label, instances.first().frameOfReferenceUid, extent});
        const QString protocol = dicom::readProtocolName(firstPath, firstObject);
        clinical::BodyRegionGuess g = clinical::detectBodyRegion(series.bodyPartExamined, protocol,
                                                                 series.seriesDescription, studyDescription);
        const bool headType = g.found && g.phantom == 0;
        // The phantom the scanner itself reports outranks a guess from the texts.
        const std::optional<bool> reportedHead = dicom::readCtdiPhantomType(firstPath, firstObject);
        if (reportedHead && *reportedHead && !headType)
            g = clinical::BodyRegionGuess{0, 0, true};
        else if (reportedHead && !*reportedHead && headType)
            g.found = false;

        if (!g.found) {
            ++unrecognised;
            unrecognisedDlp += seriesDlp;
            continue;
        }
        DoseZone& zone = zones[g.region];
        zone.phantom = g.phantom;
        zone.dlpMGyCm += seriesDlp;
        zone.seriesLabels.append(QStringLiteral("%1 (%2 мГр·см)").arg(label, QString::number(seriesDlp, 'f', 1)));
    }

    scanStatus->setStyleSheet(ctSeries >= 1 ? QStringLiteral("color: #cc6;") : QStringLiteral("color: #d88;"));
    if (ctSeries == 0) {
        if (srSeries == 0)
            scanStatus->setText(QStringLiteral(
                "⚠️ В этом исследовании не найдено ни SR-объекта с дозой, ни серий с тегом CTDIvol (0018,9345). Введите "
                "Total DLP вручную с дозового отчёта аппарата (если он сохранён картинкой — прочитайте значение "
                "непосредственно с неё)."));
        else
            scanStatus->setText(QStringLiteral("⚠️ Найдено SR-объектов: %1 (проверено файлов: %2), но пункт \"Total DLP\" в "
                                               "них не обнаружен, и ни в одной серии нет тега CTDIvol для оценки. "
                                               "Введите Total DLP вручную.")
                                    .arg(srSeries)
                                    .arg(filesRead));
        return;
    }

    dlp->setValue(totalDlp);
    const int age = ageGroup->currentData().toInt();
    QStringList lines;
    double sumDose = 0.0;
    bool someUndefined = false;
    double bestDlp = -1.0;
    int dominantRegion = -1;
    for (auto it = zones.cbegin(); it != zones.cend(); ++it) {
        const DoseZone& zone = it.value();
        const std::optional<double> d = clinical::effectiveDoseFromDlp(zone.dlpMGyCm, zone.phantom, it.key(), age);
        const QString joined = zone.seriesLabels.join(QStringLiteral(", "));
        if (!d) {
            lines << QStringLiteral("%1: %2 мГр·см → мЗв не определён для этой возрастной группы [%3]")
                         .arg(clinical::bodyRegionName(it.key()), QString::number(zone.dlpMGyCm, 'f', 1), joined);
            someUndefined = true;
        } else {
            sumDose += *d;
            // One pass of arg, so that a series description holding "%n" is not taken for a placeholder.
            lines << QStringLiteral("%1: %2 мГр·см → ≈ %3 мЗв [%4]")
                         .arg(clinical::bodyRegionName(it.key()), QString::number(zone.dlpMGyCm, 'f', 1),
                              QString::number(*d, 'f', 2), joined);
        }
        if (zone.dlpMGyCm > bestDlp) {
            bestDlp = zone.dlpMGyCm;
            dominantRegion = it.key();
        }
    }
    if (dominantRegion >= 0)
        selectPhantomAndRegion(zones.value(dominantRegion).phantom, dominantRegion);

    QString notes;
    if (singleFrame > 0)
        notes += QStringLiteral(" Однокадровых серий не учтено (скауты и т.п.): %1.").arg(singleFrame);
    if (unrecognised >= 1)
        notes += QStringLiteral(" Область не распознана у %1 серии(й) (суммарно %2 мГр·см — учтены в Total DLP выше, но НЕ "
                                "в разбивке по зонам/итоговой дозе в мЗв).")
                     .arg(unrecognised)
                     .arg(unrecognisedDlp, 0, 'f', 1);
    const QString warning =
        someUndefined ? QStringLiteral(" ⚠️ Для части зон коэффициент Edlp не определён — их доза не вошла в общую сумму в "
                                       "мЗв ниже.")
                      : QString();
    QString repeats;
    for (const QStringList& group : clinical::likelyReconstructionGroups(counted))
        repeats += QLatin1Char('\n') + clinical::reconstructionGroupWarning(group);
    scanStatus->setText(
        QStringLiteral("🟡 Точного SR-объекта с дозой не найдено — ОЦЕНКА по CTDIvol × протяжённости скана, суммарно по "
                       "%1 сериям: %2 мГр·см.%3%4%8\n\nПо зонам:\n%5\n\n👉 Суммарная эффективная доза по "
                       "всему исследованию: ≈ %6 мЗв\n%7")
            .arg(QString::number(ctSeries), QString::number(totalDlp, 'f', 1), notes, warning,
                 lines.join(QLatin1Char('\n')), QString::number(sumDose, 'f', 2),
                 clinical::backgroundDoseText(sumDose), repeats));
}
