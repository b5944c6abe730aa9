#include "dialogs/ExportDialog.h"

#include "db/Database.h"
#include "db/RowFileProof.h"
#include "dicom/DicomCopyWriters.h"
#include "dicom/FrameDecoder.h"
#include "dicom/RowFileCopy.h"
#include "pacs/PacsRetrieveSession.h"
#include "platform/FreeNameWrite.h"
#include "platform/SafeFileName.h"
#include "render/Mp4VideoWriter.h"
#include "dicom/DicomDateTime.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDate>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHash>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSet>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

// Characters that cannot stand in a file or folder name on the target platform, control characters
// included; compiled once for the life of the process.
const QRegularExpression& forbiddenNameCharacters()
{
    static const QRegularExpression re(QStringLiteral("[\\\\/:*?\"<>|\\x00-\\x1f\\x7f]"));
    return re;
}

QString frameNumberText(int number)
{
    return QStringLiteral("%1").arg(number, 4, 10, QLatin1Char('0'));
}

QPointF meanOf(const QList<QPointF>& points)
{
    QPointF sum;
    for (const QPointF& p : points)
        sum += p;
    return points.isEmpty() ? sum : sum / double(points.size());
}

// Two series of one run may carry the same name part (same description, or none), and an earlier
// export may have left files of that name in the folder: the later series gets "_2", "_3", ... so that
// it replaces nothing. fileNames gives the names a candidate part would write.
QString uniqueNamePart(QSet<QString>& used, const QString& directory, const QString& part,
                       const std::function<QStringList(const QString&)>& fileNames)
{
    const QDir dir(directory);
    auto taken = [&](const QString& candidate) {
        if (used.contains(dir.filePath(candidate).toLower()))
            return true;
        const QStringList names = fileNames(candidate);
        return std::any_of(names.cbegin(), names.cend(),
                           [&dir](const QString& name) { return QFileInfo::exists(dir.filePath(name)); });
    };
    QString candidate = part;
    for (int n = 2; taken(candidate); ++n)
        candidate = QStringLiteral("%1_%2").arg(part).arg(n);
    used.insert(dir.filePath(candidate).toLower());
    return candidate;
}

// The anonymous mode draws no name, but no drawing takes one out of the pixels: the frames of images
// whose pixels may carry identity (the header says so, or does not say otherwise for the kinds that
// carry it as a rule) are taken out of the job and counted. So are the frames of a file that cannot be
// read to tell (returns how many), so that nothing unchecked is drawn.
int takeOutIdentifyingFrames(ExportJob& job, dicom::LeftOutCount& leftOut)
{
    QHash<QString, std::optional<dicom::LeftOut>> seen; // a multi-frame file is read once
    ExportJob kept = job;
    kept.instances.clear();
    kept.sliceIndices.clear();
    int unreadable = 0;
    for (int i = 0; i < job.instances.size(); ++i) {
        const QString& path = job.instances[i].filePath;
        auto found = seen.constFind(path);
        if (found == seen.constEnd())
            found = seen.insert(path, dicom::leftOutOfAnonymisedCopies(path));
        if (!*found) {
            ++unreadable;
        } else if (dicom::pixelsMayShowIdentity(**found)) {
            leftOut.add(**found);
        } else {
            kept.instances << job.instances[i];
            kept.sliceIndices << (i < job.sliceIndices.size() ? job.sliceIndices[i] : i);
        }
    }
    job = std::move(kept);
    return unreadable;
}

// A file the door refused (why: the cause), told by the name the user is to find it under.
bool exportFailed(const QString& targetPath, const QString& why, QString* error)
{
    if (!why.isEmpty() && error)
        *error = QStringLiteral("Не удалось сохранить %1: %2").arg(QDir::toNativeSeparators(targetPath), why);
    return false;
}

// The file goes in under the name chosen, or the next free one when another program took that name
// meanwhile (writeUnderFreeName): an export never writes over a file it did not write, and counts
// a file only once its batch has it whole on the disk. A writer's own failure names the file as the
// user knows it, not the partial file it wrote.
bool placeExportFile(const QString& targetPath, const std::function<bool(const QString& partial)>& write,
                     QString* error, platform::DurableBatch* batch)
{
    QString why;
    const auto written = [&](const QString& partial) {
        if (write(partial))
            return true;
        if (error)
            error->replace(partial, targetPath);
        return false;
    };
    return !platform::writeUnderFreeName(targetPath, written, &why, platform::TakenName::NextFree, batch)
                .isEmpty() ||
           exportFailed(targetPath, why, error);
}

