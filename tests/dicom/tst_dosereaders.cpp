// The dose page's readers on CT images and on radiation dose reports built here with DCMTK.
#include "support/DicomFixtures.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DoseReaders.h"

#include <QTemporaryDir>
#include <QTest>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <functional>
#include <optional>

using namespace fixtures;

namespace {

// One content item of a structured report.
struct Node
{
    QString valueType;              // "CONTAINER", "NUM", ...
    QString code;                   // concept name code value
    QString scheme = QStringLiteral("DCM");
    QString number;                 // numeric value of a NUM item
    QList<Node> children;
};

void fillItem(DcmItem& item, const Node& node)
{
    item.putAndInsertString(DCM_ValueType, node.valueType.toLatin1().constData());
    if (!node.code.isEmpty()) {
        DcmItem* conceptName = nullptr;
        item.findOrCreateSequenceItem(DCM_ConceptNameCodeSequence, conceptName, -2);
        conceptName->putAndInsertString(DCM_CodeValue, node.code.toLatin1().constData());
        conceptName->putAndInsertString(DCM_CodingSchemeDesignator, node.scheme.toLatin1().constData());
        conceptName->putAndInsertString(DCM_CodeMeaning, "Concept");
    }
    if (!node.number.isNull()) {
        DcmItem* measured = nullptr;
        item.findOrCreateSequenceItem(DCM_MeasuredValueSequence, measured, -2);
        measured->putAndInsertString(DCM_NumericValue, node.number.toLatin1().constData());
    }
    for (const Node& child : node.children) {
        DcmItem* childItem = nullptr;
        item.findOrCreateSequenceItem(DCM_ContentSequence, childItem, -2);
        fillItem(*childItem, child);
    }
}

QString writeReport(const QString& path, const QString& modality, const Node& root)
{
    DcmDataset ds;
    ds.putAndInsertString(DCM_SOPClassUID, UID_XRayRadiationDoseSRStorage);
    ds.putAndInsertString(DCM_SOPInstanceUID, newUid().toLatin1().constData());
    ds.putAndInsertString(DCM_StudyInstanceUID, newUid().toLatin1().constData());
    ds.putAndInsertString(DCM_SeriesInstanceUID, newUid().toLatin1().constData());
    ds.putAndInsertString(DCM_Modality, modality.toLatin1().constData());
    fillItem(ds, root);
    if (!saveDataset(path, ds))
        return {};
    return path;
}

Node num(const QString& code, const QString& value, const QString& scheme = QStringLiteral("DCM"))
{
    Node n;
    n.valueType = QStringLiteral("NUM");
    n.code = code;
    n.scheme = scheme;
    n.number = value;
    return n;
}

Node container(QList<Node> children, const QString& code = QStringLiteral("113811"))
{
    Node n;
    n.valueType = QStringLiteral("CONTAINER");
    n.code = code;
    n.children = std::move(children);
    return n;
}

} // namespace

Q_DECLARE_METATYPE(Node)

class TstDoseReaders : public QObject
{
    Q_OBJECT

private slots:
    void ctdiVol_data();
    void ctdiVol();
    void phantomType_data();
    void phantomType();
    void protocolName();
    void doseReportDlp_data();
    void doseReportDlp();
    void unreadableFiles();

private:
    QString image(const QString& name, std::function<void(DcmDataset&, int)> customize)
    {
        SeriesLayout layout;
        layout.rows = 8;
        layout.columns = 8;
        layout.slices = 1;
        layout.customize = std::move(customize);
        return writeSlice(m_dir.filePath(name), layout, 0);
    }
    QTemporaryDir m_dir;
};

void TstDoseReaders::ctdiVol_data()
{
    QTest::addColumn<QString>("stored"); // empty: element absent
    QTest::addColumn<double>("expected"); // < 0: nothing
    QTest::newRow("12.5") << QStringLiteral("12.5") << 12.5;
    QTest::newRow("zero") << QStringLiteral("0") << -1.0;
    QTest::newRow("negative") << QStringLiteral("-3") << -1.0;
    QTest::newRow("absent") << QString() << -1.0;
}

void TstDoseReaders::ctdiVol()
{
    QFETCH(QString, stored);
    QFETCH(double, expected);
    const QString path = image(QStringLiteral("ctdi_%1.dcm").arg(QTest::currentDataTag()), [stored](DcmDataset& ds, int) {
        if (!stored.isEmpty())
            ds.putAndInsertFloat64(DCM_CTDIvol, stored.toDouble());
    });
    const std::optional<double> value = dicom::readCtdiVol(path);
    if (expected < 0)
        QVERIFY(!value);
    else {
        QVERIFY(value);
        QCOMPARE(*value, expected);
    }
}

void TstDoseReaders::phantomType_data()
{
    QTest::addColumn<QString>("meaning"); // empty: no sequence
    QTest::addColumn<int>("expected");    // 1 head, 0 body, -1 nothing
    QTest::newRow("head") << QStringLiteral("IEC Head Dosimetry Phantom") << 1;
    QTest::newRow("body") << QStringLiteral("IEC Body Dosimetry Phantom") << 0;
    QTest::newRow("upper case") << QStringLiteral("BODY PHANTOM") << 0;
    QTest::newRow("neither") << QStringLiteral("Custom phantom") << -1;
    QTest::newRow("absent") << QString() << -1;
}

