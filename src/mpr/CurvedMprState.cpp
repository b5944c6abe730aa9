#include "mpr/CurvedMprWindow.h"

#include "mpr/CurveEditorWidget.h"
#include "mpr/MprViewportWidget.h"

#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSaveFile>
#include <QSlider>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QString kSaveTitle = QStringLiteral("Сохранение параметров");
const QString kLoadTitle = QStringLiteral("Загрузка параметров");
constexpr qint64 kMaxStateFileBytes = 64 * 1024 * 1024;
const QString kTooFewToSave = QStringLiteral("Недостаточно контрольных точек — нечего сохранять.");

// Integer fields accept only whole numbers inside the 32-bit range; anything else gives the default.
int intOr(const QJsonValue& v, int fallback)
{
    if (!v.isDouble())
        return fallback;
    const double d = v.toDouble();
    if (d != std::trunc(d) || d < double(std::numeric_limits<int>::min()) || d > double(std::numeric_limits<int>::max()))
        return fallback;
    return int(d);
}

double doubleOr(const QJsonValue& v, double fallback)
{
    return v.isDouble() ? v.toDouble() : fallback;
}

// A parameter as its slider can hold it: `scale` slider steps per unit, held inside the slider's range.
double asSliderHolds(const QSlider* slider, double value, double scale)
{
    const double steps = std::clamp(std::round(value * scale), double(slider->minimum()), double(slider->maximum()));
    return steps / scale;
}

} // namespace

QString CurvedMprWindow::saveStateTo(const QString& path)
{
    const auto points = m_axialEditor->points();
    if (points.size() < 2)
        return kTooFewToSave;
    QJsonArray controlPoints;
    for (const auto& p : points)
        controlPoints.append(QJsonArray{p[0], p[1], p[2]});
    QJsonArray measurements;
    for (const MprMeasurementRecord& r : m_resultPane->exportMeasurements()) {
        QJsonArray pts;
        for (const QPointF& q : r.points)
            pts.append(QJsonArray{q.x(), q.y()});
        measurements.append(QJsonObject{{QStringLiteral("type"), r.kind},
                                        {QStringLiteral("sliceIndex"), r.sliceIndex},
                                        {QStringLiteral("points"), pts},
                                        {QStringLiteral("labelOffsetX"), r.labelOffset.x()},
                                        {QStringLiteral("labelOffsetY"), r.labelOffset.y()}});
    }
    const QJsonObject root{{QStringLiteral("version"), 1},
                           {QStringLiteral("controlPoints"), controlPoints},
                           {QStringLiteral("rotationDeg"), m_rotationDeg},
                           {QStringLiteral("offsetMm"), m_offsetMm},
                           {QStringLiteral("widthMm"), m_widthMm},
                           {QStringLiteral("thicknessMm"), m_thicknessMm},
                           {QStringLiteral("smoothing"), m_smoothing},
                           {QStringLiteral("orientationChoice"), m_orientationChoice},
                           {QStringLiteral("slabMode"), m_slabMode},
                           {QStringLiteral("windowCenter"), m_windowCenter},
                           {QStringLiteral("windowWidth"), m_windowWidth},
                           {QStringLiteral("measurements"), measurements}};
    // Written beside the target and renamed over it: a failed write leaves the previous file as it was.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("Не удалось открыть файл для записи: %1").arg(path);
    const QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Indented);
    // A write cut short (a full disk) leaves commit() content: the flush is what reports it.
    if (file.write(text) != text.size() || !file.flush()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return QStringLiteral("Не удалось записать файл: %1 (%2)").arg(path, reason);
    }
    if (!file.commit())
        return QStringLiteral("Не удалось записать файл: %1 (%2)").arg(path, file.errorString());
    return QString();
}