// Text in its colour over a dark outline, like the viewer's ruler labels, so that it reads on bright
// pixels as well as on dark ones. draw(offset) draws the text moved by offset with the painter's pen.
template <typename Draw> void drawOutlined(QPainter& painter, const QColor& colour, Draw draw)
{
    const qreal step = std::max(1.0, painter.fontInfo().pixelSize() / 14.0);
    painter.setPen(QColor(0, 0, 0, 235));
    for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
            if (dx != 0 || dy != 0)
                draw(QPointF(dx * step, dy * step));
    painter.setPen(colour);
    draw(QPointF());
}

} // namespace

void burnMeasurements(QImage& image, const QList<ImageViewportWidget::MeasurementInfo>& list)
{
    if (list.isEmpty() || image.isNull())
        return;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setPointSizeF(std::max(image.width() / 110.0, 8.0));
    painter.setFont(font);
    const double penWidth = std::max(image.width() / 500.0, 1.0);

    for (const auto& m : list) {
        const QList<QPointF>& p = m.points;
        const int n = int(p.size());
        painter.setPen(QPen(m.colour, penWidth));
        painter.setBrush(Qt::NoBrush);
        std::optional<QPointF> labelAt;
        switch (m.kind) {
        case 3: // ruler
            if (n < 2)
                continue;
            painter.drawLine(p[0], p[1]);
            labelAt = (p[0] + p[1]) / 2.0;
            break;
        case 10: { // arrow
            if (n < 2)
                continue;
            painter.drawLine(p[0], p[1]);
            const double a = QLineF(p[0], p[1]).angle() + 180.0;
            QPolygonF head;
            head << p[1];
            for (const double b : {a - 25.0, a + 25.0}) {
                const double r = qDegreesToRadians(b);
                head << p[1] + QPointF(12.0 * std::cos(r), -12.0 * std::sin(r));
            }
            painter.setBrush(m.colour);
            painter.drawPolygon(head);
            painter.setBrush(Qt::NoBrush);
            break;
        }
        case 4: // angle, vertex first
            if (n < 3)
                continue;
            painter.drawLine(p[0], p[1]);
            painter.drawLine(p[0], p[2]);
            labelAt = p[0];
            break;
        case 5:
        case 13: { // ellipses
            if (n < 2)
                continue;
            const QRectF rect = QRectF(p[0], p[1]).normalized();
            painter.drawEllipse(rect);
            labelAt = rect.topLeft();
            break;
        }
        case 7: // freehand drawing
            if (n < 2)
                continue;
            painter.drawPolyline(QPolygonF(p));
            break;
        case 9: // text
            if (n < 1)
                continue;
            labelAt = p[0];
            break;
        case 11: // polygon
            if (n < 3)
                continue;
            painter.drawPolygon(QPolygonF(p));
            labelAt = meanOf(p);
            break;
        case 12: { // smooth contour through the points
            if (n < 3)
                continue;
            auto at = [&](int i) { return p[((i % n) + n) % n]; };
            QPainterPath path(p[0]);
            for (int i = 0; i < n; ++i) {
                const QPointF c1 = at(i) + (at(i + 1) - at(i - 1)) / 6.0;
                const QPointF c2 = at(i + 1) - (at(i + 2) - at(i)) / 6.0;
                path.cubicTo(c1, c2, at(i + 1));
            }
            path.closeSubpath();
            painter.drawPath(path);
            labelAt = meanOf(p);
            break;
        }
        case 14: // Cobb angle
            if (n < 2)
                continue;
            painter.drawLine(p[0], p[1]);
            if (n >= 4) {
                painter.drawLine(p[2], p[3]);
                labelAt = ((p[0] + p[1]) / 2.0 + (p[2] + p[3]) / 2.0) / 2.0;
            }
            break;
        default:
            continue;
        }
        if (labelAt && !m.text.isEmpty())
            drawOutlined(painter, m.colour,
                         [&](QPointF offset) { painter.drawText(*labelAt + offset, m.text); });
    }
}

