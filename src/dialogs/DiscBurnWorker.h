#pragma once
// Optical recorders with the state of their media, and the worker that writes a prepared folder to a
// blank disc on a thread of its own.

#include <QList>
#include <QObject>
#include <QString>

namespace disc {

struct RecorderInfo
{
    QString id;
    QString label;
    bool hasMedia = false;
    bool mediaBlank = false;
    qint64 freeBytes = 0;
};

// "0x%1": the code as eight lower-case hexadecimal digits.
QString hresultText(quint32 code);

// The recorders in the platform's order. A recorder that cannot be opened is left out; a drive
// without a disc is listed with both media flags false. errorOut is written only on failure.
QList<RecorderInfo> enumerateRecorders(QString* errorOut);

class DiscBurnWorker : public QObject
{
    Q_OBJECT

public:
    DiscBurnWorker(const QString& recorderId, const QString& sourceFolder, const QString& volumeLabel, bool eject,
                   QObject* parent = nullptr);
    ~DiscBurnWorker() override;

signals:
    void progressChanged(const QString& stageText);
    void finished(bool success, const QString& message);

public slots:
    // The whole burn, synchronous on the calling thread; finished is emitted exactly once. An
    // interruption request on the worker's thread cancels the burn.
    void run();

private:
    QString recorderId;
    QString sourceFolder;
    QString volumeLabel;
    bool eject = false;
};

} // namespace disc