QString CurvedMprWindow::loadStateFrom(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("Не удалось открыть файл: %1").arg(path);
    // A state document is a few kilobytes; a huge file is not one and is not read into memory.
    if (file.size() > kMaxStateFileBytes)
        return QStringLiteral("Файл повреждён или имеет неверный формат: %1")
            .arg(QStringLiteral("слишком большой файл"));
    const QByteArray data = file.readAll();
    file.close();
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        const QString reason = error.error != QJsonParseError::NoError
                                   ? error.errorString()
                                   : QStringLiteral("корневой элемент не является объектом");
        return QStringLiteral("Файл повреждён или имеет неверный формат: %1").arg(reason);
    }
    const QJsonObject root = doc.object();
    const QJsonArray controlPoints = root.value(QStringLiteral("controlPoints")).toArray();
    if (controlPoints.size() < 2)
        return QStringLiteral("В файле меньше двух контрольных точек — загружать нечего.");
    QList<std::array<double, 3>> points;
    for (const QJsonValue& v : controlPoints) {
        const QJsonArray a = v.toArray();
        if (!v.isArray() || a.size() != 3)
            continue;
        points.append({a[0].toDouble(0.0), a[1].toDouble(0.0), a[2].toDouble(0.0)});
    }
    if (points.size() < 2)
        return QStringLiteral("Не удалось прочитать корректные контрольные точки из файла.");

    // The parameters are taken as the window's own sliders would give them, so the picture always
    // matches the controls: a hand-edited width of 500 mm renders 300 mm wide, as the slider shows.
    m_rotationDeg = int(asSliderHolds(m_rotationSlider, intOr(root.value(QStringLiteral("rotationDeg")), 0), 1.0));
    m_offsetMm = asSliderHolds(m_offsetSlider, doubleOr(root.value(QStringLiteral("offsetMm")), 0.0), 1.0);
    m_widthMm = asSliderHolds(m_widthSlider, doubleOr(root.value(QStringLiteral("widthMm")), 100.0), 1.0);
    m_thicknessMm = asSliderHolds(m_thicknessSlider, doubleOr(root.value(QStringLiteral("thicknessMm")), 0.0), 10.0);
    m_smoothing = asSliderHolds(m_smoothingSlider, doubleOr(root.value(QStringLiteral("smoothing")), 0.0), 100.0);
    m_orientationChoice = intOr(root.value(QStringLiteral("orientationChoice")), 0);
    m_slabMode = intOr(root.value(QStringLiteral("slabMode")), 1);
    m_windowCenter = doubleOr(root.value(QStringLiteral("windowCenter")), m_windowCenter);
    m_windowWidth = std::max(doubleOr(root.value(QStringLiteral("windowWidth")), m_windowWidth), 1.0);
    syncControlsToFields();

    for (CurveEditorWidget* e : {m_axialEditor, m_frontEditor, m_sideEditor})
        e->setPoints(points);
    m_resultPane->clearMeasurements();
    QList<MprMeasurementRecord> records;
    for (const QJsonValue& v : root.value(QStringLiteral("measurements")).toArray()) {
        const QJsonObject o = v.toObject();
        MprMeasurementRecord r;
        r.kind = intOr(o.value(QStringLiteral("type")), 0);
        r.sliceIndex = intOr(o.value(QStringLiteral("sliceIndex")), 0);
        for (const QJsonValue& pv : o.value(QStringLiteral("points")).toArray()) {
            const QJsonArray pa = pv.toArray();
            if (pv.isArray() && pa.size() == 2)
                r.points.append(QPointF(pa[0].toDouble(0.0), pa[1].toDouble(0.0)));
        }
        r.labelOffset = QPointF(doubleOr(o.value(QStringLiteral("labelOffsetX")), 0.0),
                                doubleOr(o.value(QStringLiteral("labelOffsetY")), 0.0));
        records.append(r);
    }
    m_resultPane->importMeasurements(records);
    rebuild(false);
    return QString();
}

void CurvedMprWindow::saveState()
{
    if (m_axialEditor->points().size() < 2) {
        showWarning(kSaveTitle, kTooFewToSave);
        return;
    }
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Сохранить параметры криволинейного MPR"),
                                                      QString(), QStringLiteral("Параметры CPR (*.cprstate.json)"));
    if (path.isEmpty())
        return;
    const QString error = saveStateTo(path);
    if (!error.isEmpty())
        showWarning(kSaveTitle, error);
}

void CurvedMprWindow::loadState()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Загрузить параметры криволинейного MPR"), QString(),
        QStringLiteral("Параметры CPR (*.cprstate.json);;Все файлы (*)"));
    if (path.isEmpty())
        return;
    const QString error = loadStateFrom(path);
    if (!error.isEmpty())
        showWarning(kLoadTitle, error);
}