void TstDoseReaders::phantomType()
{
    QFETCH(QString, meaning);
    QFETCH(int, expected);
    const QString path = image(QStringLiteral("phantom_%1.dcm").arg(QTest::currentDataTag()).replace(' ', '_'),
                               [meaning](DcmDataset& ds, int) {
                                   if (meaning.isEmpty())
                                       return;
                                   DcmItem* item = nullptr;
                                   ds.findOrCreateSequenceItem(DCM_CTDIPhantomTypeCodeSequence, item, -2);
                                   item->putAndInsertString(DCM_CodeValue, "113691");
                                   item->putAndInsertString(DCM_CodingSchemeDesignator, "DCM");
                                   item->putAndInsertString(DCM_CodeMeaning, meaning.toLatin1().constData());
                               });
    const std::optional<bool> head = dicom::readCtdiPhantomType(path);
    if (expected < 0)
        QVERIFY(!head);
    else {
        QVERIFY(head);
        QCOMPARE(*head, expected == 1);
    }
}

void TstDoseReaders::protocolName()
{
    const QString named = image(QStringLiteral("protocol.dcm"), [](DcmDataset& ds, int) {
        ds.putAndInsertString(DCM_ProtocolName, QStringLiteral("  Грудная клетка  ").toUtf8().constData());
    });
    QCOMPARE(dicom::readProtocolName(named), QStringLiteral("Грудная клетка"));
    const QString unnamed = image(QStringLiteral("no_protocol.dcm"), {});
    QCOMPARE(dicom::readProtocolName(unnamed), QString());
}

void TstDoseReaders::doseReportDlp_data()
{
    QTest::addColumn<QString>("modality");
    QTest::addColumn<Node>("root");
    QTest::addColumn<double>("expected"); // < 0: nothing
    QTest::addColumn<QString>("readFor"); // an index row naming the report ("own") or another object

    // The total DLP three levels down under containers, and a second one later in the tree.
    const Node deep = container({container({container({num(QStringLiteral("113812"), QStringLiteral("5")),
                                                       num(QStringLiteral("113813"), QStringLiteral(" 345.6 "))})}),
                                 container({num(QStringLiteral("113813"), QStringLiteral("999"))})});
    QTest::newRow("three levels deep, first wins") << QStringLiteral("SR") << deep << 345.6 << "";
    QTest::newRow("read for its row") << QStringLiteral("SR") << deep << 345.6 << "own";
    // Another disc's report copied over the row's file: no number of another patient.
    QTest::newRow("read for another object's row") << QStringLiteral("SR") << deep << -1.0 << "another";
    QTest::newRow("SRT scheme ignored")
        << QStringLiteral("SR")
        << container({num(QStringLiteral("113813"), QStringLiteral("111"), QStringLiteral("SRT")),
                      container({num(QStringLiteral("113813"), QStringLiteral("222"))})})
        << 222.0 << "";
    QTest::newRow("only SRT") << QStringLiteral("SR")
                              << container({num(QStringLiteral("113813"), QStringLiteral("111"), QStringLiteral("SRT"))})
                              << -1.0 << "";
    QTest::newRow("not a number, later one taken")
        << QStringLiteral("SR")
        << container({num(QStringLiteral("113813"), QStringLiteral("n/a")), num(QStringLiteral("113813"), QStringLiteral("12"))})
        << 12.0 << "";
    QTest::newRow("CT image with the same tree") << QStringLiteral("CT") << deep << -1.0 << "";
    QTest::newRow("report without DLP") << QStringLiteral("SR") << container({}) << -1.0 << "";
}

void TstDoseReaders::doseReportDlp()
{
    QFETCH(QString, modality);
    QFETCH(Node, root);
    QFETCH(double, expected);
    QFETCH(QString, readFor);
    const QString path = writeReport(m_dir.filePath(QStringLiteral("sr_%1.dcm").arg(qHash(QString::fromLatin1(QTest::currentDataTag())))),
                                     modality, root);
    QVERIFY(!path.isEmpty());
    dicom::RowObject row;
    if (!readFor.isEmpty())
        row.sopInstanceUid = readFor == QLatin1String("own") ? dicom::readFileSummary(path)->sopInstanceUid
                                                             : fixtures::newUid();
    const std::optional<double> dlp = dicom::readDoseReportDlp(path, row);
    if (expected < 0)
        QVERIFY(!dlp);
    else {
        QVERIFY(dlp);
        QCOMPARE(*dlp, expected);
    }
}

void TstDoseReaders::unreadableFiles()
{
    const QString missing = m_dir.filePath(QStringLiteral("missing.dcm"));
    const QString garbage = m_dir.filePath(QStringLiteral("garbage.dcm"));
    writeDicmWithPayload(garbage, QByteArray(32, '\x7f'));
    for (const QString& path : {missing, garbage}) {
        QVERIFY(!dicom::readCtdiVol(path));
        QVERIFY(!dicom::readCtdiPhantomType(path));
        QVERIFY(dicom::readProtocolName(path).isEmpty());
        QVERIFY(!dicom::readDoseReportDlp(path));
    }
}

QTEST_GUILESS_MAIN(TstDoseReaders)
#include "tst_dosereaders.moc"
