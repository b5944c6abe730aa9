// Sending a study by e-mail: the compose addresses of every mail choice (order of the query items,
// percent-encoded Cyrillic and delimiters), and the whole flow from the context menu on a real index —
// the ZIP read back with libzip, the chosen address and the archive's folder handed to the desktop
// services (captured here, nothing is launched), a dismissed chooser, a cancelled folder choice and
// a study whose files are gone.

#include "support/ChangeBeforeValues.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"
#include "support/PopupMenuAnswer.h"
#include "support/SmallFileSystem.h"
#include "support/StudyTableRow.h"
#include "support/SyncRecord.h"
#include "support/TestBench.h"
#include "support/TestFiles.h"
#include "support/UrlCatcher.h"

#include "app/MailCompose.h"
#include "app/MainWindow.h"
#include "app/PortableExport.h"
#include "db/Database.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"
#include "platform/OwnFileDoor.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QProgressDialog>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

#include <zip.h>

#include <atomic>
#include <memory>

namespace {

// Answers the folder chooser with `folder` (or cancels it when empty); leaves the progress open.
void answerFolder(fixtures::ModalAnswer& answer, const QString& folder)
{
    answer.setDialogHandler([folder](QDialog* d) {
        if (qobject_cast<QProgressDialog*>(d))
            return false;
        if (auto* fd = qobject_cast<QFileDialog*>(d)) {
            if (folder.isEmpty()) {
                fd->reject();
                return false;
            }
            fd->setDirectory(folder);
        }
        return true;
    });
}

// Opens the context menu on the study's row and triggers "Отправить по email…".
void triggerEmailEntry(MainWindow& w, const QString& studyUid)
{
    QTableWidget* table = w.studyTable();
    const int row = fixtures::studyRow(table, studyUid);
    QVERIFY(row >= 0);
    table->clearSelection();
    const QPoint pos = table->visualItemRect(table->item(row, 0)).center();
    std::unique_ptr<QMenu> menu(w.buildStudyContextMenu(pos));
    QVERIFY(menu);
    QAction* action = menu->findChild<QAction*>(QStringLiteral("sendByEmailAction"));
    QVERIFY(action);
    QVERIFY(action->isEnabled());
    action->trigger();
}

QStringList zipEntries(const QString& path)
{
    int code = 0;
    zip_t* z = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &code);
    if (!z)
        return {QStringLiteral("<unreadable>")};
    QStringList names;
    for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i)
        names << QString::fromUtf8(zip_get_name(z, i, ZIP_FL_ENC_GUESS));
    zip_close(z);
    names.sort();
    return names;
}

} // namespace

class TestSendEmail : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

    QTemporaryDir m_program;

