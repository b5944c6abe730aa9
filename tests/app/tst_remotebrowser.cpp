// The remote browser against a real hosting server on the other end of a stand-in relay: saved
// servers and connection fields, connecting, filtering the other archive, downloading a study in
// parallel into the local index and opening it, the other side's PACS search and retrieve, a lost
// connection, a study UID that would leave the download folder, and a host of an earlier version that
// names no objects.

#include "support/PacsTestPeers.h"

#include "support/DataFolderShape.h"
#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/LoopbackPort.h"
#include "support/ModalAnswer.h"
#include "support/ScriptedHost.h"
#include "support/SettingsFileHelpers.h"
#include "support/StandInRelay.h"
#include "support/TestBench.h"
#include "support/TestFiles.h"
#include "support/VisibleViewer.h"
#include "app/ManagedStore.h"
#include "app/ModalityFilterButton.h"
#include "app/RemoteAccessDialog.h"
#include "app/RemoteBrowserDialog.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "pacs/PacsConfig.h"
#include "pacs/PacsNetworkClient.h"
#include "platform/ContentDigest.h"
#include "platform/OwnFileDoor.h"
#include "remote/RemoteAccessProvisioner.h"
#include "remote/RemoteAccessServer.h"
#include "remote/RemoteDownloadTries.h"
#include "remote/RemoteParallelDownloadWorker.h"

#include <QComboBox>
#include <QDateEdit>
#include <QInputDialog>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <sys/stat.h>

namespace {

const QString kToken = QStringLiteral("browse-token");
const QString kSecret = QStringLiteral("a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90");

template <typename T>
T* child(QWidget* dialog, const char* name)
{
    return dialog->findChild<T*>(QLatin1String(name));
}

QStringList visibleNames(QTableWidget* table)
{
    QStringList out;
    for (int r = 0; r < table->rowCount(); ++r)
        if (!table->isRowHidden(r))
            out << table->item(r, 0)->text();
    out.sort();
    return out;
}

} // namespace

class RemoteBrowserTest : public QObject
{
    Q_OBJECT

    fixtures::TestBench m_bench;
    fixtures::TestCertificate cert = fixtures::makeTestCertificate();
    fixtures::StandInRelay relay;
    peers::QrArchive pacsArchive;
    peers::ScriptedScp cuttingPacs; // answers two matches, then stops with the cancel status
    db::Database hostIndex;
    db::Database localIndex;
    std::unique_ptr<RemoteAccessServer> hostServer;
    fixtures::SeriesLayout alpha, beta, gamma;

    void fillFields(QWidget* d, const QString& fingerprint)
    {
        child<QLineEdit>(d, "hostEdit")->setText(QStringLiteral(" 127.0.0.1 "));
        child<QSpinBox>(d, "portSpin")->setValue(relay.port());
        child<QLineEdit>(d, "tokenEdit")->setText(kToken);
        child<QLineEdit>(d, "fingerprintEdit")->setText(fingerprint);
        child<QLineEdit>(d, "e2eSecretEdit")->setText(kSecret);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(relay.start(cert));
        QVERIFY(hostIndex.open(m_bench.path("host.sqlite3")));
        QVERIFY(localIndex.open(m_bench.path("local.sqlite3")));
        auto make = [](fixtures::SeriesLayout& s, const char* name, const char* date, const char* modality, int slices) {
            s.patientName = QString::fromUtf8(name);
            s.patientId = s.patientName.left(4).toUpper();
            s.studyDate = QString::fromLatin1(date);
            s.modality = QString::fromLatin1(modality);
            s.slices = slices;
            fixtures::completeUids(s);
        };
        make(alpha, "Test^Alpha", "20240301", "CT", 6);
        make(beta, "Other^Beta", "20230115", "MR", 2);
        make(gamma, "Test^Gamma", "20240520", "CT", 3);
        QVERIFY(fixtures::writeAndIndexSeries(hostIndex, m_bench.path("host/a"), alpha));
        QVERIFY(fixtures::writeAndIndexSeries(hostIndex, m_bench.path("host/b"), beta));
        // A study whose UID would climb out of the download folder.
        const QString betaFile = m_bench.path("host/b") + "/" + QDir(m_bench.path("host/b")).entryList(QDir::Files).first();
        QVERIFY(QFile::copy(betaFile, m_bench.path("evil.dcm")));
        auto evil = dicom::readFileSummary(m_bench.path("evil.dcm"));
        QVERIFY(evil);
        evil->sopInstanceUid += QStringLiteral(".9");
        evil->studyInstanceUid = QStringLiteral("../../escape");
        evil->seriesInstanceUid += QStringLiteral(".9");
        evil->patientName = QStringLiteral("Evil^Uid");
        evil->patientId = QStringLiteral("EVIL");
        QVERIFY(hostIndex.indexFile(*evil));

        // The other side's PACS holds gamma and is retrieved by C-GET.
        QVERIFY(!pacsArchive.add(gamma).isEmpty());
        QVERIFY(pacsArchive.start());
        pacs::PacsConfig config;
        config.localAeTitle = QStringLiteral("KALVREMOTE");
        for (const char* uid : {"1.2.826.0.1.97.1", "1.2.826.0.1.97.2"}) {
            auto row = std::make_unique<DcmDataset>();
            row->putAndInsertString(DCM_PatientName, "Test^Cut");
            row->putAndInsertString(DCM_StudyInstanceUID, uid);
            cuttingPacs.findRows.push_back(std::move(row));
        }
        cuttingPacs.findFinalStatus = STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest;
        QVERIFY(cuttingPacs.start());
        config.servers = {
            pacsArchive.server(1, QStringLiteral("Архив клиники")),
            peers::at(fixtures::freeLoopbackPort(), QStringLiteral("NOBODY"), 1,
                      QStringLiteral("Никто не отвечает")),
            peers::at(cuttingPacs.port(), QStringLiteral("SCRIPTED"), 1, QStringLiteral("Не больше двух"))};
        pacs::savePacsConfig(config);

        hostServer = std::make_unique<RemoteAccessServer>(&hostIndex, nullptr);
        hostServer->start(QStringLiteral("127.0.0.1"), relay.port(), kToken, cert.fingerprint(), kSecret, QString());
        QVERIFY(QTest::qWaitFor([&] { return relay.waitingCount(QStringLiteral("primary-w3")) == 1; }, 15000));
    }
    void cleanupTestCase()
    {
        for (ViewerWindow* v : fixtures::visibleViewers())
            delete v;
        hostServer.reset();
    }

