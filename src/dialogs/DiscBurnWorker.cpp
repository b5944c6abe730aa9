#include "dialogs/DiscBurnWorker.h"

#include "platform/DiscRecording.h"

#include <QDir>
#include <QFileInfo>

namespace disc {

QString hresultText(quint32 code)
{
    return QStringLiteral("0x%1").arg(code, 8, 16, QLatin1Char('0'));
}

QList<RecorderInfo> enumerateRecorders(QString* errorOut)
{
    QList<RecorderInfo> list;
    const QStringList addresses = platform::recorderAddresses();
    QString why;
    if (!addresses.isEmpty() && !platform::discRecordingAvailable(&why)) {
        if (errorOut)
            *errorOut = QStringLiteral("Запись дисков недоступна на этой системе (%1).").arg(why);
        return list;
    }
    for (int i = 0; i < addresses.size(); ++i) {
        platform::RecorderState state;
        if (!platform::probeRecorder(addresses.at(i), &state, nullptr))
            continue;
        RecorderInfo info;
        info.id = state.address;
        info.label = (state.vendor + QLatin1Char(' ') + state.product).trimmed();
        if (info.label.isEmpty())
            info.label = QStringLiteral("Привод %1").arg(i + 1);
        info.hasMedia = state.hasMedia;
        info.mediaBlank = state.blank;
        info.freeBytes = state.freeBytes;
        list << info;
    }
    return list;
}

DiscBurnWorker::DiscBurnWorker(const QString& recorderId, const QString& sourceFolder, const QString& volumeLabel,
                               bool eject, QObject* parent)
    : QObject(parent), recorderId(recorderId), sourceFolder(sourceFolder), volumeLabel(volumeLabel), eject(eject)
{
}

DiscBurnWorker::~DiscBurnWorker() = default;

void DiscBurnWorker::run()
{
    using platform::BurnFailure;
    using platform::BurnStage;
    // A missing staging folder would make an empty disc that looks like a success.
    if (!QFileInfo(sourceFolder).isDir()) {
        emit finished(false, QStringLiteral("Не удалось добавить файлы в образ диска (код %1).").arg(hresultText(0x80070003u)));
        return;
    }
    quint32 code = 0;
    const BurnFailure failure = platform::burnFolder(
        recorderId, QDir::toNativeSeparators(sourceFolder), volumeLabel, eject,
        [this](BurnStage stage) {
            switch (stage) {
            case BurnStage::Connecting:
                emit progressChanged(QStringLiteral("Подключение к приводу…"));
                break;
            case BurnStage::BuildingImage:
                emit progressChanged(QStringLiteral("Подготовка образа диска…"));
                break;
            case BurnStage::Writing:
                emit progressChanged(QStringLiteral("Запись на диск… НЕ ИЗВЛЕКАЙТЕ носитель"));
                break;
            }
        },
        &code);
    const QString c = hresultText(code);
    switch (failure) {
    case BurnFailure::None:
        emit finished(true, QStringLiteral("Диск успешно записан."));
        return;
    case BurnFailure::Library:
        emit finished(false, QStringLiteral("Не удалось создать объект привода."));
        return;
    case BurnFailure::Drive:
        emit finished(false, QStringLiteral("Выбранный привод недоступен (возможно, был отключён) — код %1.").arg(c));
        return;
    case BurnFailure::Image:
        emit finished(false, QStringLiteral("Не удалось создать образ файловой системы."));
        return;
    case BurnFailure::Capacity: // the image does not fit the medium
    case BurnFailure::AddFiles:
        emit finished(false, QStringLiteral("Не удалось добавить файлы в образ диска (код %1).").arg(c));
        return;
    case BurnFailure::Write:
    case BurnFailure::Eject:
        emit finished(false, QStringLiteral("Ошибка записи на диск (код %1). Проверьте, что диск чистый (не использованный "
                                            "ранее) и привод поддерживает запись выбранного типа носителя.")
                                 .arg(c));
        return;
    case BurnFailure::Cancelled:
        emit finished(false, QStringLiteral("Запись на диск прервана — диск не тронут."));
        return;
    case BurnFailure::CancelledWhileWriting:
        emit finished(false, QStringLiteral("Запись на диск прервана — диск, скорее всего, непригоден."));
        return;
    }
}

} // namespace disc
