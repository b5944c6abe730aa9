#include "app/Startup.h"

#include "app/InstanceForwarding.h"
#include "app/LaunchUrl.h"
#include "app/LocalApiServer.h"
#include "app/MainWindow.h"
#include "app/ManagedStore.h"
#include "app/PacsViewerHooks.h"
#include "app/PortableSession.h"
#include "app/Theme.h"

#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/FrameDecoder.h"
#include "pacs/PacsOpenCoordinator.h"
#include "platform/DataFolderLock.h"
#include "platform/SingleInstanceLock.h"
#include "platform/TerminationSignals.h"

#include <dcmtk/oflog/oflog.h>

#include <QApplication>
#include <QDebug>
#include <QDialog>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>

#include <memory>

void setUpApplication(QApplication& app)
{
    QApplication::setApplicationName(QStringLiteral("VavovIvirur"));
    QApplication::setOrganizationName(QStringLiteral("Brisvane"));
    // No display name: the platform would add it to every window title, and the study list's title
    // already begins with the program's name. Each window names itself.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/app.ico")));
    QApplication::setQuitOnLastWindowClosed(false);
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));

    // Qt's own buttons and dialogs ("Yes", "Cancel", file dialogs) in Russian too.
    auto* qtTranslator = new QTranslator(&app);
    if (qtTranslator->load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"), QStringLiteral("_"),
                           QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(qtTranslator);

    applyTheme(&app, loadDarkThemeSetting());
}

namespace {

// A request to end that comes while the study list is still being made finds no window to close, and
// it is heard then only inside a notice of the start that waits for the user (the start's progress
// does not listen for it): a logout would wait for the user to answer. While this object lives, such
// a notice, and every one shown after the request, is closed as the user's closing it would close it,
// so that the start runs to its end and the window then closes as it does at any other moment.
class StartNoticesEndOnRequest : public QObject
{
public:
    explicit StartNoticesEndOnRequest(platform::TerminationSignals& termination)
    {
        qApp->installEventFilter(this);
        connect(&termination, &platform::TerminationSignals::terminationRequested, this, [] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* notice = qobject_cast<QDialog*>(widget); notice && notice->isVisible() && notice->isModal())
                    closeLater(notice);
        });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && platform::TerminationSignals::requested())
            if (auto* notice = qobject_cast<QDialog*>(watched); notice && notice->isModal())
                closeLater(notice);
        return false;
    }

private:
    // Once its own event loop turns: closed before it, the notice would open after all.
    static void closeLater(QDialog* notice) { QMetaObject::invokeMethod(notice, &QDialog::reject, Qt::QueuedConnection); }
};

int runNormalMode(QApplication& app)
{
    const std::optional<pacs::PacsOpenRequest> request = firstLaunchRequest(app.arguments().mid(1));

    // Logout and shutdown ask with SIGTERM: the program closes as its window's own close does, so
    // that it ends its session cleanly instead of as if it had been killed. Heard from the first
    // notice the start may show on: a copy turned away from the data folder says why in one too.
    platform::TerminationSignals termination;

    // Held until the process ends. Another copy that works on the same data folder, from whatever
    // session or computer, gets the request, or this one says why it cannot, and nothing here touches
    // the folder.
    static platform::DataFolderLock folderLock(ManagedStore::defaultDataFolder());
    static platform::SingleInstanceLock sessionLock;
    if (const std::optional<ForwardOutcome> forwarded = forwardUnlessFirst(folderLock, sessionLock, request)) {
        // A launch link that seems to do nothing would be clicked again and again.
        if (!forwarded->message.isEmpty())
            qWarning().noquote() << forwarded->message;
        const StartNoticesEndOnRequest notices(termination);
        // Handed over: the running copy answers in its own window.
        if (!forwarded->message.isEmpty() && forwarded->delivered)
            QMessageBox::information(nullptr, QStringLiteral("Kalvenor"), forwarded->message);
        else if (!forwarded->message.isEmpty())
            QMessageBox::warning(nullptr, QStringLiteral("Kalvenor"), forwarded->message);
        return 0;
    }

    const quint16 apiPort = kalvenor::LocalApiServer::configuredPort();
    auto* server = new kalvenor::LocalApiServer(apiPort, &app);
    QString serverError;
    if (!server->listen(&serverError)) {
        qWarning() << "LocalApiServer: порт" << apiPort << "занят другой сессией/процессом (" << serverError
                   << ") — мост с веб-версией недоступен в этой сессии.";
    }

    std::unique_ptr<MainWindow> window;
    {
        const StartNoticesEndOnRequest notices(termination);
        window = std::make_unique<MainWindow>();
    }
    window->show();
    MainWindow* list = window.get();
    QObject::connect(&termination, &platform::TerminationSignals::terminationRequested, list, &QWidget::close);
    // A request that came while the window was being made (a start that looks the store over takes a
    // while, and shows its progress meanwhile) was told before anyone listened: it ends the program now.
    if (platform::TerminationSignals::requested())
        QTimer::singleShot(0, list, &QWidget::close);
    QObject::connect(server, &kalvenor::LocalApiServer::focusRequested, list, &MainWindow::bringToFront,
                     Qt::QueuedConnection);

    // Studies asked for by a web page, a launch URL or a second instance.
    pacs::PacsOpenCoordinator* coordinator = createStartupPacsCoordinator(list, server);
    if (request)
        QTimer::singleShot(0, coordinator, [coordinator, r = *request] { coordinator->openRequestedStudy(r); });

    const int code = app.exec();
    window.reset();
    return code;
}

} // namespace

QString programFolder()
{
    return QCoreApplication::applicationDirPath();
}

QString programFileName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

int runKalvenor(int argc, char** argv)
{
    // Critical-error dialogs do not exist here; nothing to switch off.
    dicom::registerMetaTypes();
    QApplication app(argc, argv);
    setUpApplication(app);
    // DCMTK's informational lines (one per compressed file) are noise on the console.
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);

    int code = 0;
    {
        dicom::CodecRegistrationScope codecs;
        const QDir folder(programFolder());
        if (QFile::exists(folder.filePath(QStringLiteral("portable.marker"))))
            code = runPortableMode(app, folder.filePath(QStringLiteral("DICOM")));
        else
            code = runNormalMode(app);
        dicom::releaseFrameDecoderCache();
    }
    return code;
}