ExportDialog::ExportDialog(db::Database* database, QWidget* parent)
    : QDialog(parent)
    , m_database(database)
{
    setWindowTitle(QStringLiteral("Экспорт изображений"));
    resize(560, 620);
    setupUi();
    m_folderEdit->setText(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
}

ExportDialog::~ExportDialog() = default;

void ExportDialog::setupUi()
{
    auto* layout = new QVBoxLayout(this);

    // What to export.
    auto* scopeBox = new QGroupBox(QStringLiteral("Экспорт"), this);
    auto* scopeLayout = new QHBoxLayout(scopeBox);
    m_scopeImage = new QRadioButton(QStringLiteral("Текущее изображение"), scopeBox);
    m_scopeSeries = new QRadioButton(QStringLiteral("Текущая серия"), scopeBox);
    m_scopeAll = new QRadioButton(QStringLiteral("Все открытые серии"), scopeBox);
    m_scopeSeries->setChecked(true);
    m_scopeGroup = new QButtonGroup(this);
    for (QRadioButton* button : {m_scopeImage, m_scopeSeries, m_scopeAll}) {
        m_scopeGroup->addButton(button);
        scopeLayout->addWidget(button);
    }
    layout->addWidget(scopeBox);

    // File format.
    auto* formatBox = new QGroupBox(QStringLiteral("Формат файла"), this);
    auto* formatLayout = new QHBoxLayout(formatBox);
    m_formatJpeg = new QRadioButton(QStringLiteral("JPEG"), formatBox);
    m_formatBmp = new QRadioButton(QStringLiteral("BMP"), formatBox);
    m_formatDicom = new QRadioButton(QStringLiteral("DICOM"), formatBox);
    m_formatDicom->setToolTip(QStringLiteral("Копия исходного файла как есть — без применения аннотаций/размера"));
    m_formatMp4 = new QRadioButton(QStringLiteral("MP4 (видео)"), formatBox);
    m_formatMp4->setToolTip(QStringLiteral("Один видеофайл из всех срезов серии, с наложенными "
                                           "аннотациями/измерениями — как Cine-проигрыватель, только "
                                           "сохранённый в файл"));
    m_formatJpeg->setChecked(true);
    m_formatGroup = new QButtonGroup(this);
    for (QRadioButton* button : {m_formatJpeg, m_formatBmp, m_formatDicom, m_formatMp4}) {
        m_formatGroup->addButton(button);
        formatLayout->addWidget(button);
    }
    auto* wmvLabel = new QLabel(QStringLiteral("(видео — только MP4, H.264)"), formatBox);
    wmvLabel->setStyleSheet(QStringLiteral("color: #999; font-size: 11px;"));
    formatLayout->addWidget(wmvLabel);
    formatLayout->addStretch();
    layout->addWidget(formatBox);

    // Where to.
    auto* placeBox = new QGroupBox(QStringLiteral("Место сохранения"), this);
    auto* placeLayout = new QVBoxLayout(placeBox);
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(new QLabel(QStringLiteral("Каталог:"), placeBox));
    m_folderEdit = new QLineEdit(placeBox);
    m_folderEdit->setObjectName(QStringLiteral("folderEdit"));
    folderRow->addWidget(m_folderEdit, 1);
    auto* browseButton = new QPushButton(QStringLiteral("Выбрать каталог"), placeBox);
    connect(browseButton, &QPushButton::clicked, this, &ExportDialog::onBrowseFolderClicked);
    folderRow->addWidget(browseButton);
    placeLayout->addLayout(folderRow);
    auto* prefixRow = new QHBoxLayout;
    prefixRow->addWidget(new QLabel(QStringLiteral("Префикс имени:"), placeBox));
    m_prefixEdit = new QLineEdit(placeBox);
    m_prefixEdit->setObjectName(QStringLiteral("prefixEdit"));
    prefixRow->addWidget(m_prefixEdit, 1);
    placeLayout->addLayout(prefixRow);
    m_openFolderCheck =
        new QCheckBox(QStringLiteral("Показать в файловом менеджере после завершения экспорта"), placeBox);
    placeLayout->addWidget(m_openFolderCheck);
    layout->addWidget(placeBox);

    // File options.
    auto* optionsBox = new QGroupBox(QStringLiteral("Параметры файла"), this);
    auto* optionsLayout = new QVBoxLayout(optionsBox);
    auto* sizeRow = new QHBoxLayout;
    sizeRow->addWidget(new QLabel(QStringLiteral("Размер:"), optionsBox));
    m_sizeOriginal = new QRadioButton(QStringLiteral("По умолчанию (1:1)"), optionsBox);
    m_sizeFit = new QRadioButton(QStringLiteral("Подходит для:"), optionsBox);
    m_sizeOriginal->setChecked(true);
    auto* sizeGroup = new QButtonGroup(this);
    sizeGroup->addButton(m_sizeOriginal);
    sizeGroup->addButton(m_sizeFit);
    sizeRow->addWidget(m_sizeOriginal);
    sizeRow->addWidget(m_sizeFit);
    m_widthSpin = new QSpinBox(optionsBox);
    m_widthSpin->setRange(16, 8192);
    m_widthSpin->setValue(1024);
    sizeRow->addWidget(m_widthSpin);
    sizeRow->addWidget(new QLabel(QStringLiteral("×"), optionsBox));
    m_heightSpin = new QSpinBox(optionsBox);
    m_heightSpin->setRange(16, 8192);
    m_heightSpin->setValue(768);
    sizeRow->addWidget(m_heightSpin);
    sizeRow->addWidget(new QLabel(QStringLiteral("пикс."), optionsBox));
    optionsLayout->addLayout(sizeRow);

    auto* annotationRow = new QHBoxLayout;
    annotationRow->addWidget(new QLabel(QStringLiteral("Аннотации:"), optionsBox));
    m_annotationFull = new QRadioButton(QStringLiteral("Полный"), optionsBox);
    m_annotationBasic = new QRadioButton(QStringLiteral("Основной (анонимный)"), optionsBox);
    m_annotationBasic->setToolTip(QStringLiteral("Без ФИО и ID пациента — только срез/W-L"));
    m_annotationOff = new QRadioButton(QStringLiteral("Отключено"), optionsBox);
    m_annotationFull->setChecked(true);
    m_annotationGroup = new QButtonGroup(this);
    for (QRadioButton* button : {m_annotationFull, m_annotationBasic, m_annotationOff}) {
        m_annotationGroup->addButton(button);
        annotationRow->addWidget(button);
    }
    optionsLayout->addLayout(annotationRow);

    optionsLayout->addWidget(new QLabel(QStringLiteral("Качество JPEG:"), optionsBox));
    m_qualitySlider = new QSlider(Qt::Horizontal, optionsBox);
    m_qualitySlider->setRange(10, 100);
    m_qualitySlider->setValue(90);
    optionsLayout->addWidget(m_qualitySlider);
    auto* qualityHints = new QHBoxLayout;
    qualityHints->addWidget(new QLabel(QStringLiteral("худшее (меньший файл)"), optionsBox));
    qualityHints->addStretch();
    qualityHints->addWidget(new QLabel(QStringLiteral("лучшее (больший файл)"), optionsBox));
    optionsLayout->addLayout(qualityHints);

    auto* fpsRow = new QHBoxLayout;
    fpsRow->addWidget(new QLabel(QStringLiteral("Частота кадров (видео):"), optionsBox));
    m_fpsSpin = new QSpinBox(optionsBox);
    m_fpsSpin->setRange(1, 60);
    m_fpsSpin->setValue(10);
    m_fpsSpin->setSuffix(QStringLiteral(" кадр/сек"));
    fpsRow->addWidget(m_fpsSpin);
    fpsRow->addStretch();
    optionsLayout->addLayout(fpsRow);
    layout->addWidget(optionsBox);

    layout->addStretch();

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* exportButton = new QPushButton(QStringLiteral("Экспорт"), this);
    exportButton->setDefault(true);
    connect(exportButton, &QPushButton::clicked, this, &ExportDialog::onExportClicked);
    buttons->addWidget(exportButton);
    auto* closeButton = new QPushButton(QStringLiteral("Закрыть"), this);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::reject);
    buttons->addWidget(closeButton);
    layout->addLayout(buttons);
}