private slots:
    void initTestCase()
    {
        m_bench.reset();
        QFile program(QDir(m_program.path()).filePath(QStringLiteral("VavovIvirur")));
        QVERIFY(program.open(QIODevice::WriteOnly));
        program.write("program");
        program.close();
        setViewerProgramFolderOverride(m_program.path());
    }

    void cleanupTestCase() { setViewerProgramFolderOverride(QString()); }

    void composeUrls_data()
    {
        QTest::addColumn<int>("choice");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QStringList>("keys");
        const QStringList plain{"subject", "body"};
        QTest::newRow("mail program") << int(MailChoice::DefaultProgram) << "mailto:?" << plain;
        QTest::newRow("gmail") << int(MailChoice::Gmail) << "https://mail.google.com/mail/?"
                               << QStringList{"view", "fs", "su", "body"};
        QTest::newRow("yandex") << int(MailChoice::Yandex) << "https://mail.yandex.ru/compose?" << plain;
        QTest::newRow("mail.ru") << int(MailChoice::MailRu) << "https://e.mail.ru/compose/?" << plain;
        QTest::newRow("outlook") << int(MailChoice::Outlook) << "https://outlook.live.com/mail/0/deeplink/compose?"
                                 << plain;
    }

    void composeUrls()
    {
        QFETCH(int, choice);
        QFETCH(QString, prefix);
        QFETCH(QStringList, keys);
        // Spaces, Cyrillic and the query's own delimiters must all come through as written.
        const QString subject = mailSubject(QStringLiteral("Иванов Иван & Сын+1=#"));
        const QString body = mailBody(QStringLiteral("/tmp/a b/Иванов.zip"));
        const QUrl url = mailComposeUrl(MailChoice(choice), subject, body);
        const QString encoded = QString::fromLatin1(url.toEncoded());
        QVERIFY2(encoded.startsWith(prefix), qPrintable(encoded));
        QVERIFY(!encoded.contains(QLatin1Char(' ')));
        QVERIFY(encoded.contains(QStringLiteral("%D0%98%D0%B2%D0%B0%D0%BD%D0%BE%D0%B2"))); // "Иванов" in UTF-8

        const QUrlQuery query(url);
        QStringList seen;
        for (const auto& item : query.queryItems(QUrl::FullyDecoded))
            seen << item.first;
        QCOMPARE(seen, keys);
        const QString subjectKey = keys.contains(QStringLiteral("su")) ? QStringLiteral("su") : QStringLiteral("subject");
        QCOMPARE(query.queryItemValue(subjectKey, QUrl::FullyDecoded), subject);
        QCOMPARE(query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded), body);
        if (choice == int(MailChoice::Gmail)) {
            QCOMPARE(query.queryItemValue(QStringLiteral("view")), QStringLiteral("cm"));
            QCOMPARE(query.queryItemValue(QStringLiteral("fs")), QStringLiteral("1"));
        }
    }

    void subjectAndBody()
    {
        QCOMPARE(mailSubject(QString()), QStringLiteral("DICOM-исследование: (без имени)"));
        QCOMPARE(mailSubject(QStringLiteral("Петров")), QStringLiteral("DICOM-исследование: Петров"));
        const QString body = mailBody(QStringLiteral("/x/y/z.zip"));
        QVERIFY(body.startsWith(QStringLiteral("Во вложении — архив")));
        QVERIFY(body.contains(QStringLiteral(":\n") + QDir::toNativeSeparators(QStringLiteral("/x/y/z.zip")) +
                              QStringLiteral("\n\n")));
        QCOMPARE(mailChoiceTexts().size(), 5);
        QCOMPARE(mailChoiceTexts().first(), QStringLiteral("Почтовая программа по умолчанию (Outlook и т.п.)"));
        for (const QString& text : mailChoiceTexts().mid(1))
            QVERIFY(text.endsWith(QStringLiteral(" (в браузере)")));
    }

    void flow_data()
    {
        QTest::addColumn<QString>("patientName");
        QTest::addColumn<int>("choice");
        QTest::addColumn<int>("earlierArchives"); // files of the archive's name already in the folder
        QTest::addColumn<bool>("takenMeanwhile"); // by another program, as the archive takes its name
        QTest::newRow("named, gmail") << "Иванов Иван" << 1 << 0 << false;
        QTest::newRow("no name, dismissed") << "" << -1 << 0 << false;
        QTest::newRow("mail program, sent twice before") << "Петров" << 0 << 2 << false;
        QTest::newRow("mail program, its name taken meanwhile") << "Сидоров" << 0 << 0 << true;
    }

    void flow()
    {
        QFETCH(QString, patientName);
        QFETCH(int, choice);
        QFETCH(int, earlierArchives);
        QFETCH(bool, takenMeanwhile);
        QTemporaryDir data;
        QTemporaryDir target;
        MainWindow w;
        w.resize(900, 600);
        w.show();
        fixtures::SeriesLayout layout;
        layout.patientName = patientName;
        layout.patientId = QStringLiteral("77");
        layout.slices = 3;
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), data.filePath(QStringLiteral("s")), layout));
        w.refreshStudyTable();

        // Earlier archives of the patient (or the user's own files of that name) keep their bytes.
        const QString stem = QDir(target.path()).filePath(makeSafeFolderName(patientName, layout.patientId));
        QStringList earlier;
        for (int i = 0; i < earlierArchives; ++i) {
            earlier << (i == 0 ? stem + ".zip" : QStringLiteral("%1_%2.zip").arg(stem).arg(i + 1));
            fixtures::writeFile(earlier.last(), "earlier archive " + QByteArray::number(i));
        }
        struct Planting
        {
            QString path;
            std::atomic_bool done{false};
        } planting{stem + ".zip"};
        if (takenMeanwhile) {
            earlier << planting.path;
            platform::testing::setBeforeRenameHook(
                [](void* context) {
                    auto* p = static_cast<Planting*>(context);
                    if (!p->done.exchange(true))
                        fixtures::writeFile(p->path, "earlier archive 0");
                },
                &planting);
        }
        const auto unhook = qScopeGuard([] { platform::testing::setBeforeRenameHook(nullptr, nullptr); });

        fixtures::UrlCatcher urls;
        fixtures::SyncRecord syncs(target.path());
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answerFolder(answer, target.path());
        fixtures::PopupMenuAnswer popup(choice);
        triggerEmailEntry(w, layout.studyUid);
        QTRY_VERIFY_WITH_TIMEOUT(!urls.urls.isEmpty() && urls.urls.last().isLocalFile(), 20000);
        // The archive's bytes were synced, then its name, before the mail program was offered.
        QCOMPARE(syncs.fileSyncs(), 1);
        QCOMPARE(syncs.diskSyncs(), QList<QStringList>{fixtures::filesBelow(target.path())});

        const QString archive = earlier.isEmpty() ? stem + ".zip"
                                                  : QStringLiteral("%1_%2.zip").arg(stem).arg(earlier.size() + 1);
        QVERIFY(QFileInfo::exists(archive));
        for (int i = 0; i < earlier.size(); ++i)
            QCOMPARE(fixtures::readFile(earlier[i]), "earlier archive " + QByteArray::number(i));
        QCOMPARE(zipEntries(archive), (QStringList{"DICOM/IMG_000001.dcm", "DICOM/IMG_000002.dcm",
                                                   "DICOM/IMG_000003.dcm", "VavovIvirur", "portable.marker"}));
        QCOMPARE(popup.shown, 1);
        QCOMPARE(popup.entries, mailChoiceTexts());
        QCOMPARE(answer.titles().count(QStringLiteral("Ошибка создания архива")), 0);

        QCOMPARE(urls.urls.size(), choice < 0 ? 1 : 2);
        QCOMPARE(QDir(urls.urls.last().toLocalFile()).absolutePath(), QDir(target.path()).absolutePath());
        if (choice >= 0) {
            const QUrl& mail = urls.urls.first();
            const QUrlQuery query(mail);
            const QString subjectKey = choice == 1 ? QStringLiteral("su") : QStringLiteral("subject");
            QCOMPARE(query.queryItemValue(subjectKey, QUrl::FullyDecoded), mailSubject(patientName));
            QVERIFY(query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded)
                        .contains(QDir::toNativeSeparators(archive)));
            QCOMPARE(mail.scheme(), choice == 0 ? QStringLiteral("mailto") : QStringLiteral("https"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QProgressDialog*>(QStringLiteral("emailZipProgress")), 30000);
    }

    void cancelledFolderDoesNothing()
    {
        QTemporaryDir data;
        MainWindow w;
        w.show();
        fixtures::SeriesLayout layout;
        layout.slices = 1;
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), data.filePath(QStringLiteral("s")), layout));
        w.refreshStudyTable();
        fixtures::UrlCatcher urls;
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Rejected);
        answerFolder(answer, QString());
        triggerEmailEntry(w, layout.studyUid);
        QCoreApplication::processEvents();
        QVERIFY(urls.urls.isEmpty());
        QVERIFY(!w.findChild<QProgressDialog*>(QStringLiteral("emailZipProgress")));
    }

    void missingFilesReportTheArchiveError_data()
    {
        QTest::addColumn<bool>("fullTarget");
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("change"); // of the first file, as it is packed
        QTest::newRow("files gone") << false << "Не удалось добавить в архив ни одного файла"
                                    << "";
        // The archive does not fit: the box names the archive by the name it was to take, not the
        // partial file it was packed in, and says why; nothing of it stays.
        QTest::newRow("full target") << true << "Недостаточно места на диске"
                                     << "";
        // Another study's file renamed over the first before it is packed, or the first cut while it
        // is: no archive, and the study named, or the cause told.
        QTest::newRow("another study's file renamed over one")
            << false
            << "«Полный Диск, 15.01.2024» файлов, в которых на диске теперь не те снимки, что в списке: 1."
            << "renamed over";
        QTest::newRow("a file cut while packed") << false << "Файл изменился во время копирования"
                                                 << "cut";
        // Packed whole, but the sync of its name fails: it stays under its name, and nothing is offered.
        QTest::newRow("its name lost on the way") << false << "могло не дойти до диска" << "names lost";
    }

    void missingFilesReportTheArchiveError()
    {
        QFETCH(bool, fullTarget);
        QFETCH(QString, cause);
        QFETCH(QString, change);
        QTemporaryDir data;
        QTemporaryDir target;
        MainWindow w;
        w.show();
        fixtures::SeriesLayout layout;
        layout.patientName = QStringLiteral("Полный Диск");
        layout.slices = 2;
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), data.filePath(QStringLiteral("s")), layout));
        w.refreshStudyTable();
        std::unique_ptr<fixtures::SmallFileSystem> disk;
        if (fullTarget) {
            disk = std::make_unique<fixtures::SmallFileSystem>(target.path(), 1 << 20);
            if (!disk->isMounted())
                QSKIP(qPrintable(disk->why()));
            QVERIFY(disk->fillLeaving(0));
        } else if (change.isEmpty()) {
            QVERIFY(QDir(data.filePath(QStringLiteral("s"))).removeRecursively());
        }
        const QString first =
            QDir(data.filePath(QStringLiteral("s")))
                .filePath(QDir(data.filePath(QStringLiteral("s"))).entryList(QDir::Files).value(0));
        fixtures::SeriesLayout another = layout;
        another.patientName = QStringLiteral("Другой");
        another.studyUid.clear();
        another.seriesUid.clear();
        const QByteArray other =
            fixtures::readFile(fixtures::writeSlice(data.filePath(QStringLiteral("other")), another, 0));
        fixtures::ChangeDuringCopy changing(
            first,
            change == QLatin1String("cut") ? dicom::testing::CopyMoment::Opened
                                           : dicom::testing::CopyMoment::BeforeOpening,
            [&] {
                if (change == QLatin1String("cut"))
                    QVERIFY(QFile::resize(first, 0));
                else if (change == QLatin1String("renamed over"))
                    QVERIFY(fixtures::replaceFileBytes(first, other, false, true));
            });
        const QString archiveName = makeSafeFolderName(layout.patientName, layout.patientId) + ".zip";
        fixtures::SyncRecord syncs(target.path(), [&](const QStringList& files) {
            return change == QLatin1String("names lost") && files.contains(archiveName) ? EIO : 0;
        });

        fixtures::UrlCatcher urls;
        fixtures::PopupMenuAnswer popup(0);
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answerFolder(answer, target.path());
        triggerEmailEntry(w, layout.studyUid);
        QTRY_VERIFY_WITH_TIMEOUT(answer.titles().contains(QStringLiteral("Ошибка создания архива")), 20000);
        const QString told = answer.texts().last();
        if (!fullTarget && change.isEmpty())
            QCOMPARE(told, cause);
        if (!change.isEmpty()) {
            QVERIFY(changing.happened());
            QVERIFY2(told.contains(cause), qPrintable(told));
            QCOMPARE(QDir(target.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     change == QLatin1String("names lost") ? QStringList{archiveName} : QStringList());
        }
        if (fullTarget) {
            const QString chosen =
                QDir(target.path())
                    .filePath(makeSafeFolderName(layout.patientName, layout.patientId) + ".zip");
            QVERIFY2(told.contains(QDir::toNativeSeparators(chosen)) &&
                         !told.contains(QStringLiteral(".part")),
                     qPrintable(told));
            QCOMPARE(QDir(target.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     QStringList{".ballast"});
        }
        QCoreApplication::processEvents();
        QCOMPARE(popup.shown, 0);
        QVERIFY(urls.urls.isEmpty());
    }

    void unknownStudyIsIgnored()
    {
        MainWindow w;
        fixtures::UrlCatcher urls;
        fixtures::ModalAnswer answer;
        w.sendStudyByEmail(QStringLiteral("1.2.3.404"));
        QCoreApplication::processEvents();
        QCOMPARE(answer.count(), 0);
        QVERIFY(urls.urls.isEmpty());
    }
};

KALVENOR_TEST_MAIN_WITH_OWN_MOUNTS(TestSendEmail)
#include "tst_sendemail.moc"
