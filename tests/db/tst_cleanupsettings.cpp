#include "db/CleanupSettings.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

class TestCleanupSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Brisvane"));
        QCoreApplication::setApplicationName(QStringLiteral("VavovIvirur"));
        // The wrapper gives every run its own config folder; never write into a real one.
        QVERIFY(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).contains(QStringLiteral("kalvenor-test")));
    }

    void init()
    {
        QSettings().remove(QStringLiteral("cleanup"));
    }

    void roundTrip_data()
    {
        QTest::addColumn<bool>("byAge");
        QTest::addColumn<int>("days");
        QTest::addColumn<bool>("bySize");
        QTest::addColumn<qint64>("bytes");
        QTest::newRow("both on, small") << true << 1 << true << Q_INT64_C(1);
        QTest::newRow("above 2^31") << false << 30 << true << Q_INT64_C(2147483648);
        QTest::newRow("above 2^32") << true << 3650 << false << Q_INT64_C(5000000000);
        QTest::newRow("terabytes") << true << 2147483647 << true << Q_INT64_C(4398046511104);
    }
    void roundTrip()
    {
        QFETCH(bool, byAge);
        QFETCH(int, days);
        QFETCH(bool, bySize);
        QFETCH(qint64, bytes);
        saveCleanupSettings(CleanupSettings{byAge, days, bySize, bytes});
        const CleanupSettings s = loadCleanupSettings();
        QCOMPARE(s.byAgeEnabled, byAge);
        QCOMPARE(s.maxAgeDays, days);
        QCOMPARE(s.bySizeEnabled, bySize);
        QCOMPARE(s.maxSizeBytes, bytes);

        // The values must be where other tools and older builds look for them.
        QSettings settings;
        QCOMPARE(settings.value(QStringLiteral("cleanup/maxSizeBytes")).toLongLong(), bytes);
        QCOMPARE(settings.value(QStringLiteral("cleanup/maxAgeDays")).toInt(), days);
    }

    // A damaged or nonsensical limit must not become "delete everything older than 0 days" or
    // "keep the store under 0 bytes" with the rule switched on.
    void unusableLimitsFallBackToDefaults_data()
    {
        QTest::addColumn<QVariant>("days");
        QTest::addColumn<QVariant>("bytes");
        QTest::newRow("text") << QVariant(QStringLiteral("abc")) << QVariant(QStringLiteral("ten gigabytes"));
        QTest::newRow("zero") << QVariant(0) << QVariant(Q_INT64_C(0));
        QTest::newRow("negative") << QVariant(-5) << QVariant(Q_INT64_C(-1));
        QTest::newRow("empty") << QVariant(QString()) << QVariant(QString());
        QTest::newRow("fraction") << QVariant(QStringLiteral("1.5")) << QVariant(QStringLiteral("1e9"));
        QTest::newRow("days beyond int") << QVariant(QStringLiteral("99999999999")) << QVariant(QStringLiteral("-99999999999"));
    }
    void unusableLimitsFallBackToDefaults()
    {
        QFETCH(QVariant, days);
        QFETCH(QVariant, bytes);
        {
            QSettings settings;
            settings.setValue(QStringLiteral("cleanup/byAgeEnabled"), true);
            settings.setValue(QStringLiteral("cleanup/maxAgeDays"), days);
            settings.setValue(QStringLiteral("cleanup/bySizeEnabled"), true);
            settings.setValue(QStringLiteral("cleanup/maxSizeBytes"), bytes);
        }
        const CleanupSettings s = loadCleanupSettings();
        QCOMPARE(s.byAgeEnabled, true);
        QCOMPARE(s.bySizeEnabled, true);
        QCOMPARE(s.maxAgeDays, 90);
        QCOMPARE(s.maxSizeBytes, Q_INT64_C(10737418240));
    }
};

QTEST_GUILESS_MAIN(TestCleanupSettings)
#include "tst_cleanupsettings.moc"