void ExportDialog::setActiveViewport(ImageViewportWidget* viewport)
{
    m_activeViewport = viewport;
    const bool hasSlices = viewport && viewport->sliceCount() > 0;
    m_scopeImage->setEnabled(hasSlices);
    m_scopeSeries->setEnabled(hasSlices);
    if (hasSlices)
        m_scopeImage->setChecked(true);
}

void ExportDialog::setViewports(const QList<ImageViewportWidget*>& viewports,
                                const QList<QList<db::InstanceRecord>>& instanceLists)
{
    m_viewports = viewports;
    m_instanceLists = instanceLists;
}

void ExportDialog::onBrowseFolderClicked()
{
    const QString chosen = QFileDialog::getExistingDirectory(this, QStringLiteral("Выберите каталог для экспорта"),
                                                             m_folderEdit->text(), QFileDialog::ShowDirsOnly);
    if (!chosen.isEmpty())
        m_folderEdit->setText(chosen);
}

ExportDialog::Scope ExportDialog::scope() const
{
    if (m_scopeImage->isChecked())
        return Scope::CurrentImage;
    if (m_scopeAll->isChecked())
        return Scope::AllSeries;
    return Scope::CurrentSeries;
}

ExportDialog::Format ExportDialog::format() const
{
    if (m_formatBmp->isChecked())
        return Format::Bmp;
    if (m_formatDicom->isChecked())
        return Format::Dicom;
    if (m_formatMp4->isChecked())
        return Format::Mp4;
    return Format::Jpeg;
}

ExportDialog::Annotation ExportDialog::annotation() const
{
    if (m_annotationBasic->isChecked())
        return Annotation::Basic;
    if (m_annotationOff->isChecked())
        return Annotation::Off;
    return Annotation::Full;
}

QString ExportDialog::patientFolderName(const SeriesOverlayInfo& info)
{
    return makeSafeFolderName(info.patientName, info.patientId);
}

