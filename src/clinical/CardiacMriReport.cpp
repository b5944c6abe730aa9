#include "clinical/CardiacMriReport.h"

#include "clinical/CalculatorPageKit.h"

namespace clinical {

namespace {

QString fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QString esc(const QString& text)
{
    return text.toHtmlEscaped();
}

bool anyThrombus(const CardiacExtraMeasurements& e)
{
    return e.thrombusLv || e.thrombusLa || e.thrombusRa || e.thrombusRv;
}

QString rvGeometryParts(const CardiacExtraMeasurements& e)
{
    QStringList parts;
    auto add = [&parts](const char* pattern, double value) {
        if (value > 0.0)
            parts.append(QString::fromUtf8(pattern).arg(fixed(value, 1)));
    };
    add("RVD1 %1 мм", e.rvd1Mm);
    add("RVD2 %1 мм", e.rvd2Mm);
    add("RVOT прокс. %1 мм", e.rvotProximalMm);
    add("RVOT дист. %1 мм", e.rvotDistalMm);
    add("RVWT %1 мм", e.rvWallMm);
    return parts.join(QStringLiteral(", "));
}

// "Полость" is feminine: the grade's short form "уменьшен" / "УВЕЛИЧЕН" takes the feminine ending.
QString cavityGrade(const QString& grade)
{
    return grade.toLower() + QStringLiteral("а");
}

double laIndex(const CardiacReportInput& in)
{
    return safeRatio(in.extra.laVolumeMl, in.bsa);
}

double raIndex(const CardiacReportInput& in)
{
    return safeRatio(in.extra.raVolumeMl, in.bsa);
}

// A graded value as the conclusion prints it: whole, unless the whole number lies on the other side of a
// cut-off than the value its row prints and grades; then with that row's decimal.
template <typename Grade>
QString gradedText(double value, Grade grade)
{
    return grade(shownValue(value, 0)) == grade(shownValue(value, 1)) ? fixed(value, 0) : fixed(value, 1);
}

} // namespace

// Every grade here is taken of the value as printed in its row (shownValue, one decimal): 54.96 % printed
// as 55.0 is graded as 55.0, never as "below 55". The conclusion grades that same value, so a measurement
// never gets two grades, and prints whole numbers except where rounding would cross the cut-off.
QString cardiacMriConclusion(const CardiacReportInput& in)
{
    const LvVolumetryResult& lv = in.lv;
    constexpr int whole = 0;
    constexpr int row = 1;
    const bool female = in.female;
    const auto edvGradeOf = [female](double ml) { return lvEdVolumeGrade(ml, female); };
    const auto esvGradeOf = [female](double ml) { return lvEsVolumeGrade(ml, female); };
    const auto rvEdvGradeOf = [female](double ml) { return rvEdVolumeGrade(ml, female); };
    const auto massGradeOf = [female](double index) { return lvMassIndexGrade(index, female); };
    const auto raGradeOf = [female](double index) { return raVolumeGrade(index, female); };
    const double ef = shownValue(lv.efPercent, row);
    QString text = QStringLiteral("МРТ сердца. ФВ ЛЖ %1%, КДО ЛЖ %2 мл, КСО ЛЖ %3 мл, УО ЛЖ %4 мл. ")
                       .arg(gradedText(lv.efPercent, lvEfGrade), gradedText(lv.edvMl, edvGradeOf),
                            gradedText(lv.esvMl, esvGradeOf), fixed(lv.svMl, whole));
    if (ef >= 55.0)
        text += QStringLiteral("Систолическая функция ЛЖ сохранена. ");
    else
        text += QStringLiteral("Систолическая функция ЛЖ снижена (%1). ").arg(lvEfGrade(ef));
    const QString edvGrade = edvGradeOf(shownValue(lv.edvMl, row));
    if (edvGrade != QStringLiteral("норма"))
        text += QStringLiteral("Полость ЛЖ %1 (КДО). ").arg(cavityGrade(edvGrade));
    if (in.edEpiCount >= 1) {
        if (massGradeOf(shownValue(lv.massIndex, row)) == QStringLiteral("масса ЛЖ норма"))
            text += QStringLiteral("Масса миокарда ЛЖ в пределах нормы (%1 г, LVMI %2 г/м²). ")
                        .arg(fixed(lv.massG, whole), gradedText(lv.massIndex, massGradeOf));
        else
            text += QStringLiteral("Гипертрофия миокарда ЛЖ (масса %1 г, LVMI %2 г/м²). ")
                        .arg(fixed(lv.massG, whole), gradedText(lv.massIndex, massGradeOf));
    }
    if (in.rvPresent) {
        const RvVolumetryResult& rv = in.rv;
        const double rvEf = shownValue(rv.efPercent, row);
        text += QStringLiteral("ФВ ПЖ %1%, КДО ПЖ %2 мл, КСО ПЖ %3 мл. ")
                    .arg(gradedText(rv.efPercent, rvEfGrade), gradedText(rv.edvMl, rvEdvGradeOf),
                         fixed(rv.esvMl, whole));
        if (rvEf >= 45.0)
            text += QStringLiteral("Систолическая функция ПЖ сохранена. ");
        else
            text += QStringLiteral("Систолическая функция ПЖ снижена (%1). ").arg(rvEfGrade(rvEf));
        const QString rvGrade = rvEdvGradeOf(shownValue(rv.edvMl, row));
        if (rvGrade != QStringLiteral("норма"))
            text += QStringLiteral("Полость ПЖ %1 (КДО). ").arg(cavityGrade(rvGrade));
    }
    const CardiacExtraMeasurements& e = in.extra;
    // The conclusion names the atrial volume only through the report's row: it takes that row's grade.
    const double laVolumeShown = shownValue(e.laVolumeMl, row);
    if (e.laVolumeMl > 0.0 && laVolumeGrade(laVolumeShown, in.female) != QStringLiteral("норма"))
        text += QStringLiteral("Дилатация левого предсердия (LAVI %1 мл/м²). ")
                    .arg(fixed(laIndex(in), whole));
    if (e.raVolumeMl > 0.0 && raGradeOf(shownValue(raIndex(in), row)) != QStringLiteral("норма"))
        text += QStringLiteral("Дилатация правого предсердия (RAVI %1 мл/м²). ")
                    .arg(gradedText(raIndex(in), raGradeOf));
    if (e.effusion)
        text += QStringLiteral("Перикардиальный выпот (%1)%2. ")
                    .arg(e.effusionLocation,
                         e.tamponade ? QStringLiteral(", с признаками тампонады") : QString());
    if (anyThrombus(e))
        text += QStringLiteral("Внутриполостной тромб — см. раздел выше. ");
    return text;
}

QString cardiacMriReportHtml(const CardiacReportInput& in)
{
    const LvVolumetryResult& lv = in.lv;
    const RvVolumetryResult& rv = in.rv;
    const CardiacExtraMeasurements& e = in.extra;
    const QString n = QString::number(in.sliceCount);

    QString html =
        QStringLiteral("<b>Контуры ЛЖ размечены:</b> ED эндо %1/%2, ED эпи %3/%2, ES эндо %4/%2<br>")
            .arg(QString::number(in.edEndoCount), n, QString::number(in.edEpiCount),
                 QString::number(in.esEndoCount));
    if (in.rvPresent)
        html += QStringLiteral("<b>Контуры ПЖ размечены:</b> ED эндо %1/%2, ES эндо %3/%2<br>")
                    .arg(QString::number(in.edRvCount), n, QString::number(in.esRvCount));
    html += QStringLiteral("<br>");
    html += QStringLiteral("<b>КДО ЛЖ (EDV):</b> %1 мл (иКДО %2 мл/м²) — %3<br>")
                .arg(fixed(lv.edvMl, 1), fixed(lv.edvIndex, 1),
                     esc(lvEdVolumeGrade(shownValue(lv.edvMl, 1), in.female)));
    html += QStringLiteral("<b>КСО ЛЖ (ESV):</b> %1 мл (иКСО %2 мл/м²) — %3<br>")
                .arg(fixed(lv.esvMl, 1), fixed(lv.esvIndex, 1),
                     esc(lvEsVolumeGrade(shownValue(lv.esvMl, 1), in.female)));
    html += QStringLiteral("<b>УО ЛЖ (SV):</b> %1 мл (иУО %2 мл/м²)<br>")
                .arg(fixed(lv.svMl, 1), fixed(lv.svIndex, 1));
    html += QStringLiteral("<b>ФВ ЛЖ (LVEF):</b> %1% — %2<br><br>")
                .arg(fixed(lv.efPercent, 1), esc(lvEfGrade(shownValue(lv.efPercent, 1))));
    if (in.edEpiCount >= 1) {
        html += QStringLiteral("<b>Масса ЛЖ:</b> %1 г (LVMI %2 г/м²) — %3<br>")
                    .arg(fixed(lv.massG, 1), fixed(lv.massIndex, 1),
                         esc(lvMassIndexGrade(shownValue(lv.massIndex, 1), in.female)));
    } else {
        html +=
            QStringLiteral("<span style='color:#888'>Масса ЛЖ не считается — нет ни одного эпикардиального "
                           "контура на ED.</span><br>");
    }
    // Relative wall thickness comes from the diastolic wall and cavity diameters; the myocardium-to-EDV
    // volume ratio is a different quantity and its cut-offs are not these.
    const double rwt = relativeWallThickness(e.lvpwdMm, e.eddMm);
    if (rwt > 0.0)
        html += QStringLiteral("<b>RWT:</b> %1 — %2<br>")
                    .arg(fixed(rwt, 2), esc(rwtGrade(shownValue(rwt, 2))));
    if (in.rvPresent) {
        html +=
            QStringLiteral("<br><b>КДО ПЖ (RVEDV):</b> %1 мл (иКДО %2 мл/м²) — %3<br>")
                .arg(fixed(rv.edvMl, 1), fixed(rv.edvIndex, 1),
                     esc(rvEdVolumeGrade(shownValue(rv.edvMl, 1), in.female)));
        html += QStringLiteral("<b>КСО ПЖ (RVESV):</b> %1 мл (иКСО %2 мл/м²)<br>")
                    .arg(fixed(rv.esvMl, 1), fixed(rv.esvIndex, 1));
        html += QStringLiteral("<b>УО ПЖ (RVSV):</b> %1 мл (иУО %2 мл/м²)<br>")
                    .arg(fixed(rv.svMl, 1), fixed(rv.svIndex, 1));
        html += QStringLiteral("<b>ФВ ПЖ (RVEF):</b> %1% — %2<br>")
                    .arg(fixed(rv.efPercent, 1), esc(rvEfGrade(shownValue(rv.efPercent, 1))));
    }
    const MmodeLvResult& mm = in.mmode;
    if (mm.valid) {
        html += QStringLiteral("<br><b>Линейные размеры ЛЖ (Cube/Devereux):</b><br>");
        html += QStringLiteral("КДР %1 мм — %2, ")
                    .arg(fixed(e.eddMm, 1), esc(lvEdDiameterGrade(shownValue(e.eddMm, 1), in.female)));
        if (e.esdMm > 0.0)
            html += QStringLiteral("КСР %1 мм — %2, ")
                        .arg(fixed(e.esdMm, 1), esc(lvEsDiameterGrade(shownValue(e.esdMm, 1), in.female)));
        html += QStringLiteral("МЖП-д %1 мм — %2<br>")
                    .arg(fixed(e.ivsdMm, 1), esc(wallThicknessGrade(shownValue(e.ivsdMm, 1))));
        html += QStringLiteral("ЗС-д %1 мм — %2")
                    .arg(fixed(e.lvpwdMm, 1), esc(wallThicknessGrade(shownValue(e.lvpwdMm, 1))));
        if (e.ivssMm > 0.0)
            html += QStringLiteral(", МЖП-с %1 мм").arg(fixed(e.ivssMm, 1));
        if (e.lvpwsMm > 0.0)
            html += QStringLiteral(", ЗС-с %1 мм").arg(fixed(e.lvpwsMm, 1));
        html += QStringLiteral("<br>");
        if (mm.fractionalShorteningPercent > 0.0)
            html += QStringLiteral("ФС (FS) %1% — %2<br>")
                        .arg(fixed(mm.fractionalShorteningPercent, 1),
                             esc(fractionalShorteningGrade(shownValue(mm.fractionalShorteningPercent, 1))));
        html += QStringLiteral("Масса ЛЖ (Cube) %1 г (LVMI %2 г/м²) — %3<br>")
                    .arg(fixed(mm.cubeMassG, 1), fixed(mm.cubeMassIndex, 1),
                         esc(lvMassGrade(shownValue(mm.cubeMassG, 1), in.female)));
    }
    if (e.laVolumeMl > 0.0 || e.raVolumeMl > 0.0) {
        html += QStringLiteral("<br><b>Предсердия:</b><br>");
        if (e.laVolumeMl > 0.0)
            html += QStringLiteral("ЛП: %1 мл (LAVI %2 мл/м²) — %3<br>")
                        .arg(fixed(e.laVolumeMl, 1), fixed(laIndex(in), 1),
                             esc(laVolumeGrade(shownValue(e.laVolumeMl, 1), in.female)));
        if (e.raVolumeMl > 0.0)
            html += QStringLiteral("ПП: %1 мл (RAVI %2 мл/м²) — %3<br>")
                        .arg(fixed(e.raVolumeMl, 1), fixed(raIndex(in), 1),
                             esc(raVolumeGrade(shownValue(raIndex(in), 1), in.female)));
    }
    const QString rvGeometry = rvGeometryParts(e);
    if (!rvGeometry.isEmpty())
        html += QStringLiteral("<br><b>Геометрия ПЖ</b> <span style='color:#888'>(справочно, без оценки "
                               "нормы)</span>:<br>") +
                rvGeometry + QStringLiteral("<br>");
    if (e.effusion) {
        html += QStringLiteral("<br><b>Перикардиальный выпот:</b> визуализируется, локализация — %1")
                    .arg(esc(e.effusionLocation));
        if (e.effusionSeparationMm > 0.0)
            html += QStringLiteral(", макс. сепарация %1 мм").arg(fixed(e.effusionSeparationMm, 1));
        if (e.tamponade)
            html += QStringLiteral(" — <span style='color:#c55'>ЕСТЬ признаки тампонады</span>");
        html += QStringLiteral("<br>");
    }
    if (anyThrombus(e)) {
        QStringList places;
        if (e.thrombusLv)
            places.append(QStringLiteral("ЛЖ"));
        if (e.thrombusLa)
            places.append(QStringLiteral("ЛП/ушко ЛП"));
        if (e.thrombusRa)
            places.append(QStringLiteral("ПП"));
        if (e.thrombusRv)
            places.append(QStringLiteral("ПЖ"));
        html += QStringLiteral("<br><b><span style='color:#c55'>Внутриполостной тромб:</span></b> %1<br>")
                    .arg(esc(places.join(QStringLiteral(", "))));
    }
    html +=
        QStringLiteral("<br><div style='border:1px solid #666; padding:8px; margin-top:6px;'><b>ЗАКЛЮЧЕНИЕ "
                       "(автоматически, требует подтверждения врачом):</b><br>%1</div>")
            .arg(esc(cardiacMriConclusion(in).trimmed()));
    html += QStringLiteral(
                "<br><span style='color:#888'>BSA (DuBois): %1 м². Метод дисков (Simpson) по %2 срезам, "
                "толщина %3 мм, зазор %4%. Автоматический расчёт по контурам, финальная оценка — за "
                "врачом. Референсные диапазоны:")
                .arg(fixed(in.bsa, 2), n, fixed(in.sliceThicknessMm, 1), fixed(in.sliceGapPercent, 0));
    html += QStringLiteral(" МРТ, SSFP, среднее ± 1.96 SD: КДО и КСО ЛЖ — J Cardiovasc Magn Reson, 2015; "
                           "индекс массы ЛЖ (папиллярные мышцы в полости) — J Cardiovasc Magn Reson, 2017; "
                           "максимальный объём ЛП — J Cardiovasc Magn Reson, 2005; "
                           "прочие — J Cardiovasc Magn Reson, 2020; рекомендации ESC/EACVI 2022.</span>");
    return html;
}

} // namespace clinical
