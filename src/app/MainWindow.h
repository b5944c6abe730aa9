#pragma once

#include "app/ManagedStore.h"

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QMainWindow>
#include <QMap>
#include <QSet>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QProgressBar;
class QProgressDialog;
template <typename T>
class QFutureWatcher;
class QTableWidget;
class QTableWidgetItem;
class QThread;
class QAction;
class QDialog;
class QDragEnterEvent;
class QDropEvent;
class QMenu;
class ModalityFilterButton;
class StartupProgress;
class RemoteAccessServer;
class ViewerWindow;

namespace db {
class Database;
class IndexBatch;
struct StudyRecord;
}
namespace platform {
class DurableBatch;
class SingleInstanceLock;
}
namespace pacs {
struct PacsConfig;
struct PacsServer;
} // namespace pacs
namespace dicom {
struct LeftOutCount;
struct DicomFileSummary;
class DicomImporter;
class ZipImportWorker;
} // namespace dicom

// Data roles of a study row's first item.
constexpr int StudyUidRole = Qt::UserRole;
constexpr int StudyProtectedRole = Qt::UserRole + 1;
constexpr int StudyModalitiesRole = Qt::UserRole + 2;

// True while the machine has a CD/DVD drive.
bool hasOpticalDrive();

// The study list: the one main window of the program in normal mode. It owns the index.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The one study list window; set by the constructor, cleared when it is destroyed.
    static MainWindow* s_instance;

    db::Database* database() const { return m_db; }
    // The hosting side of remote access; started here when hosting is configured, then driven by the
    // remote-access dialog.
    RemoteAccessServer* remoteAccessServer() const { return m_remoteAccessServer; }
    QTableWidget* studyTable() const { return m_studyTable; }
    QTableWidget* seriesTable() const { return m_seriesTable; }
    QString statusText() const;
    QString selectedStudyUid() const { return m_selectedStudyUid; }

    // Brings the list up to date with the index: the studies written through it since the last time
    // are placed anew, alone; the whole list is read again the first time, after changes made through
    // another connection to the index, and when too many studies changed at once.
    void refreshStudyTable();
    void bringToFront();

    // Viewer hand-over: a new viewer takes the place of the one that last returned to the list.
    void showViewerWindow(ViewerWindow* viewer);
    void returnFromViewer(ViewerWindow* viewer);
    void showDialogInPlace(QDialog* dialog);
    void runStartupAction();
    ViewerWindow* rememberedViewer() const;
    void startFolderImport(const QString& folder);
    void startArchiveImport(const QString& archivePath);
    void onArchiveImportFinished(int found, int skipped, const QString& error);
    // An archive's object as the import hands it on: false when it is not to be indexed (a user's
    // listed file holds it at its copy's name). Judges a file the import found rather than wrote by
    // the index's record of it.
    bool takeFoundCopy(dicom::DicomFileSummary& summary);

    // Study context menu, protection, removal and the start-up clean-up.
    void showStudyContextMenu(const QPoint& pos);
    void setStudyProtection(const QString& studyUid, bool currentlyProtected);
    void removeStudiesFromList(const QStringList& studyUids);
    void removeStudyFromList(const QString& studyUid);
    void deleteStudiesCompletely(const QStringList& studyUids);
    void deleteStudyCompletely(const QString& studyUid);
    void runAutoCleanup();
    // At start: removes what interrupted view-only retrieves left half-received and names, in the
    // status line, the studies whose retrieve was cut short.
    void reportUnfinishedRetrieves();
    // At start: names, in the status line, the studies whose tag edit was cut short.
    void reportUnfinishedEdits();
    // True only where the program keeps its own copies in the managed folders "imported_from_zip",
    // "pacs_downloads" and "remote_downloads" (ManagedStore::isCopyPlace): a deletion removes a file
    // only there, and only when the index records that the program wrote it.
    static bool isManagedStudyFile(const QString& path);
    // The menu that showStudyContextMenu would run at pos, built but not shown (null when none).
    QMenu* buildStudyContextMenu(const QPoint& pos);

    // Exports: the portable study folder and ZIP, the viewer copies inside them, the flash-drive and
    // archive-folder flows.
    // leftOut: what an anonymised folder leaves out. batch: the staging folder's, which the caller
    // confirms once it has added its own files; without, the folder is on the disk when this succeeds.
    bool writePortableStudyFolder(const QString& studyUid, const QString& target, QString* error,
                                  bool anonymise, bool compress, dicom::LeftOutCount* leftOut = nullptr,
                                  platform::DurableBatch* batch = nullptr);
    void addPortableViewers(const QString& target, bool includeMac, bool includeWindows, const QString& title);
    static bool createPortableStudyZip(const QList<QString>& inputFiles, const QString& archivePath, QString* error,
                                       std::function<void(int, int)> progress);
    void exportStudiesToFlashDrive(const QString& studyUid);
    void exportStudiesToArchive(const QStringList& studyUids);
    bool copyStudyFilesTo(const QString& studyUid, const QString& destination, QString* error);

    // Send to PACS: the server menu, then C-STORE of every file of the study off the GUI thread.
    void sendStudyToPacs(const QString& studyUid);
    void startPacsSend(const QString& studyUid, const pacs::PacsServer& server, const pacs::PacsConfig& config);
    // leftOutNote: why files were not sent (the study named for files that held other images when they
    // were to go, or the count of those that changed as they were read).
    void finishPacsSend(QFutureWatcher<bool>* watcher, QProgressDialog* progress, const QString& host,
                        const QString& leftOutNote);

    // Send by e-mail: the portable ZIP off the GUI thread, then the mail program or webmail chooser and
    // the archive's folder.
    void sendStudyByEmail(const QString& studyUid);
    void showMailClientChooser(const QString& archivePath, const QString& patientName);
    // Disc burning: sizes, the burn dialog, the staging folder, then the burn worker on its own thread.
    void burnStudiesToDisc(const QString& studyUid);

    // The date that the date presets and the clean-up count from; today unless a test fixes it.
    static void setCurrentDateOverride(const QDate& date) { s_todayOverride = date; }