QString ExportDialog::seriesNamePart(const SeriesOverlayInfo& info, bool anonymous)
{
    if (anonymous) {
        bool number = false;
        const int series = info.seriesNumber.trimmed().toInt(&number);
        return number ? QStringLiteral("series_%1").arg(series) : QStringLiteral("series");
    }
    if (info.seriesDescription.isEmpty())
        return QStringLiteral("series");
    QString part = info.seriesDescription.simplified();
    part.replace(QLatin1Char(' '), QLatin1Char('_'));
    // The description comes from the file: a slash in it must not lead the file into another folder.
    part.replace(forbiddenNameCharacters(), QStringLiteral("_"));
    part.truncate(100);
    return part;
}

QList<ExportJob> ExportDialog::collectJobs() const
{
    QList<ExportJob> jobs;
    auto baseJob = [](ImageViewportWidget* panel) {
        ExportJob job;
        job.info = panel->overlayInfo();
        job.windowCenter = panel->windowCenter();
        job.windowWidth = panel->windowWidth();
        job.viewport = panel;
        return job;
    };
    auto wholeSeries = [](ExportJob& job, const QList<db::InstanceRecord>& instances) {
        job.instances = instances;
        for (int i = 0; i < instances.size(); ++i)
            job.sliceIndices.append(i);
    };

    const Scope chosen = scope();
    if (chosen == Scope::AllSeries) {
        for (int i = 0; i < m_viewports.size(); ++i) {
            ImageViewportWidget* panel = m_viewports[i];
            if (!panel || panel->sliceCount() == 0 || i >= m_instanceLists.size() || m_instanceLists[i].isEmpty())
                continue;
            ExportJob job = baseJob(panel);
            wholeSeries(job, m_instanceLists[i]);
            jobs.append(job);
        }
        return jobs;
    }

    if (!m_activeViewport || m_activeViewport->sliceCount() == 0)
        return jobs;
    ExportJob job = baseJob(m_activeViewport);
    bool found = false;
    if (chosen == Scope::CurrentSeries) {
        for (int i = 0; i < m_viewports.size(); ++i) {
            if (m_viewports[i] == m_activeViewport && i < m_instanceLists.size()) {
                wholeSeries(job, m_instanceLists[i]);
                found = true;
                break;
            }
        }
    }
    if (!found) {
        if (const auto record = m_activeViewport->currentSlice()) {
            job.instances.append(*record);
            job.sliceIndices.append(m_activeViewport->currentSliceIndex());
        }
    }
    if (!job.instances.isEmpty())
        jobs.append(job);
    return jobs;
}

std::optional<QImage> ExportDialog::renderFrame(const db::InstanceRecord& record, const SeriesOverlayInfo& info,
                                                double windowCenter, double windowWidth, int frameNumber,
                                                int frameCount, ImageViewportWidget* viewport, int sliceIndex,
                                                QString* error) const
{
    QString why;
    bool otherObject = false;
    const auto decoded =
        dicom::decodeFrame(record.filePath, record.frameIndex, render::WindowLevel{windowCenter, windowWidth},
                           &why, record.object(), &otherObject);
    if (otherObject)
        m_replacedFiles.insert(record.filePath, record.sopInstanceUid);
    if (!decoded || decoded->image.isNull()) {
        if (error)
            *error = otherObject ? QStringLiteral("Не экспортирован %1: %2").arg(record.filePath, why)
                                 : QStringLiteral("Не удалось декодировать %1").arg(record.filePath);
        return std::nullopt;
    }
    QImage image = decoded->image.convertToFormat(QImage::Format_RGB32);
    if (viewport)
        burnMeasurements(image, viewport->measurementsForSlice(sliceIndex));
    if (m_sizeFit->isChecked())
        image = image.scaled(m_widthSpin->value(), m_heightSpin->value(), Qt::KeepAspectRatio,
                             Qt::SmoothTransformation);

    const Annotation mode = annotation();
    if (mode == Annotation::Off)
        return image;

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const int w = image.width();
    const int h = image.height();
    QFont font = painter.font();
    font.setPointSize(std::max(w / 90, 9));
    painter.setFont(font);
    const QColor yellow(255, 214, 51);
    auto text = [&](const QRect& rect, int flags, const QString& line) {
        drawOutlined(painter, yellow,
                     [&](QPointF offset) { painter.drawText(QRectF(rect).translated(offset), flags, line); });
    };
    const int m = std::max(w / 150, 6);

    if (mode == Annotation::Full) {
        const QRect top(m, m, w - 2 * m, h / 6);
        const QString name = info.patientName.isEmpty() ? QStringLiteral("(без имени)") : info.patientName;
        text(top, Qt::AlignLeft | Qt::TextWordWrap, QStringLiteral("%1\nID: %2").arg(name, info.patientId));
        const QString study =
            info.studyDescription.isEmpty() ? QStringLiteral("(без описания)") : info.studyDescription;
        const QString series =
            info.seriesDescription.isEmpty() ? QStringLiteral("(без описания)") : info.seriesDescription;
        const QString when = dicom::dateTimeForOverlay(info.studyDate, info.studyTime);
        const QString dateLine = when.isEmpty() ? QString() : QStringLiteral("\n%1").arg(when);
        text(top, Qt::AlignRight | Qt::TextWordWrap, QStringLiteral("%1\n%2%3").arg(study, series, dateLine));
    }

    const QRect bottom(m, h - h / 8 - m, w - 2 * m, h / 8);
    text(bottom, Qt::AlignLeft | Qt::AlignBottom,
         QStringLiteral("Срез %1 / %2").arg(frameNumber + 1).arg(frameCount));
    text(bottom, Qt::AlignRight | Qt::AlignBottom,
         QStringLiteral("WL: %1  WW: %2")
             .arg(render::windowValueText(windowCenter), render::windowValueText(windowWidth)));
    painter.end();
    return image;
}

