// The DICOM tag editor on real files and a real index: the table and its read-only cells, saving
// into one file or the whole study with the re-index, the refusals, and the viewer's toolbar entry.

#include "support/ChangeBeforeValues.h"
#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"
#include "support/TestFiles.h"

#include "app/MainWindow.h"
#include "db/Database.h"
#include "db/RowFileProof.h"
#include "dialogs/DicomTagEditorDialog.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomNesting.h"
#include "dicom/DicomTagList.h"
#include "dicom/FileIdentity.h"
#include "platform/ContentDigest.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/ViewerWindow.h"

#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QToolBar>
#include <QtTest>

#include <memory>

namespace {

QTableWidget* tableOf(DicomTagEditorDialog& d)
{
    return d.findChild<QTableWidget*>(QStringLiteral("tagTable"));
}

QString statusOf(DicomTagEditorDialog& d)
{
    return d.findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
}

int rowOf(QTableWidget* t, const QString& group, const QString& element)
{
    for (int r = 0; r < t->rowCount(); ++r)
        if (t->item(r, 0)->text() == group && t->item(r, 1)->text() == element)
            return r;
    return -1;
}

QString tagValue(const QString& path, quint16 group, quint16 element)
{
    for (const dicom::TagEntry& e : dicom::readTagList(path))
        if (e.group == group && e.element == element)
            return e.value;
    return QStringLiteral("<missing>");
}

void setValue(DicomTagEditorDialog& d, const QString& group, const QString& element, const QString& value)
{
    QTableWidget* t = tableOf(d);
    const int row = rowOf(t, group, element);
    QVERIFY(row >= 0);
    t->item(row, 4)->setText(value);
}

void save(DicomTagEditorDialog& d)
{
    d.findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
}

struct Study
{
    QString uid;
    QString seriesUid;
    QStringList singleFiles; // the single-frame series
    QString multiFrame;      // four frames, four index rows
    QStringList rowPaths;    // one entry per index row, series by series
};

Study writeStudy(db::Database& index, const QString& dir)
{
    Study s;
    fixtures::SeriesLayout layout;
    layout.rows = layout.columns = 16;
    layout.slices = 3;
    layout.studyDescription = QStringLiteral("Исходное описание");
    if (!fixtures::writeAndIndexSeries(index, dir + QStringLiteral("/single"), layout))
        return s;
    s.uid = layout.studyUid;
    s.seriesUid = layout.seriesUid;
    for (const db::InstanceRecord& r : index.instancesForSeries(layout.seriesUid))
        s.singleFiles << r.filePath;
    fixtures::SeriesLayout multi = layout;
    multi.seriesUid.clear();
    multi.seriesNumber = QStringLiteral("2");
    multi.slices = 4;
    s.multiFrame = fixtures::writeMultiFrame(dir + QStringLiteral("/multi.dcm"), multi);
    if (s.multiFrame.isEmpty() || !fixtures::indexFiles(index, {s.multiFrame}))
        return {};
    s.rowPaths = s.singleFiles;
    for (int i = 0; i < 4; ++i)
        s.rowPaths << s.multiFrame;
    return s;
}

QString studyDescription(db::Database& index, const QString& uid)
{
    for (const db::StudyRecord& r : index.allStudies())
        if (r.studyInstanceUid == uid)
            return r.studyDescription;
    return {};
}

} // namespace