public slots:
    void onImportFolderClicked();
    void onImportZipClicked();
    // Shows the PACS search and download dialog in place of the study list.
    void onPacsDownloadClicked();
    void onImportProgress(int scanned, int found);
    void onImportFinished(int found, int skipped);
    void onStudySelected(int row, int column);
    void onStudyDoubleClicked(int row, int column);
    void onSeriesDoubleClicked(int row, int column);
    void applyStudyFilter();
    void loadColumnWidths();
    void saveColumnWidths();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void setupUi();
    // An import's end, told once every file it found is written.
    void reportFolderImport(int found, int skipped);
    void reportArchiveImport(int found, int skipped, const QString& error);
    void startRemoteHostingIfConfigured();
    void onRemoteAccessClicked();
    void onRemotePacsClicked();
    void updateOpticalDriveAction();
    void onDatePresetChanged(int index);
    QDate today() const;
    QStringList selectedStudyUids(bool* anyProtected) const;
    // Removes the studies' rows and then their files in the managed store, some thousands of studies
    // at a time; false when a batch's rows cannot be removed, the batches before it (removed, when
    // given) staying removed. failedFiles: the store files that could not be removed (they are
    // tried again at the next start). leftFiles: files the rows record the program wrote that stay,
    // not provably the files it wrote where the store is now, by why.
    bool removeStudiesWithCopies(const QStringList& studyUids, QStringList* failedFiles,
                                 int* removed = nullptr, ManagedStore::LeftFiles* leftFiles = nullptr);
    // The same for the context menu: a refused removal, and files left behind, are shown.
    void deleteStudiesWithManagedFiles(const QStringList& studyUids);
    // What the user does to make an index that cannot be written whole again.
    static QString readOnlyIndexAdvice();
    // Takes the data folder's session lock when no other copy holds it, and lays the session mark
    // that stands while the session runs (and after one that was cut short).
    void beginStoreSession();
    // Whether this start may delete anything in the store (the clean-up, the sweep): only with the
    // session lock held and an index that can be written and reads back whole. Asked once; a "no"
    // keeps what was due for a later start, and why is said.
    bool startupDeletionsAllowed(QString* why);
    // At start, when the last session did not end cleanly or removals are pending: ManagedStore::sweep.
    void sweepManagedStoreIfDue();
    // Copies of this session are left unlisted (or undeleted): the next start is to find them. The
    // mark is laid anew at once, so that another copy of the program that ends cleanly meanwhile
    // does not take it away, and again when this session ends.
    void keepStoreMark();
    void writeStoreMark();
    void endStoreSession();
    // The imports' threads stop between two files and are joined; what they found stays queued for
    // their batches.
    void stopImports();
    void keepImportThread(QThread* thread);
    // Adds a note of the start-up to the status line, after those already there.
    void addStartupNote(const QString& text);
    // At start: unpack folders that killed archive imports left in the temporary folder.
    void removeOldUnpackFolders();
    void forgetSelectedStudy(const QString& studyUid);
    // Empties the series table when its study's row is no longer shown and selected.
    void dropSeriesOfUnselectedStudy();
    struct StudyFilter
    {
        QString text;
        QStringList modalities;
        QDate from, to; // both valid, or no date filter
    };
    StudyFilter currentStudyFilter() const;
    bool studyRowShown(int row, const StudyFilter& filter) const;
    // Reads every study and fills the list anew, sorted by date.
    void reloadStudyTable();
    // Places each of these studies' rows anew where the list's sort puts it, or removes it.
    void refreshStudyRows(const QStringList& studyUids);
    // Adds the rows of these studies to the selection.
    void reselectStudyRows(const QStringList& studyUids);
    // Fills a study's row, the sorted column last so that a sorted list moves the row once; returns
    // the row's first cell.
    QTableWidgetItem* fillStudyRow(int row, const db::StudyRecord& study);
    // Counts the files of an import's batch that the index refused, and those indexed whose images
    // cannot be decoded (by the words that say why), so the end of the import can report them.
    void countIndexed(const QList<dicom::DicomFileSummary>& files, const QStringList& errors, int& failures,
                      QMap<QString, int>& undecodable);
    // Reports the files that the index refused during an import; returns how many.
    int reportIndexFailures(int& failures);
    // A warning box for an error of an import that is ending, opened once that end is handled.
    void tellImportError(const QString& title, const QString& text);
    // True when no disc burn holds the window. Otherwise the window is left open and closes later:
    // during a burn the user is asked (without an event loop of its own, so a request to end heard
    // meanwhile is not lost) whether to wait for it or to cancel it; a burn that has ended closes it
    // once its outcome has been read; a request to end from the system asks nobody and lets the
    // program go as soon as no burn runs.
    bool closeNowOrAfterBurns();
    // The window that is to close once the burns end closes, if they no longer hold it.
    void closeOnceBurnsDone();
    // A burn runs, or one has ended whose outcome the user has not read yet (not waited for when the
    // system asks the program to end: nobody is there to read it).
    bool burnsHoldWindow() const;
    // False, after telling the user both sizes, when the prepared disc image is larger than the free
    // space of the medium in the recorder.
    bool imageFitsMedium(const QString& staging, const QString& volumeLabel, const QString& recorderId);

    db::Database* m_db = nullptr;
    RemoteAccessServer* m_remoteAccessServer = nullptr;
    QPointer<ViewerWindow> m_viewer;
    QTableWidget* m_studyTable = nullptr;
    QLineEdit* m_textFilter = nullptr;
    ModalityFilterButton* m_modalityFilter = nullptr;
    QComboBox* m_datePreset = nullptr;
    QDateEdit* m_dateFrom = nullptr;
    QDateEdit* m_dateTo = nullptr;
    QTableWidget* m_seriesTable = nullptr;
    QProgressBar* m_busyBar = nullptr;
    QLabel* m_statusLabel = nullptr;
    QString m_selectedStudyUid;
    bool m_fillingStudyTable = false; // rows are being replaced: the selection tells nothing yet
    bool m_studyListLoaded = false;
    qint64 m_studyListVersion = 0; // the index's data version when the list was last read whole
    QStringList m_studiesToRefresh; // written through the index since, in the order they were written
    QSet<QString> m_studiesToRefreshSet;
    QHash<QString, QTableWidgetItem*> m_studyRows;     // each study's first cell
    QHash<QString, QString> m_shownMissingIds;         // the number shown for a study without an ID
    int m_missingIdCounter = 0;
    QThread* m_importThread = nullptr;
    bool m_importEnded = false; // its importer has reported the end; the thread is quitting
    // Every import thread not yet finished, an ending folder import's beside the next one's.
    QList<QPointer<QThread>> m_importThreads;
    dicom::DicomImporter* m_importer = nullptr;
    QThread* m_zipThread = nullptr;
    dicom::ZipImportWorker* m_zipWorker = nullptr;

    // The imports' files are indexed in batches, each in one transaction.
    db::IndexBatch* m_folderBatch = nullptr;
    db::IndexBatch* m_archiveBatch = nullptr;
    int m_folderIndexFailures = 0;
    int m_archiveIndexFailures = 0;
    // Objects of the archive a user's listed file already holds at the copy's name.
    int m_archiveUsersFilesKept = 0;
    // Objects of the archive the program's own listed copies elsewhere already hold; counted on the
    // import's thread.
    std::shared_ptr<std::atomic_int> m_archiveCopiesHeld;
    // The copies the archive import made, as it made them, until their batch is written.
    struct CopiesMade;
    std::shared_ptr<CopiesMade> m_archiveCopiesMade;
    // Objects of a folder import the program's own listed copies already hold.
    int m_folderCopiesKept = 0;
    // Files of the folder import that held other objects than their rows named, whose rows went; the
    // folder (absolute, ending in "/") whose files count.
    int m_folderFilesReplaced = 0;
    QString m_folderImportRoot;
    QStringList m_folderImportErrors; // the importer's own, told with its end
    QMap<QString, int> m_folderUndecodable;
    QMap<QString, int> m_archiveUndecodable;
    QString m_lastIndexError;
    bool m_storeSweepDue = false; // the next start has work in the store: the session mark stays
    std::unique_ptr<platform::SingleInstanceLock> m_storeLock;
    QDateTime m_previousSessionStart; // when the session whose mark stood at start began
    QDateTime m_sessionMarkTime;      // the mark as this session laid it
    bool m_startupDeletionsChecked = false;
    QString m_noStartupDeletionsWhy;

    // While the constructor runs: what may take long on a large archive shows how far it got.
    std::unique_ptr<StartupProgress> m_startupProgress;

    QAction* m_opticalAction = nullptr;
    QList<QThread*> m_burnThreads; // running disc burns
    int m_burnOutcomesToTell = 0;  // burns that have ended whose outcome box has not been answered
    bool m_closeWhenBurnsEnd = false;
    bool m_askingToCloseDuringBurn = false; // the closing question is open
    static inline QDate s_todayOverride;
};