bool ExportDialog::exportFrameFile(const db::InstanceRecord& record, const SeriesOverlayInfo& info,
                                   double windowCenter, double windowWidth, int frameNumber, int frameCount,
                                   ImageViewportWidget* viewport, int sliceIndex, const QString& targetPath,
                                   QString* error, dicom::LeftOut* leftOut, platform::DurableBatch* batch)
{
    const Format fmt = format();
    // A copy is of the object the row names, taken from the file as it is when copied.
    const dicom::RowFile source{record.filePath, record.object()};
    dicom::RowFileTaken taken = dicom::RowFileTaken::Taken;
    const auto tell = [&](bool done) {
        if (taken == dicom::RowFileTaken::OtherObject)
            m_replacedFiles.insert(record.filePath, record.sopInstanceUid);
        return done;
    };
    if (fmt == Format::Dicom && annotation() == Annotation::Basic) {
        // An object the copies leave out is written nowhere, and is no failure.
        dicom::LeftOut left = dicom::LeftOut::Nothing;
        bool anonymised = false;
        const bool placed = placeExportFile(
            targetPath,
            [&](const QString& partial) {
                anonymised = dicom::writeAnonymizedCopy(source.path, partial, QStringLiteral("ANONYMOUS"),
                                                        QStringLiteral("ANONYMOUS"), error, &left,
                                                        source.object, &taken);
                return anonymised && left == dicom::LeftOut::Nothing;
            },
            error, batch);
        if (leftOut)
            *leftOut = left;
        return tell(placed || (anonymised && left != dicom::LeftOut::Nothing));
    }
    QString why;
    if (fmt == Format::Dicom) {
        taken = dicom::copyRowFile(source, targetPath, &why, platform::TakenName::NextFree, batch);
        if (taken != dicom::RowFileTaken::Taken && error)
            *error = QStringLiteral("Не удалось скопировать %1: %2").arg(record.filePath, why);
        return tell(taken == dicom::RowFileTaken::Taken);
    }

    const auto image = renderFrame(record, info, windowCenter, windowWidth, frameNumber, frameCount, viewport,
                                   sliceIndex, error);
    if (!image)
        return false;
    // Encoded in memory and written through the one door, so that a write the disk refuses is seen.
    const QByteArray bytes =
        platform::encodedImage(*image, fmt == Format::Bmp ? "BMP" : "JPEG", m_qualitySlider->value());
    if (bytes.isEmpty())
        return exportFailed(targetPath, QStringLiteral("изображение не кодируется"), error);
    return !platform::writeUnderFreeName(targetPath, bytes, &why, platform::TakenName::NextFree, batch)
                .isEmpty() ||
           exportFailed(targetPath, why, error);
}

bool ExportDialog::exportVideoFile(const ExportJob& job, const QString& targetPath, QString* error,
                                   platform::DurableBatch* batch)
{
    if (job.instances.isEmpty()) {
        if (error)
            *error = QStringLiteral("Пустая серия — нечего экспортировать в видео");
        return false;
    }
    return placeExportFile(
        targetPath, [&](const QString& partial) { return writeVideo(job, partial, error); }, error, batch);
}