class TestTagEditor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Brisvane"));
        QCoreApplication::setApplicationName(QStringLiteral("VavovIvirur"));
    }

    void init()
    {
        QSettings().clear();
        m_dir = std::make_unique<QTemporaryDir>();
        m_index = std::make_unique<db::Database>();
        QVERIFY(m_index->open(m_dir->filePath(QStringLiteral("index.sqlite3"))));
        m_study = writeStudy(*m_index, m_dir->filePath(QStringLiteral("study")));
        QVERIFY(!m_study.uid.isEmpty());
    }

    void cleanup()
    {
        m_index.reset();
        m_dir.reset();
    }

    void tableShowsEveryElementAndLocksTheRisky()
    {
        const QString file = m_study.singleFiles.first();
        DicomTagEditorDialog d(file, nullptr, m_study.rowPaths, m_index.get());
        QTableWidget* t = tableOf(d);
        const QList<dicom::TagEntry> entries = dicom::readTagList(file);
        QCOMPARE(t->rowCount(), entries.size());
        QCOMPARE(statusOf(d), QStringLiteral("Всего тегов: %1").arg(entries.size()));
        QCOMPARE(rowOf(t, QStringLiteral("7FE0"), QStringLiteral("0010")), -1);

        // Meta header: locked even for an editable VR (Media Storage SOP Instance UID is UI).
        const int meta = rowOf(t, QStringLiteral("0002"), QStringLiteral("0003"));
        QVERIFY(meta >= 0);
        QVERIFY(!(t->item(meta, 4)->flags() & Qt::ItemIsEditable));
        QCOMPARE(t->item(meta, 4)->toolTip(), QStringLiteral("Служебный тег файла (группа 0002) — не редактируется"));
        // Rows (US): a binary VR.
        const int rows = rowOf(t, QStringLiteral("0028"), QStringLiteral("0010"));
        QCOMPARE(t->item(rows, 2)->text(), QStringLiteral("US"));
        QVERIFY(!(t->item(rows, 4)->flags() & Qt::ItemIsEditable));
        QCOMPARE(t->item(rows, 4)->toolTip(), QStringLiteral("Этот VR (US) не редактируется — риск повредить файл"));
        // Patient's Name (PN): editable, plain; the descriptive columns never are.
        const int name = rowOf(t, QStringLiteral("0010"), QStringLiteral("0010"));
        QVERIFY(t->item(name, 4)->flags() & Qt::ItemIsEditable);
        QCOMPARE(t->item(name, 4)->text(), QStringLiteral("Test^Patient"));
        for (int c = 0; c < 4; ++c)
            QVERIFY(!(t->item(name, c)->flags() & Qt::ItemIsEditable));

        // Binary, sequence and unknown VRs are never edited as text.
        for (const char* vr : {"SQ", "OB", "UN", "FD", "pn", ""})
            QVERIFY2(!DicomTagEditorDialog::isEditableVr(QString::fromLatin1(vr)), vr);

        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
    }

    void saveButtonNamesItsTargets_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<QString>("tip");
        QTest::newRow("none") << 0 << QStringLiteral("Изменённые значения будут записаны в этот файл.");
        QTest::newRow("one") << 1 << QStringLiteral("Изменённые значения будут записаны в этот файл.");
        QTest::newRow("seven rows") << 7 << QStringLiteral("ВСЕ 7 снимков");
    }

    void saveButtonNamesItsTargets()
    {
        QFETCH(int, files);
        QFETCH(QString, tip);
        DicomTagEditorDialog d(m_study.singleFiles.first(), nullptr, m_study.rowPaths.mid(0, files), nullptr);
        QVERIFY(d.findChild<QPushButton*>(QStringLiteral("saveButton"))->toolTip().contains(tip));
    }

    void unchangedValuesAreNotSaved()
    {
        const QString file = m_study.singleFiles.first();
        DicomTagEditorDialog d(file, nullptr, {file}, m_index.get());
        QSignalSpy changed(&d, &DicomTagEditorDialog::tagsChanged);
        setValue(d, QStringLiteral("0010"), QStringLiteral("0010"), QStringLiteral("Other"));
        setValue(d, QStringLiteral("0010"), QStringLiteral("0010"), QStringLiteral("Test^Patient"));
        fixtures::ModalAnswer answer(QMessageBox::Yes);
        save(d);
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Нет изменений")});
        QVERIFY(answer.texts().first().startsWith(QStringLiteral("Ни одно значение не отличается от исходного")));
        QCOMPARE(changed.count(), 0);
    }

    void oneFileIsWrittenAndIndexedAgain()
    {
        const QString file = m_study.singleFiles.first();
        const QString other = m_study.singleFiles.at(1);
        // A copy of the program's: edited, it is known by its new bytes.
        QVERIFY(fixtures::indexFiles(*m_index, {file}, true));
        DicomTagEditorDialog d(file, nullptr, {file}, m_index.get());
        QSignalSpy changed(&d, &DicomTagEditorDialog::tagsChanged);
        setValue(d, QStringLiteral("0010"), QStringLiteral("0010"), QStringLiteral("Иванов^Пётр"));
        setValue(d, QStringLiteral("0008"), QStringLiteral("1030"), QStringLiteral("КТ грудной клетки"));
        fixtures::ModalAnswer answer(QMessageBox::Yes);
        save(d);
        QCOMPARE(answer.titles(), (QStringList{QStringLiteral("Сохранить изменения?"), QStringLiteral("Готово")}));
        QCOMPARE(answer.texts().first(),
                 QStringLiteral("Файл будет перезаписан с новыми значениями тегов (2 шт.). Это необратимо. Продолжить?"));
        QCOMPARE(answer.texts().last(), QStringLiteral("Изменения записаны."));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(tagValue(file, 0x0010, 0x0010), QStringLiteral("Иванов^Пётр"));
        QCOMPARE(tagValue(other, 0x0010, 0x0010), QStringLiteral("Test^Patient"));
        QCOMPARE(studyDescription(*m_index, m_study.uid), QStringLiteral("КТ грудной клетки"));
        const std::optional<db::IndexedFile> edited =
            m_index->objectFile(dicom::readFileSummary(file)->sopInstanceUid);
        QVERIFY(edited && edited->ownCopy == std::optional<bool>(true));
        QCOMPARE(edited->contentDigest, platform::ContentDigest::of(file));
        // The table is read again: the written value is the loaded one now.
        QCOMPARE(statusOf(d), QStringLiteral("Всего тегов: %1").arg(dicom::readTagList(file).size()));
        answer.setButton(QMessageBox::Ok);
        save(d);
        QCOMPARE(answer.titles().last(), QStringLiteral("Нет изменений"));
    }

    void wholeStudyWritesEachFileOnce()
    {
        const QString file = m_study.singleFiles.first();
        DicomTagEditorDialog d(file, nullptr, m_study.rowPaths, m_index.get());
        QSignalSpy changed(&d, &DicomTagEditorDialog::tagsChanged);
        setValue(d, QStringLiteral("0008"), QStringLiteral("1030"), QStringLiteral("Новое описание"));
        fixtures::ModalAnswer answer(QMessageBox::Yes);
        save(d);
        // Seven index rows, four files: the multi-frame file is one target.
        QCOMPARE(answer.texts().first(), QStringLiteral("Эти же 1 изменённых значений тегов будут записаны во ВСЕ 4 "
                                                        "файлов текущего исследования. Это необратимо. Продолжить?"));
        QCOMPARE(answer.texts().last(), QStringLiteral("Изменения записаны во все 4 файлов исследования."));
        QCOMPARE(changed.count(), 1);
        for (const QString& path : m_study.singleFiles + QStringList{m_study.multiFrame})
            QCOMPARE(tagValue(path, 0x0008, 0x1030), QStringLiteral("Новое описание"));
        QCOMPARE(studyDescription(*m_index, m_study.uid), QStringLiteral("Новое описание"));
        // The multi-frame file still has its four frames in the index, and the files the editor wrote
        // are known as they are now: none is read again as if another program had changed it.
        const int readBefore = db::RowFileProof::filesReadAgain();
        int rows = 0;
        for (const db::SeriesRecord& s : m_index->seriesForStudy(m_study.uid))
            rows += m_index->instancesForSeries(s.seriesInstanceUid).size();
        QCOMPARE(rows, 7);
        QCOMPARE(db::RowFileProof::filesReadAgain(), readBefore);
    }

    // From the first file written to the last, the study stands marked as being edited, so that a
    // kill in between is named at the next start; a save that ends leaves no mark.
    void editStandsMarkedWhileItsFilesAreWritten()
    {
        DicomTagEditorDialog d(m_study.singleFiles.first(), nullptr, m_study.rowPaths, m_index.get());
        QList<QStringList> marksWhileWriting;
        connect(m_index.get(), &db::Database::studyChanged, this,
                [this, &marksWhileWriting] { marksWhileWriting << m_index->unfinishedEdits(); });
        setValue(d, QStringLiteral("0010"), QStringLiteral("0010"), QStringLiteral("Новое^Имя"));
        fixtures::ModalAnswer answer(QMessageBox::Yes);
        save(d);
        QCOMPARE(marksWhileWriting.size(), 4); // one file indexed again at a time
        for (const QStringList& marks : std::as_const(marksWhileWriting))
            QCOMPARE(marks, QStringList{m_study.uid});
        QVERIFY(m_index->unfinishedEdits().isEmpty());
    }

    void answeringNoWritesNothing()
    {
        const QString file = m_study.singleFiles.first();
        const QByteArray before = [&] { QFile f(file); f.open(QIODevice::ReadOnly); return f.readAll(); }();
        DicomTagEditorDialog d(file, nullptr, m_study.rowPaths, m_index.get());
        QSignalSpy changed(&d, &DicomTagEditorDialog::tagsChanged);
        setValue(d, QStringLiteral("0010"), QStringLiteral("0020"), QStringLiteral("X1"));
        fixtures::ModalAnswer answer(QMessageBox::No);
        save(d);
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Сохранить изменения?")});
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(tableOf(d)->item(rowOf(tableOf(d), "0010", "0020"), 4)->text(), QStringLiteral("X1"));
    }

    void withoutIndexFilesAreWrittenOnly()
    {
        const QString file = m_study.singleFiles.first();
        DicomTagEditorDialog d(file, nullptr, {}, nullptr);
        QSignalSpy changed(&d, &DicomTagEditorDialog::tagsChanged);
        setValue(d, QStringLiteral("0008"), QStringLiteral("1030"), QStringLiteral("Без индекса"));
        fixtures::ModalAnswer answer(QMessageBox::Yes);
        save(d);
        QCOMPARE(answer.texts().last(), QStringLiteral("Изменения записаны."));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(tagValue(file, 0x0008, 0x1030), QStringLiteral("Без индекса"));
        QCOMPARE(tagValue(m_study.singleFiles.at(1), 0x0008, 0x1030), QStringLiteral("Исходное описание"));
        QCOMPARE(studyDescription(*m_index, m_study.uid), QStringLiteral("Исходное описание"));
    }

    // The files are written but the index refuses their rows: the editor must not say all is done.
    void refusedReindexIsReported_data()
    {
        QTest::addColumn<bool>("wholeStudy");
        QTest::newRow("one file") << false;
        QTest::newRow("whole study") << true;
    }

    void refusedReindexIsReported()
    {
        QFETCH(bool, wholeStudy);
        const QString file = m_study.singleFiles.first();
        QSqlQuery q(QSqlDatabase::database(m_index->connectionName(), false));
        QVERIFY(q.exec("CREATE TRIGGER refuse BEFORE UPDATE ON studies BEGIN SELECT RAISE(ABORT, 'index refused'); END"));
        DicomTagEditorDialog d(file, nullptr, wholeStudy ? m_study.rowPaths : QStringList{file}, m_index.get());
        QSignalSpy changed(&d, &DicomTagEditorDialog::tagsChanged);
        setValue(d, QStringLiteral("0008"), QStringLiteral("1030"), QStringLiteral("Отказано"));
        fixtures::ModalAnswer answer(QMessageBox::Yes);
        save(d);
        QCOMPARE(answer.titles(), (QStringList{QStringLiteral("Сохранить изменения?"), QStringLiteral("База не обновлена")}));
        const QString text = answer.texts().last();
        QVERIFY2(text.contains(QStringLiteral(" %1 ").arg(wholeStudy ? 4 : 1)), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("index refused")), qPrintable(text));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(tagValue(file, 0x0008, 0x1030), QStringLiteral("Отказано"));
        QCOMPARE(studyDescription(*m_index, m_study.uid), QStringLiteral("Исходное описание"));
    }

    void failedFilesAreListed_data()
    {
        QTest::addColumn<bool>("oneGood");
        // When a listed file came to hold another study's image: since it was listed, as it is read for
        // the edit, or once the edited copy is written and before it is put in the file's place.
        QTest::addColumn<QString>("replacedWhen");
        QTest::newRow("all fail") << false << "";
        QTest::newRow("one of three written") << true << "";
        QTest::newRow("one of four written, one replaced by another study's") << true << "listed";
        QTest::newRow("one of four written, one replaced as it is read") << true << "read";
        QTest::newRow("one of four written, one replaced as its copy is written") << true << "written";
    }

    void failedFilesAreListed()
    {
        QFETCH(bool, oneGood);
        QFETCH(QString, replacedWhen);
        const bool replaced = !replacedWhen.isEmpty();
        const QString file = m_study.singleFiles.first();
        const QString missing = m_dir->filePath(QStringLiteral("gone.dcm"));
        const QString truncated = m_dir->filePath(QStringLiteral("cut.dcm"));
        fixtures::writeTruncatedCopy(m_study.singleFiles.at(1), truncated, 200);
        QStringList targets{missing, truncated};
        if (oneGood)
            targets.prepend(file);
        const QString other = m_study.singleFiles.at(2);
        if (replaced)
            targets << other;
        DicomTagEditorDialog d(file, nullptr, targets, m_index.get());
        fixtures::SeriesLayout another;
        another.rows = another.columns = 16;
        const QString anotherFile = m_dir->filePath(QStringLiteral("another.dcm"));
        const QByteArray otherBytes = fixtures::readFile(fixtures::writeSlice(anotherFile, another, 0));
        const auto replace = [&] { QVERIFY(fixtures::replaceFileBytes(other, otherBytes)); };
        if (replacedWhen == QLatin1String("listed"))
            replace();
        fixtures::ChangeBeforeValues asRead(other, [&] {
            if (replacedWhen == QLatin1String("read"))
                replace();
        });
        // The edited copy is read back beside the file, under a hidden name of its own, before it takes
        // the file's place.
        struct Written
        {
            QString folder, copies;
            std::function<void()> replace;
            bool done = false;
        } written{QFileInfo(other).path(), QStringLiteral(".%1.*.tmp").arg(QFileInfo(other).fileName()),
                  replace};
        if (replacedWhen == QLatin1String("written")) {
            dicom::testing::setBeforeWalkHook(
                [](void* context) {
                    auto* w = static_cast<Written*>(context);
                    const QDir folder(w->folder);
                    if (!w->done && !folder.entryList({w->copies}, QDir::Files | QDir::Hidden).isEmpty()) {
                        w->done = true;
                        w->replace();
                    }
                },
                &written);
        }
        QSignalSpy changed(&d, &DicomTagEditorDialog::tagsChanged);
        setValue(d, QStringLiteral("0008"), QStringLiteral("1030"), QStringLiteral("Частично"));
        fixtures::ModalAnswer answer(QMessageBox::Yes);
        save(d);
        dicom::testing::setBeforeWalkHook(nullptr, nullptr);
        QCOMPARE(written.done, replacedWhen == QLatin1String("written"));
        QCOMPARE(answer.titles().last(), QStringLiteral("Есть ошибки"));
        const QString text = answer.texts().last();
        const int failed = replaced ? 3 : 2;
        QVERIFY2(text.startsWith(QStringLiteral("Не удалось применить к %1 файлам:\n\n").arg(failed)),
                 qPrintable(text));
        QCOMPARE(text.contains(QStringLiteral("%1: ").arg(QFileInfo(other).fileName())), replaced);
        if (replaced)
            QCOMPARE(fixtures::readFile(other), otherBytes);
        if (replacedWhen == QLatin1String("read"))
            QVERIFY2(text.contains(QStringLiteral("другой снимок")), qPrintable(text));
        if (replacedWhen == QLatin1String("written"))
            QVERIFY2(text.contains(QStringLiteral("файл изменился после того, как был прочитан")),
                     qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("gone.dcm: Не удалось открыть файл: %1").arg(missing)));
        QVERIFY(text.contains(QStringLiteral("cut.dcm: ")));
        QCOMPARE(changed.count(), oneGood ? 1 : 0);
        QCOMPARE(tagValue(file, 0x0008, 0x1030), oneGood ? QStringLiteral("Частично") : QStringLiteral("Исходное описание"));
        // The table is read again from the file whatever the outcome.
        const int row = rowOf(tableOf(d), "0008", "1030");
        QCOMPARE(tableOf(d)->item(row, 4)->text(), tagValue(file, 0x0008, 0x1030));
        QVERIFY(!QFileInfo::exists(missing));
    }

    // Patient and study elements go into the whole study, series elements into their series, the rest
    // into the shown file; the index follows edited UIDs and IDs and lists the study once.
    void editsGoWhereTheirElementBelongs_data()
    {
        QTest::addColumn<quint16>("group");
        QTest::addColumn<quint16>("element");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("written"); // 4: the study, 3: the shown series, 1: the shown file
        QTest::addColumn<bool>("sameObject"); // the file keeps its place in the study's file order
        QTest::newRow("study description") << quint16(0x0008) << quint16(0x1030) << "Новое" << 4 << true;
        QTest::newRow("patient id") << quint16(0x0010) << quint16(0x0020) << "NEW-ID" << 4 << true;
        QTest::newRow("study uid") << quint16(0x0020) << quint16(0x000D) << fixtures::newUid() << 4 << true;
        QTest::newRow("series description") << quint16(0x0008) << quint16(0x103E) << "Серия" << 3 << true;
        QTest::newRow("series uid") << quint16(0x0020) << quint16(0x000E) << fixtures::newUid() << 3 << true;
        QTest::newRow("instance number") << quint16(0x0020) << quint16(0x0013) << "42" << 1 << true;
        QTest::newRow("instance uid")
            << quint16(0x0008) << quint16(0x0018) << fixtures::newUid() << 1 << false;
    }

    void editsGoWhereTheirElementBelongs()
    {
        QFETCH(quint16, group);
        QFETCH(quint16, element);
        QFETCH(QString, value);
        QFETCH(int, written);
        QFETCH(bool, sameObject);
        m_index->setStudyProtected(m_study.uid, true);
        const QStringList order = m_index->studyFilePaths(m_study.uid);
        const QString file = m_study.singleFiles.first();
        DicomTagEditorDialog d(file, nullptr, m_study.rowPaths, m_index.get());
        setValue(d, QStringLiteral("%1").arg(group, 4, 16, QLatin1Char('0')).toUpper(),
                 QStringLiteral("%1").arg(element, 4, 16, QLatin1Char('0')).toUpper(), value);
        fixtures::ModalAnswer answer(QMessageBox::Yes);
        save(d);
        QCOMPARE(answer.titles().last(), QStringLiteral("Готово"));
        const QStringList files = m_study.singleFiles + QStringList{m_study.multiFrame};
        for (int i = 0; i < files.size(); ++i)
            QCOMPARE(tagValue(files[i], group, element) == value, i < written);

        const QList<db::StudyRecord> studies = m_index->allStudies();
        QCOMPARE(studies.size(), 1);
        const auto summary = dicom::readFileSummary(file);
        QVERIFY(summary);
        QCOMPARE(studies[0].studyInstanceUid, summary->studyInstanceUid);
        QCOMPARE(studies[0].patientId, summary->patientId);
        QVERIFY(studies[0].isProtected);
        QList<int> rowsPerSeries;
        for (const db::SeriesRecord& series : m_index->seriesForStudy(summary->studyInstanceUid))
            rowsPerSeries << int(m_index->instancesForSeries(series.seriesInstanceUid).size());
        std::sort(rowsPerSeries.begin(), rowsPerSeries.end());
        QCOMPARE(rowsPerSeries, (QList<int>{3, 4}));
        QCOMPARE(m_index->instancesForSeries(summary->seriesInstanceUid).size(), 3);
        QCOMPARE(m_index->studyFilePaths(summary->studyInstanceUid) == order, sameObject);
    }

    // The refusal names the file and why the reading refused it.
    void unreadableFileShowsTheReadersText_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a value past the end") << QStringLiteral("cut") << QStringLiteral("за конец");
        QTest::newRow("empty") << QStringLiteral("empty") << QStringLiteral("не является файлом DICOM");
        QTest::newRow("nested too deep") << QStringLiteral("nested") << QStringLiteral("вложенность");
        QTest::newRow("gone") << QStringLiteral("gone") << QStringLiteral("не найден");
        // Shown for its row, the file holds another study's image by now.
        QTest::newRow("another study's") << QStringLiteral("replaced") << QStringLiteral("другой снимок");
    }

    void unreadableFileShowsTheReadersText()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        const QString bad = m_dir->filePath(QStringLiteral("bad.dcm"));
        if (kind == QLatin1String("cut")) {
            fixtures::writeBytes(bad, QByteArray(300, 'x'));
        } else if (kind == QLatin1String("empty")) {
            fixtures::writeBytes(bad, QByteArray());
        } else if (kind == QLatin1String("nested")) {
            QVERIFY(QFile::copy(m_study.singleFiles.first(), bad));
            fixtures::appendNestedSequences(bad, dicom::kMaxSequenceNesting + 1);
        }
        dicom::RowObject row;
        if (kind == QLatin1String("replaced")) {
            QVERIFY(QFile::copy(m_study.singleFiles.first(), bad));
            row = {dicom::readFileSummary(bad)->sopInstanceUid, dicom::fileIdentity(bad).text()};
            fixtures::SeriesLayout another;
            another.rows = another.columns = 16;
            const QString other =
                fixtures::writeSlice(m_dir->filePath(QStringLiteral("another.dcm")), another, 0);
            QVERIFY(fixtures::replaceFileBytes(bad, fixtures::readFile(other)));
        }
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        DicomTagEditorDialog d(bad, nullptr, {bad}, m_index.get(), row);
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Ошибка")});
        QCOMPARE(answer.texts().size(), 1);
        const QStringList lines = answer.texts().first().split(QLatin1Char('\n'));
        QCOMPARE(lines.first(), QStringLiteral("Не удалось открыть файл: %1").arg(bad));
        QVERIFY2(lines.size() == 2 && lines.last().contains(reason), qPrintable(answer.texts().first()));
        QCOMPARE(tableOf(d)->rowCount(), 0);
    }

    void viewerEntryOpensTheEditorAndReloads()
    {
        MainWindow main;
        Study study = writeStudy(*main.database(), m_dir->filePath(QStringLiteral("viewer")));
        QVERIFY(!study.uid.isEmpty());
        main.refreshStudyTable();

        auto* viewer = new ViewerWindow(main.database(), study.uid, study.seriesUid);
        viewer->show();
        QVERIFY(QTest::qWaitForWindowExposed(viewer));
        QTRY_VERIFY_WITH_TIMEOUT(viewer->panel(viewer->activePanelIndex())->currentSlice().has_value(), 30000);
        QAction* tags = nullptr;
        for (QAction* a : viewer->customizableActions())
            if (a->objectName() == QStringLiteral("dicomTags"))
                tags = a;
        QVERIFY(tags);
        QVERIFY(tags->isEnabled());

        tags->trigger();
        auto* dialog = viewer->findChild<DicomTagEditorDialog*>();
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible() && !dialog->isModal());
        // Every index row of the study, the multi-frame file once per frame.
        QVERIFY(dialog->findChild<QPushButton*>(QStringLiteral("saveButton"))->toolTip().contains(
            QStringLiteral("ВСЕ 7 снимков")));

        setValue(*dialog, QStringLiteral("0010"), QStringLiteral("0010"), QStringLiteral("Петров^Иван"));
        {
            fixtures::ModalAnswer answer(QMessageBox::Yes);
            save(*dialog);
            QCOMPARE(answer.texts().last(), QStringLiteral("Изменения записаны во все 4 файлов исследования."));
        }
        // The study list shows the new name, the panel its series again.
        bool listed = false;
        for (int c = 0; c < main.studyTable()->columnCount(); ++c)
            listed = listed || main.studyTable()->item(0, c)->text() == QStringLiteral("Петров^Иван");
        QVERIFY(listed);
        QCOMPARE(viewer->panelSeriesUid(viewer->activePanelIndex()), study.seriesUid);
        QCOMPARE(viewer->panel(viewer->activePanelIndex())->sliceCount(), 3);
        QPointer<DicomTagEditorDialog> guard(dialog);
        dialog->findChild<QPushButton*>(QStringLiteral("closeButton"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(!guard, 30000);

        // A panel without an image has nothing to show.
        viewer->setActiveViewport(1);
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        tags->trigger();
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("DICOM-теги")});
        QCOMPARE(answer.texts(), QStringList{QStringLiteral("Сначала откройте снимок в активной панели.")});
        QVERIFY(!viewer->findChild<DicomTagEditorDialog*>());
        viewer->close();
    }

    void comparedStudyEditsItsOwnFiles()
    {
        MainWindow main;
        Study primary = writeStudy(*main.database(), m_dir->filePath(QStringLiteral("primary")));
        fixtures::SeriesLayout earlier;
        earlier.rows = earlier.columns = 16;
        earlier.slices = 2;
        earlier.studyDate = QStringLiteral("20230101");
        earlier.studyDescription = QStringLiteral("Прошлое");
        QVERIFY(fixtures::writeAndIndexSeries(*main.database(), m_dir->filePath(QStringLiteral("earlier")), earlier));

        auto* viewer = new ViewerWindow(main.database(), primary.uid, primary.seriesUid);
        viewer->show();
        QVERIFY(QTest::qWaitForWindowExposed(viewer));
        viewer->openComparisonStudy(earlier.studyUid);
        QCOMPARE(viewer->panelSeriesUid(viewer->activePanelIndex()), earlier.seriesUid);
        viewer->showDicomTags();
        auto* dialog = viewer->findChild<DicomTagEditorDialog*>();
        QVERIFY(dialog);
        QVERIFY(dialog->findChild<QPushButton*>(QStringLiteral("saveButton"))->toolTip().contains(QStringLiteral("ВСЕ 2 снимков")));
        setValue(*dialog, QStringLiteral("0008"), QStringLiteral("1030"), QStringLiteral("Прошлое, уточнено"));
        {
            fixtures::ModalAnswer answer(QMessageBox::Yes);
            save(*dialog);
            QCOMPARE(answer.texts().last(), QStringLiteral("Изменения записаны во все 2 файлов исследования."));
        }
        QCOMPARE(studyDescription(*main.database(), earlier.studyUid), QStringLiteral("Прошлое, уточнено"));
        QCOMPARE(studyDescription(*main.database(), primary.uid), QStringLiteral("Исходное описание"));
        for (const QString& path : primary.singleFiles)
            QCOMPARE(tagValue(path, 0x0008, 0x1030), QStringLiteral("Исходное описание"));
        viewer->close();
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<db::Database> m_index;
    Study m_study;
};

QTEST_MAIN(TestTagEditor)
#include "tst_tageditor.moc"
