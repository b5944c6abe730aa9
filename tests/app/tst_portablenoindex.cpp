// Portable mode when the in-memory index cannot be opened (no SQLite driver can be loaded):
// its refusal message and exit code 1.

#include "support/ModalAnswer.h"

#include "app/PortableSession.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

class TestPortableNoIndex : public QObject
{
    Q_OBJECT

private slots:
    void failingIndexExitsWithOne()
    {
        QTemporaryDir noPlugins;
        QCoreApplication::setLibraryPaths({noPlugins.path()});
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        QCOMPARE(runPortableMode(*qApp, noPlugins.filePath("DICOM")), 1);
        QCOMPARE(answer.titles(), QStringList({QStringLiteral("Kalvenor")}));
        QCOMPARE(answer.texts(),
                 QStringList({QStringLiteral("Не удалось открыть временную базу данных для портативного режима.")}));
    }
};

QTEST_MAIN(TestPortableNoIndex)
#include "tst_portablenoindex.moc"