    void connectionFieldsAndSavedServers()
    {
        RemoteBrowserDialog d(&localIndex, nullptr);
        QVERIFY(child<QWidget>(&d, "parametersPanel")->isVisibleTo(&d));
        QCOMPARE(child<QToolButton>(&d, "parametersToggle")->text(), QStringLiteral("▲ Параметры"));
        QCOMPARE(child<QSpinBox>(&d, "portSpin")->value(), 8443);
        QTest::keyClicks(child<QLineEdit>(&d, "hostIdEdit"), QStringLiteral("ab/c d_1-"));
        QCOMPARE(child<QLineEdit>(&d, "hostIdEdit")->text(), QStringLiteral("abcd_1-"));
        child<QLineEdit>(&d, "hostIdEdit")->clear();
        {
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            QTest::mouseClick(child<QPushButton>(&d, "connectButton"), Qt::LeftButton);
            QCOMPARE(answer.texts(), QStringList{QStringLiteral("Заполните все поля кода подключения.")});
        }
        // The secret is required like the other values; a wrong fingerprint fails at once and writes no
        // settings.
        fillFields(&d, QString(64, QLatin1Char('0')));
        child<QLineEdit>(&d, "e2eSecretEdit")->clear();
        {
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            QTest::mouseClick(child<QPushButton>(&d, "connectButton"), Qt::LeftButton);
            QCOMPARE(answer.count(), 1);
            QCOMPARE(child<QLabel>(&d, "statusLabel")->text(), QStringLiteral("Не подключено"));
        }
        child<QLineEdit>(&d, "e2eSecretEdit")->setText(kSecret);
        {
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            QTest::mouseClick(child<QPushButton>(&d, "connectButton"), Qt::LeftButton);
            QCOMPARE(child<QLabel>(&d, "statusLabel")->text(), QStringLiteral("Не удалось подключиться"));
            QVERIFY(answer.texts().value(0).startsWith(QStringLiteral("Отпечаток сертификата")));
        }
        QVERIFY(!QSettings().contains(QStringLiteral("remoteBrowserConnection/host")));

        auto saveAs = [&](const QString& name) {
            fixtures::ModalAnswer answer(QMessageBox::Yes, QDialog::Accepted);
            answer.setDialogHandler([name](QDialog* dialog) {
                if (auto* input = qobject_cast<QInputDialog*>(dialog))
                    input->setTextValue(name);
                return true;
            });
            QTest::mouseClick(child<QPushButton>(&d, "saveServerButton"), Qt::LeftButton);
        };
        saveAs(QStringLiteral(" Клиника "));
        child<QSpinBox>(&d, "portSpin")->setValue(9000);
        saveAs(QStringLiteral("Клиника")); // same name: replaced in place
        saveAs(QStringLiteral("клиника")); // other case: a second entry
        auto* combo = child<QComboBox>(&d, "savedServerCombo");
        QCOMPARE(combo->count(), 3);
        QCOMPARE(combo->currentText(), QStringLiteral("клиника"));
        child<QSpinBox>(&d, "portSpin")->setValue(1);
        child<QLineEdit>(&d, "e2eSecretEdit")->clear();
        combo->setCurrentIndex(1); // fills the fields, connects nothing
        QCOMPARE(combo->itemText(1), QStringLiteral("Клиника"));
        QCOMPARE(child<QSpinBox>(&d, "portSpin")->value(), 9000);
        QCOMPARE(child<QLineEdit>(&d, "e2eSecretEdit")->text(), kSecret);
        combo->setCurrentIndex(2);
        {
            fixtures::ModalAnswer answer(QMessageBox::Yes);
            QTest::mouseClick(child<QPushButton>(&d, "deleteServerButton"), Qt::LeftButton);
            QCOMPARE(answer.texts(), QStringList{QStringLiteral("Удалить сохранённый сервер «клиника»?")});
        }
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->currentIndex(), 0);
        QVERIFY(!child<QPushButton>(&d, "deleteServerButton")->isEnabled());
        QVERIFY(!QSettings().contains(QStringLiteral("remoteBrowserConnection/lastServerName")));
    }

    void browseFilterDownloadAndOpen()
    {
        RemoteBrowserDialog d(&localIndex, nullptr);
        d.show();
        fillFields(&d, cert.fingerprint().toUpper());
        QTest::mouseClick(child<QPushButton>(&d, "connectButton"), Qt::LeftButton);
        QCOMPARE(child<QLabel>(&d, "statusLabel")->text(), QStringLiteral("Подключено: найдено исследований — 3"));
        QCOMPARE(QSettings().value(QStringLiteral("remoteBrowserConnection/host")).toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(QSettings().value(QStringLiteral("remoteBrowserConnection/hostId")).toString(), QString());
        QCOMPARE(QSettings().value(QStringLiteral("remoteBrowserConnection/e2eSecret")).toString(), kSecret);
        QCOMPARE(child<QComboBox>(&d, "pacsServerCombo")->currentText(), QStringLiteral("Архив клиники"));
        QVERIFY(child<QPushButton>(&d, "pacsFindButton")->isEnabled());

        auto* table = child<QTableWidget>(&d, "archiveTable");
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("2024-03-01")); // newest first
        child<QLineEdit>(&d, "archiveSearchEdit")->setText(QStringLiteral("ALPH"));
        QCOMPARE(visibleNames(table), QStringList{QStringLiteral("Test^Alpha")});
        child<QLineEdit>(&d, "archiveSearchEdit")->clear();
        child<ModalityFilterButton>(&d, "archiveModalityButton")->setSelectedModalities({QStringLiteral("MR")});
        emit child<ModalityFilterButton>(&d, "archiveModalityButton")->selectionChanged();
        QCOMPARE(visibleNames(table), (QStringList{QStringLiteral("Evil^Uid"), QStringLiteral("Other^Beta")}));
        child<ModalityFilterButton>(&d, "archiveModalityButton")->setSelectedModalities({});
        child<QDateEdit>(&d, "archiveDateFrom")->setDate(QDate(2024, 3, 1));
        child<QComboBox>(&d, "archivePeriodCombo")->setCurrentIndex(5); // exact date
        QCOMPARE(visibleNames(table), QStringList{QStringLiteral("Test^Alpha")});
        QVERIFY(!child<QDateEdit>(&d, "archiveDateTo")->isVisibleTo(&d));

        for (int r = 0; r < table->rowCount(); ++r)
            if (table->item(r, 0)->text() == QLatin1String("Evil^Uid"))
                table->setCurrentCell(r, 0);
        {
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            QTest::mouseClick(child<QPushButton>(&d, "downloadOpenButton"), Qt::LeftButton);
            QVERIFY2(answer.texts().value(0).contains(QStringLiteral("недопустимый идентификатор")), qPrintable(answer.texts().join("|")));
        }
        const QString downloads =
            QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).filePath(QStringLiteral("remote_downloads"));
        QVERIFY(!QFileInfo::exists(QDir(downloads).filePath(QStringLiteral("../../escape"))));

        table->setCurrentCell(0, 0);
        QTest::mouseClick(child<QPushButton>(&d, "downloadOpenButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(fixtures::visibleViewer() != nullptr, 10000);
        QVERIFY(d.isHidden());
        int instances = 0;
        for (const db::SeriesRecord& s : localIndex.seriesForStudy(alpha.studyUid))
            instances += int(localIndex.instancesForSeries(s.seriesInstanceUid).size());
        QCOMPARE(instances, 6);
        const QDir dest(QDir(downloads).filePath(alpha.studyUid));
        QCOMPARE(dest.entryList({QStringLiteral("*.dcm.done")}, QDir::Files).size(), 6);
        // Each file under the name of the object the host listed, so a later run finds it whatever the
        // host's order of them then.
        for (const db::SeriesRecord& s : localIndex.seriesForStudy(alpha.studyUid))
            for (const db::InstanceRecord& i : localIndex.instancesForSeries(s.seriesInstanceUid))
                QCOMPARE(QFileInfo(i.filePath).fileName(),
                         dicom::readFileSummary(i.filePath)->sopInstanceUid + QStringLiteral(".dcm"));
        // Each recorded with the digest of its bytes, by which a removal proves it the download's own.
        for (const db::IndexedFile& file : localIndex.studyFiles(alpha.studyUid))
            QCOMPARE(file.contentDigest, platform::ContentDigest::of(file.filePath));
    }

    // A host of an earlier version names no objects, so its files are asked for by position. The study
    // opens only when the files hold each of its objects once and are still its study as it lists it at
    // the end: one object at two positions (the host's study removed and taken in again in another order
    // meanwhile), an object it never listed served at a position, a series replaced or grown while the
    // files came, or the files an earlier download got at positions that hold other objects since (a
    // series gone at the host), are no success. From a host that names its objects, what opens is its
    // study as it lists it now, and a file that holds another object than the one asked for (another
    // patient's file copied over one of the study's at the host) is neither kept nor indexed. What an
    // unfinished earlier try got of objects the host no longer lists is taken out and counted; what a
    // download that opened the study whole or an import gave stays, and the study's objects the host
    // does not list are counted.
    void olderHostDownloadCountsItsObjects_data()
    {
        QTest::addColumn<bool>("named");         // the host names its objects
        QTest::addColumn<QList<int>>("earlier"); // what an earlier try that never opened it got at 0…
        QTest::addColumn<QList<int>>("served");  // the object the host sends at each position
        // The host's list: named, or asked again at the end by the host of an earlier version, whose list
        // at the start is as served; empty: as served. Objects 6 to 8 are a second series of the study,
        // 9 another patient's.
        QTest::addColumn<QList<int>>("listed");
        QTest::addColumn<QString>("said"); // empty: the study opens
        // Objects a download from this host opened whole before the earlier try (the host listing them
        // then), and objects the user imported from a folder of their own.
        QTest::addColumn<QList<int>>("whole");
        QTest::addColumn<QList<int>>("imported");
        QTest::addColumn<int>("removed");  // objects the download took out, as it says
        QTest::addColumn<int>("unlisted"); // objects the opened study holds that the host does not list
        // The data folder copied to another disk after the earlier try with these options of `cp`, and
        // the old one removed; empty: never moved.
        QTest::addColumn<QString>("moved");
        // Positions of `earlier` whose files the earlier try left unfinished: each written whole by a
        // download worker stopped before it marked it complete.
        QTest::addColumn<QList<int>>("partial");
        // A second try after the import, cut at its last file once it had indexed every other one.
        QTest::addColumn<bool>("cut");
        // Positions of `earlier` whose files an earlier version's try left unfinished, its record naming
        // the file by identity alone: those of `partial` written whole, the others empty.
        QTest::addColumn<QList<int>>("earlierVersion");
        const QList<int> six{0, 1, 2, 3, 4, 5};
        const QString during = QStringLiteral("изменилось во время скачивания");
        QTest::newRow("position 3 serves position 0's object")
            << false << QList<int>{} << QList<int>{0, 1, 2, 0, 4, 5} << QList<int>{}
            << QStringLiteral("разных объектов исследования — 5")
            << QList<int>{} << QList<int>{} << 0 << 0 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("an earlier download's files, a series gone at the host since")
            << false << six << QList<int>{3, 4, 5} << QList<int>{}
            << QStringLiteral("изменилось после прошлого скачивания")
            << QList<int>{} << QList<int>{} << 0 << 0 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("an earlier download's files, the host's as they were")
            << false << six << six << QList<int>{} << QString()
            << QList<int>{} << QList<int>{} << 0 << 0 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("position 3 serves an object the host never listed")
            << false << QList<int>{} << QList<int>{0, 1, 2, 6, 4, 5} << six << during
            << QList<int>{} << QList<int>{} << 0 << 0 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("a series replaced while the files came")
            << false << QList<int>{} << QList<int>{0, 1, 2, 3, 7, 8} << QList<int>{0, 1, 2, 6, 7, 8}
            << during
            << QList<int>{} << QList<int>{} << 0 << 0 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("a series grown once the files came")
            << false << QList<int>{} << six << QList<int>{0, 1, 2, 3, 4, 5, 6} << during
            << QList<int>{} << QList<int>{} << 0 << 0 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("a retry once a series went at the host")
            << true << six << QList<int>{0, 1, 2} << QList<int>{} << QString()
            << QList<int>{} << QList<int>{} << 3 << 0 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("a retry once a series went at the host, the data folder moved since")
            << true << six << QList<int>{0, 1, 2} << QList<int>{} << QString()
            << QList<int>{} << QList<int>{} << 3 << 0 << QStringLiteral("-a") << QList<int>{} << false
            << QList<int>{};
        QTest::newRow("another patient's file served as a listed object")
            << true << QList<int>{} << QList<int>{0, 1, 2, 9, 4, 5} << six
            << QStringLiteral("файл другого объекта")
            << QList<int>{} << QList<int>{} << 0 << 0 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("an earlier download's file of another patient under a listed object's name")
            << true << QList<int>{0, 1, 2, 9, 4, 5} << six << QList<int>{} << QStringLiteral("не те объекты")
            << QList<int>{} << QList<int>{} << 0 << 0 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("a re-download once the host replaced a series of a study opened whole")
            << true << QList<int>{} << QList<int>{0, 1, 2, 6, 7, 8} << QList<int>{} << QString() << six
            << QList<int>{} << 0 << 3 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("a re-download of a study with an imported series the host does not list")
            << true << QList<int>{} << six << QList<int>{} << QString() << QList<int>{}
            << QList<int>{6, 7, 8} << 0 << 3 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("a retry once a series went at the host, a try cut inside an object of it")
            << true << six << QList<int>{0, 1, 2} << QList<int>{} << QString()
            << QList<int>{} << QList<int>{} << 2 << 0 << QString() << QList<int>{4} << false << QList<int>{};
        QTest::newRow("a retry once a series went at the host, the data folder copied without attributes since")
            << true << six << QList<int>{0, 1, 2} << QList<int>{} << QString()
            << QList<int>{} << QList<int>{} << 2 << 0 << QStringLiteral("-r") << QList<int>{0, 4} << false
            << QList<int>{};
        QTest::newRow("a series imported from a disc between two cut tries, gone at the host since")
            << true << QList<int>{0, 1, 2, 3, 4, 5, 6, 7} << six << QList<int>{} << QString()
            << QList<int>{} << QList<int>{6, 7, 8} << 0 << 3 << QString() << QList<int>{} << true
            << QList<int>{};
        QTest::newRow("a retry's leftovers beside a series opened whole")
            << true << six << QList<int>{0, 1, 2} << QList<int>{} << QString() << QList<int>{6, 7, 8}
            << QList<int>{} << 3 << 3 << QString() << QList<int>{} << false << QList<int>{};
        QTest::newRow("a retry once a series went at the host, an earlier version's partials, the data "
                      "folder copied without attributes since")
            << true << six << QList<int>{0, 1, 2} << QList<int>{}
            << QStringLiteral("созданные не этой загрузкой")
            << QList<int>{} << QList<int>{} << 0 << 0 << QStringLiteral("-r") << QList<int>{1, 2} << false
            << QList<int>{0, 1, 2};
        QTest::newRow("a retry once a series went at the host, an earlier version's partials of its objects, "
                      "the data folder copied without attributes since")
            << true << six << QList<int>{0, 1, 2} << QList<int>{} << QString()
            << QList<int>{} << QList<int>{} << 1 << 0 << QStringLiteral("-r") << QList<int>{4} << false
            << QList<int>{0, 4, 5};
    }
    void olderHostDownloadCountsItsObjects()
    {
        QFETCH(bool, named);
        QFETCH(QList<int>, earlier);
        QFETCH(QList<int>, served);
        QFETCH(QList<int>, listed);
        QFETCH(QString, said);
        QFETCH(QList<int>, whole);
        QFETCH(QList<int>, imported);
        QFETCH(int, removed);
        QFETCH(int, unlisted);
        QFETCH(QString, moved);
        QFETCH(QList<int>, partial);
        QFETCH(bool, cut);
        QFETCH(QList<int>, earlierVersion);
        if (listed.isEmpty())
            listed = served;
        // The store as the study list gives it to the index at its start.
        QVERIFY(localIndex.setStoreFolders(ManagedStore().folders()));
        fixtures::SeriesLayout layout;
        layout.slices = 6;
        fixtures::completeUids(layout);
        fixtures::SeriesLayout second = layout;
        second.seriesUid = fixtures::newUid();
        second.seriesNumber = QStringLiteral("2");
        second.slices = 3;
        fixtures::SeriesLayout otherPatient;
        otherPatient.patientId = QStringLiteral("P0009");
        otherPatient.patientName = QStringLiteral("Other^Patient");
        otherPatient.slices = 1;
        fixtures::completeUids(otherPatient);
        QTemporaryDir sent;
        QList<QByteArray> objects;
        QStringList uids;
        const QStringList files = fixtures::writeSeries(sent.filePath(QStringLiteral("a")), layout)
                                  + fixtures::writeSeries(sent.filePath(QStringLiteral("b")), second)
                                  + fixtures::writeSeries(sent.filePath(QStringLiteral("c")), otherPatient);
        for (const QString& file : files) {
            objects << fixtures::readFile(file);
            uids << dicom::readFileSummary(file)->sopInstanceUid;
        }
        QCOMPARE(objects.size(), 10);

        const QString id = QStringLiteral("older");
        fixtures::ScriptedHost older(relay.port(), cert.fingerprint(), kToken, kSecret);
        int lists = 0;
        bool before = !whole.isEmpty(); // the host holds the study as the whole download found it
        bool cutting = false;           // the host holds the study's two series, and holds its last file
        RemoteBrowserDialog* downloading = nullptr;
        older.answer = [&](const QJsonObject& r, const QByteArray&) -> QList<QByteArray> {
            if (cutting) {
                const int at = remoteproto::readInt(r, QStringLiteral("index"), -1);
                if (remoteproto::typeOf(r) == QLatin1String("getFileList")) {
                    QJsonArray names;
                    for (const QString& uid : uids.mid(0, 9))
                        names.append(uid);
                    return {remoteproto::toFrame(remoteproto::message(
                        QStringLiteral("fileList"), {{QStringLiteral("studyUid"), layout.studyUid},
                                                     {QStringLiteral("count"), 9},
                                                     {QStringLiteral("sopInstanceUids"), names}}))};
                }
                if (at != 8)
                    return fixtures::ScriptedHost::serveFile(r, objects.value(at));
                // Refused once the try has indexed every other file: held until then.
                auto* hold = new QTimer(&older);
                QPointer<RemoteTunnelSocket> asker = older.asking;
                connect(hold, &QTimer::timeout, &older, [&, hold, asker] {
                    auto* progress = downloading ? downloading->findChild<QProgressDialog*>() : nullptr;
                    if (!asker || !progress || progress->value() < 8)
                        return;
                    hold->deleteLater();
                    asker->sendFrame(remoteproto::toFrame(remoteproto::finalErrorMessage(QStringLiteral("нет"))));
                });
                hold->start(5);
                return {};
            }
            // Once asked for its list again, a host of an earlier version holds its study as listed.
            const QList<int>& now = before ? whole : lists > 1 ? listed : served;
            if (remoteproto::typeOf(r) == QLatin1String("getFileList")) {
                ++lists;
                const QList<int>& study = before ? whole : lists > 1 || named ? listed : served;
                QJsonObject list{{QStringLiteral("studyUid"), layout.studyUid},
                                 {QStringLiteral("count"), int(study.size())}};
                if (named) {
                    QJsonArray names;
                    for (const int object : study)
                        names.append(uids.at(object));
                    list.insert(QStringLiteral("sopInstanceUids"), names);
                }
                return {remoteproto::toFrame(remoteproto::message(QStringLiteral("fileList"), list))};
            }
            const int at = remoteproto::readInt(r, QStringLiteral("index"), -1);
            return fixtures::ScriptedHost::serveFile(
                r, objects.value((named && !before ? served : now).value(at, -1)));
        };
        QStringList listeners{id};
        for (int i = 0; i < 4; ++i)
            listeners << QStringLiteral("%1-w%2").arg(id).arg(i);
        for (const QString& listener : std::as_const(listeners))
            older.listen(listener);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return std::all_of(listeners.cbegin(), listeners.cend(),
                                   [&](const QString& l) { return relay.waitingCount(l) == 1; });
            },
            15000));
        QDir dest(QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
                      .filePath(QStringLiteral("remote_downloads/%1").arg(layout.studyUid)));
        QVERIFY(dest.mkpath(QStringLiteral(".")));
        const auto download = [&](int boxes) {
            RemoteBrowserDialog d(&localIndex, nullptr);
            downloading = &d;
            const auto gone = qScopeGuard([&] { downloading = nullptr; });
            fillFields(&d, cert.fingerprint());
            child<QLineEdit>(&d, "hostIdEdit")->setText(id);
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            answer.setDialogHandler([](QDialog* dialog) { return !qobject_cast<QProgressDialog*>(dialog); });
            d.downloadAndOpenStudy(layout.studyUid);
            [&] { QCOMPARE(answer.count(), boxes); }();
            return answer.texts().value(0);
        };
        if (before) {
            QVERIFY(named);
            QCOMPARE(download(0), QString());
            if (QTest::currentTestFailed())
                return;
            before = false;
            lists = 0;
            older.requests.clear();
        }
        // The earlier try recorded what it was to bring of the study's two series, then marked its files
        // and indexed those of the study.
        QString error;
        QVERIFY2(RemoteDownloadTries(dest.path())
                     .begin(&localIndex, layout.studyUid, named ? uids.mid(0, 9) : QStringList(),
                            named ? 9 : int(earlier.size()), &error),
                 qPrintable(error));
        for (int i = 0; i < earlier.size(); ++i) {
            const QString name = named ? RemoteParallelDownloadWorker::fileNameFor(uids.at(i), i)
                                       : QStringLiteral("%1.dcm").arg(i);
            const QString file = dest.filePath(name);
            const auto recordAsEarlierVersion = [&] {
                const platform::FileId made = platform::FileId::of(file);
                fixtures::writeFile(file + QStringLiteral(".part"), QByteArray::number(made.device) + ' '
                                                                        + QByteArray::number(made.inode) + '\n');
            };
            if (earlierVersion.contains(i) && !partial.contains(i)) {
                fixtures::writeFile(file, {});
                recordAsEarlierVersion();
                continue;
            }
            if (partial.contains(i)) {
                // A folder under the mark's name: the worker writes the file whole and cannot mark it.
                QVERIFY(dest.mkdir(name + QStringLiteral(".done")));
                const auto answer = std::exchange(older.answer, [&](const QJsonObject& r, const QByteArray&) {
                    return fixtures::ScriptedHost::serveFile(r, objects.at(earlier.at(i)));
                });
                RemoteParallelDownloadWorker worker(QStringLiteral("127.0.0.1"), relay.port(), kToken,
                                                    cert.fingerprint(), kSecret, layout.studyUid, dest.path(), i,
                                                    i + 1, id + QStringLiteral("-w0"));
                worker.expectObjects({uids.at(i)});
                worker.run();
                older.answer = answer;
                QVERIFY(dest.rmdir(name + QStringLiteral(".done")));
                QVERIFY(QFileInfo::exists(file + QStringLiteral(".part")));
                older.requests.clear();
                if (earlierVersion.contains(i))
                    recordAsEarlierVersion();
                continue;
            }
            fixtures::writeFile(file, objects.at(earlier.at(i)));
            fixtures::writeFile(file + QStringLiteral(".done"), {});
            auto summary = dicom::readFileSummary(file);
            summary->ownCopy = true;
            QVERIFY(earlier.at(i) == 9 || localIndex.indexFile(*summary));
        }
        // Imported where the user keeps them.
        for (const int object : std::as_const(imported)) {
            auto summary = dicom::readFileSummary(files.at(object));
            QVERIFY(summary && localIndex.indexFile(*summary));
        }

        // A second try after the import, cut: what it indexed stays, and nothing is settled.
        if (cut) {
            cutting = true;
            QVERIFY(download(1).contains(QStringLiteral("Уже скачанное сохранено")));
            cutting = false;
            if (QTest::currentTestFailed())
                return;
            lists = 0;
            older.requests.clear();
        }

        // Copied as a user copies a data folder to a new disk, the old one taken away (put back after).
        fixtures::DataFolderShape data;
        QTemporaryDir disk;
        const auto putBack = qScopeGuard([&] {
            if (!moved.isEmpty() && QDir().rename(disk.filePath(QStringLiteral("away")), data.home()))
                data.moveTo(data.home());
        });
        if (!moved.isEmpty()) {
            QCOMPARE(QProcess::execute(QStringLiteral("cp"),
                                       {moved, data.home(), disk.filePath(QStringLiteral("data"))}),
                     0);
            QVERIFY(QDir().rename(data.home(), disk.filePath(QStringLiteral("away"))));
            data.moveTo(disk.filePath(QStringLiteral("data")));
            QVERIFY(localIndex.setStoreFolders(ManagedStore().folders()));
            dest.setPath(QDir(ManagedStore().remoteDownloadsFolder()).filePath(layout.studyUid));
        }

        const qsizetype viewersBefore = fixtures::visibleViewers().size();
        const QString told = download(said.isEmpty() && removed + unlisted == 0 ? 0 : 1);
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(told.contains(said), qPrintable(told));
        // Each count where the text gives it: the number after the sentence's colon.
        const auto countIn = [&](const QString& key) {
            for (const QString& part : told.split(QStringLiteral("\n\n")))
                if (part.contains(key))
                    return QRegularExpression(QStringLiteral(": (\\d+)")).match(part).captured(1).toInt();
            return 0;
        };
        QCOMPARE(countIn(QStringLiteral("убраны")), removed);
        QCOMPARE(countIn(QStringLiteral("нет в списке")), unlisted);
        // What the earlier try left unfinished of objects the host no longer lists went, and is counted;
        // an earlier version's partial that nothing proves the program's stays, and is named with what to do.
        int unfinished = 0;
        QSet<QString> stayed;
        QSet<int> leftUnfinished(partial.cbegin(), partial.cend());
        leftUnfinished.unite(QSet<int>(earlierVersion.cbegin(), earlierVersion.cend()));
        for (const int i : std::as_const(leftUnfinished)) {
            if (listed.contains(earlier.at(i)))
                continue;
            if (!partial.contains(i) || !earlierVersion.contains(i)) {
                ++unfinished;
                continue;
            }
            stayed << uids.at(earlier.at(i));
            QVERIFY(told.contains(RemoteParallelDownloadWorker::fileNameFor(uids.at(i), i)));
            QVERIFY(told.contains(QStringLiteral("удалите их вручную")));
        }
        // Of listed objects, an earlier version's partials that nothing proves are named in one refusal;
        // an empty one has nothing to lose and is taken.
        for (const int i : std::as_const(earlierVersion))
            if (listed.contains(earlier.at(i)))
                QCOMPARE(told.contains(RemoteParallelDownloadWorker::fileNameFor(uids.at(i), i)),
                         partial.contains(i));
        unfinished += cut && !listed.contains(8) ? 1 : 0; // the file the cut try was refused
        QCOMPARE(countIn(QStringLiteral("недокачанные")), unfinished);
        QCOMPARE(fixtures::visibleViewers().size(), viewersBefore + (said.isEmpty() ? 1 : 0));
        // No file of another patient's study stays from this download, nor enters the index.
        QVERIFY(!localIndex.studyExists(otherPatient.studyUid));
        QSet<QString> held;
        for (const QString& file : dest.entryList({QStringLiteral("*.dcm")}, QDir::Files)) {
            const auto summary = dicom::readFileSummary(dest.filePath(file));
            held << (summary ? summary->sopInstanceUid : file);
        }
        QCOMPARE(held.contains(uids.at(9)), earlier.contains(9));
        // What opens is the host's study as it is, with what a whole download and the import gave: what
        // an unfinished earlier try got beside it went.
        if (said.isEmpty()) {
            QSet<QString> indexed, listedUids, kept;
            for (const db::IndexedFile& file : localIndex.studyFiles(layout.studyUid))
                indexed << file.sopInstanceUid;
            for (const int object : std::as_const(listed))
                listedUids << uids.at(object);
            for (const int object : whole + imported)
                kept << uids.at(object);
            QCOMPARE(indexed, listedUids + kept);
            // Every slice opens.
            for (const db::IndexedFile& file : localIndex.studyFiles(layout.studyUid))
                QVERIFY2(dicom::readFileSummary(file.filePath), qPrintable(file.filePath));
            for (const int object : std::as_const(imported))
                kept.remove(uids.at(object));
            QCOMPARE(held, listedUids + kept + stayed);
        }
        if (earlier.isEmpty())
            return;
        // A file already here is compared with the host's from its end: no byte of it travels again. An
        // empty one is taken from its start.
        for (const QJsonObject& r : std::as_const(older.requests)) {
            const int at = r.value(QStringLiteral("index")).toInt();
            if (remoteproto::typeOf(r) == QLatin1String("getFile"))
                QCOMPARE(r.value(QStringLiteral("offset")).toDouble(),
                         earlierVersion.contains(at) && !partial.contains(at)
                             ? 0.0
                             : double(objects.at(earlier.at(at)).size()));
        }
    }

    void pacsSearchRetrieveAndLostConnection()
    {
        RemoteBrowserDialog d(&localIndex, nullptr);
        d.show();
        QVERIFY(!child<QWidget>(&d, "parametersPanel")->isVisibleTo(&d)); // address stored: collapsed
        QTest::mouseClick(child<QPushButton>(&d, "connectButton"), Qt::LeftButton);
        child<QLineEdit>(&d, "pacsNameEdit")->setText(QStringLiteral("Gamm"));
        child<QComboBox>(&d, "pacsPeriodCombo")->setCurrentIndex(5);
        QVERIFY(!child<QDateEdit>(&d, "pacsDateTo")->isHidden());
        child<QComboBox>(&d, "pacsPeriodCombo")->setCurrentIndex(0);
        QTest::mouseClick(child<QPushButton>(&d, "pacsFindButton"), Qt::LeftButton);
        auto* results = child<QTableWidget>(&d, "pacsResultsTable");
        QCOMPARE(child<QLabel>(&d, "pacsStatusLabel")->text(), QStringLiteral("Найдено исследований: 1"));
        QCOMPARE(results->item(0, 0)->data(Qt::UserRole).toString(), gamma.studyUid);
        QVERIFY(results->item(0, 5)->text().contains(QLatin1Char('/')));

        // A search the PACS cut short is relayed with its rows and said to be incomplete.
        child<QComboBox>(&d, "pacsServerCombo")->setCurrentIndex(2);
        QTest::mouseClick(child<QPushButton>(&d, "pacsFindButton"), Qt::LeftButton);
        QCOMPARE(results->rowCount(), 2);
        QCOMPARE(child<QLabel>(&d, "pacsStatusLabel")->text(),
                 QStringLiteral("Найдено исследований: 2 ") + pacs::incompleteSearchText(2));
        child<QComboBox>(&d, "pacsServerCombo")->setCurrentIndex(0);
        QTest::mouseClick(child<QPushButton>(&d, "pacsFindButton"), Qt::LeftButton);
        QCOMPARE(child<QLabel>(&d, "pacsStatusLabel")->text(), QStringLiteral("Найдено исследований: 1"));

        // The retrieve goes to the server that found the study, not to the one chosen since.
        child<QComboBox>(&d, "pacsServerCombo")->setCurrentIndex(1);
        results->setCurrentCell(0, 0);
        {
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            QTest::mouseClick(child<QPushButton>(&d, "pacsDownloadButton"), Qt::LeftButton);
            QVERIFY2(answer.texts().value(0).startsWith(QStringLiteral("Исследование получено")),
                     qPrintable(answer.texts().join('|')));
        }
        QVERIFY(hostIndex.studyExists(gamma.studyUid));
        QCOMPARE(child<QTabWidget>(&d, "tabs")->currentIndex(), 0);
        QCOMPARE(child<QTableWidget>(&d, "archiveTable")->rowCount(), 4);

        relay.dropAll();
        QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(&d, "statusLabel")->text().startsWith(QStringLiteral("Соединение прервано: ")),
                                 10000);
        QCOMPARE(child<QTableWidget>(&d, "archiveTable")->rowCount(), 0);
        QVERIFY(!child<QPushButton>(&d, "downloadOpenButton")->isEnabled());
    }

    void connectionValuesStayPrivate_data()
    {
        QTest::addColumn<QString>("side");
        QTest::addColumn<bool>("fileBefore"); // the settings file exists, readable by all
        QTest::newRow("hosting side installs, new file") << "host" << false;
        QTest::newRow("hosting side installs, existing file") << "host" << true;
        QTest::newRow("browser connects, existing file") << "connect" << true;
        QTest::newRow("browser saves a server, new file") << "save" << false;
    }
    void connectionValuesStayPrivate()
    {
        QFETCH(QString, side);
        QFETCH(bool, fileBefore);
        const mode_t umaskBefore = ::umask(022);
        const QString file = QSettings().fileName();
        const QString folder = QFileInfo(file).absolutePath();
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        QFile::remove(file);
        if (fileBefore) {
            QSettings().setValue(QStringLiteral("remoteBrowserConnection/host"), QStringLiteral("127.0.0.1"));
            QSettings().sync();
            QCOMPARE(fixtures::fileMode(file), 0644);
        }

        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answer.setDialogHandler([](QDialog* dialog) {
            if (auto* input = qobject_cast<QInputDialog*>(dialog))
                input->setTextValue(QStringLiteral("Клиника"));
            return true;
        });
        if (side == "host") {
            RemoteAccessDialog hosting(nullptr);
            emit hosting.provisioner()->finished(true, QString(), QStringLiteral("127.0.0.1"), relay.port(),
                                                 kToken, cert.fingerprint());
        } else {
            RemoteBrowserDialog d(&localIndex, nullptr);
            fillFields(&d, cert.fingerprint());
            QTest::mouseClick(child<QPushButton>(&d, side == "save" ? "saveServerButton" : "connectButton"),
                              Qt::LeftButton);
        }
        QSettings().sync();
        ::umask(umaskBefore);
        const QString secretKey = side == "host"      ? QStringLiteral("remoteAccess/e2eSecret")
                                  : side == "connect" ? QStringLiteral("remoteBrowserConnection/e2eSecret")
                                                      : QStringLiteral("remoteServers/1/e2eSecret");
        QVERIFY(!QSettings().value(secretKey).toString().isEmpty());
        QCOMPARE(fixtures::fileMode(file), 0600);
        QCOMPARE(fixtures::fileMode(folder), 0700);
    }
};

QTEST_MAIN(RemoteBrowserTest)
#include "tst_remotebrowser.moc"