bool ExportDialog::writeVideo(const ExportJob& job, const QString& targetPath, QString* error)
{
    render::Mp4VideoWriter writer;
    const int count = int(job.instances.size());
    QSize videoSize;
    for (int i = 0; i < count; ++i) {
        const int sliceIndex = i < job.sliceIndices.size() ? job.sliceIndices[i] : i;
        auto image = renderFrame(job.instances[i], job.info, job.windowCenter, job.windowWidth, i, count,
                                 job.viewport, sliceIndex, error);
        if (!image) {
            // A video stops at a file holding another image; the files of its later frames are looked at as
            // they would be taken, without drawing them, so that the study is named with all such files.
            if (!m_replacedFiles.contains(job.instances[i].filePath))
                return false;
            QSet<QString> lookedAt; // a file of several frames once
            for (const db::InstanceRecord& later : job.instances.mid(i + 1)) {
                if (m_replacedFiles.contains(later.filePath) || lookedAt.contains(later.filePath))
                    continue;
                lookedAt.insert(later.filePath);
                const dicom::RowFileTaken taken = dicom::openRowFile({later.filePath, later.object()}).taken;
                if (taken == dicom::RowFileTaken::OtherObject)
                    m_replacedFiles.insert(later.filePath, later.sopInstanceUid);
            }
            return false;
        }
        if (i == 0) {
            videoSize = QSize(image->width() & ~1, image->height() & ~1);
            if (videoSize.width() < 2 || videoSize.height() < 2) {
                if (error)
                    *error = QStringLiteral("Слишком маленький размер кадра для видео");
                return false;
            }
            const quint32 bitRate = quint32(videoSize.width()) * quint32(videoSize.height()) * 4u;
            if (!writer.open(targetPath, quint32(videoSize.width()), quint32(videoSize.height()), m_fpsSpin->value(),
                             bitRate, error))
                return false;
        }
        QImage frame = *image;
        if (frame.size() != videoSize)
            frame = frame.scaled(videoSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (frame.format() != QImage::Format_RGB32)
            frame = frame.convertToFormat(QImage::Format_RGB32);
        if (!writer.writeFrame(frame, error)) {
            writer.finalize(nullptr);
            return false;
        }
    }
    return writer.finalize(error);
}

void ExportDialog::onExportClicked()
{
    const QString folder = m_folderEdit->text().trimmed();
    if (folder.isEmpty()) {
        QMessageBox::information(this, QStringLiteral("Экспорт"), QStringLiteral("Выберите каталог для сохранения."));
        return;
    }
    QDir().mkpath(folder); // a failure shows in the writes that follow

    const QList<ExportJob> jobs = collectJobs();
    if (jobs.isEmpty()) {
        QMessageBox::information(this, QStringLiteral("Экспорт"),
                                 QStringLiteral("Нечего экспортировать — нет открытой серии."));
        return;
    }

    const Format fmt = format();
    const QString extension = fmt == Format::Jpeg    ? QStringLiteral("jpg")
                              : fmt == Format::Bmp   ? QStringLiteral("bmp")
                              : fmt == Format::Dicom ? QStringLiteral("dcm")
                                                     : QStringLiteral("mp4");
    const QString prefix = m_prefixEdit->text().trimmed();
    const bool anonymous = annotation() == Annotation::Basic;
    // Written whole, each file waits for the one sync of them all before it is counted.
    platform::DurableBatch batch;
    int files = 0;
    int failures = 0;
    dicom::LeftOutCount leftOut; // what anonymous copies and pictures do not take
    QSet<QString> usedNames;
    m_replacedFiles.clear();
    QString firstError; // what the user reads of the failures: the first, with its cause
    const auto failed = [&](const QString& error) {
        ++failures;
        if (firstError.isEmpty())
            firstError = error;
    };

    for (ExportJob job : jobs) {
        if (anonymous && fmt != Format::Dicom) {
            const int unreadable = takeOutIdentifyingFrames(job, leftOut);
            if (unreadable != 0) {
                // A video lacking a frame is a broken video; a still is one file among others.
                failures += fmt == Format::Mp4 ? 1 : unreadable;
                if (fmt == Format::Mp4)
                    continue;
            }
        }
        const QString seriesPart = seriesNamePart(job.info, anonymous);
        if (fmt == Format::Mp4) {
            if (job.instances.isEmpty())
                continue;
            const auto videoName = [&](const QString& part) {
                return QStringList{withoutReservedDeviceName(QStringLiteral("%1%2.%3").arg(prefix, part, extension))};
            };
            const QString part = uniqueNamePart(usedNames, folder, seriesPart, videoName);
            const QString target = QDir(folder).filePath(videoName(part).first());
            QString error;
            if (exportVideoFile(job, target, &error, &batch))
                ++files;
            else
                failed(error);
            continue;
        }
        QString directory = folder;
        QList<int> picked; // indices into the job's instances
        for (int i = 0; i < job.instances.size(); ++i)
            picked << i;
        if (fmt == Format::Dicom) {
            // Anonymised copies are filed under the identity they carry, never under the real one.
            SeriesOverlayInfo filedAs = job.info;
            if (anonymous)
                filedAs.patientName = filedAs.patientId = QStringLiteral("ANONYMOUS");
            directory = QDir(folder).filePath(patientFolderName(filedAs));
            QDir().mkpath(directory);
            // A multi-frame file has one row per frame but is copied once.
            QSet<QString> seen;
            picked.removeIf([&](int i) {
                const QString& path = job.instances[i].filePath;
                if (seen.contains(path))
                    return true;
                seen.insert(path);
                return false;
            });
        }
        const int count = int(picked.size());
        const auto frameNames = [&](const QString& part) {
            QStringList names;
            for (int i = 0; i < count; ++i)
                names << withoutReservedDeviceName(
                    QStringLiteral("%1%2_%3.%4").arg(prefix, part, frameNumberText(i + 1), extension));
            return names;
        };
        const QStringList names = frameNames(uniqueNamePart(usedNames, directory, seriesPart, frameNames));
        for (int i = 0; i < count; ++i) {
            const int index = picked[i];
            const int sliceIndex = index < job.sliceIndices.size() ? job.sliceIndices[index] : index;
            QString error;
            dicom::LeftOut why = dicom::LeftOut::Nothing;
            if (!exportFrameFile(job.instances[index], job.info, job.windowCenter, job.windowWidth, i, count,
                                 job.viewport, sliceIndex, QDir(directory).filePath(names[i]), &error, &why,
                                 &batch))
                failed(error);
            else if (why != dicom::LeftOut::Nothing)
                leftOut.add(why);
            else
                ++files;
        }
    }

    for (const platform::DurableBatch::Struck& lost : batch.confirm()) {
        --files;
        QString error;
        exportFailed(lost.path, lost.cause, &error);
        failed(error);
    }

    QString text = QStringLiteral("Экспортировано файлов: %1").arg(files);
    text += dicom::leftOutNote(leftOut);
    if (failures != 0)
        text += QStringLiteral("\n\nОшибок: %1").arg(failures);
    if (!firstError.isEmpty())
        text +=
            (failures == 1 ? QStringLiteral("\n%1") : QStringLiteral("\nПервая из них: %1")).arg(firstError);
    // Copies and frames of files that hold other images by now went nowhere: their study is named, as
    // the viewer names it.
    QMap<QString, int> replacedInStudy;
    for (auto it = m_replacedFiles.cbegin(); it != m_replacedFiles.cend(); ++it) {
        const auto listed = m_database ? m_database->objectFile(it.value()) : std::nullopt;
        ++replacedInStudy[listed ? listed->studyInstanceUid : m_studyUid];
    }
    for (auto it = replacedInStudy.cbegin(); it != replacedInStudy.cend(); ++it)
        if (!it.key().isEmpty())
            text += QStringLiteral("\n\n")
                + db::replacedFilesText(m_database ? m_database->studyRecord(it.key()) : std::nullopt,
                                        it.key(), it.value());
    // The panels show what has arrived so far, and the export took that: never to pass for the whole.
    if (!m_studyUid.isEmpty() && pacs::PacsRetrieveSession::isReceiving(m_studyUid)) {
        text += QStringLiteral("\n\n%1 Экспортировано то, что уже получено.")
                    .arg(pacs::PacsRetrieveSession::stillReceivingText(
                        m_database ? int(m_database->studyFilePaths(m_studyUid).size()) : 0));
    } else if (!m_studyUid.isEmpty() && m_database && !m_studyFilesHeld.isEmpty()) {
        // A viewer opened while its study arrived keeps what it had then: what it took must not pass for
        // the study that came since.
        const QStringList now = m_database->studyFilePaths(m_studyUid);
        const auto held = std::count_if(now.cbegin(), now.cend(), [this](const QString& path) {
            return m_studyFilesHeld.contains(path);
        });
        if (held < now.size())
            text += QStringLiteral("\n\nВ этом окне просмотра открыто файлов исследования: %1 из %2 — "
                                   "исследование пополнилось после того, как окно было открыто. "
                                   "Экспортировано то, что открыто в окне; чтобы экспортировать всё "
                                   "исследование, откройте его заново.")
                        .arg(held)
                        .arg(now.size());
    }
    // The title says what happened; the counts below say how much.
    if (files == 0)
        QMessageBox::warning(this, QStringLiteral("Экспорт не выполнен"), text);
    else if (failures != 0)
        QMessageBox::warning(this, QStringLiteral("Экспорт завершён с ошибками"), text);
    else
        QMessageBox::information(this, QStringLiteral("Экспорт завершён"), text);

    if (m_openFolderCheck->isChecked() && files >= 1)
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}
