// The fixture itself: what the library and window tests rely on.
#include "SimulatedBluez.h"

#include <QDBusConnectionInterface>
#include <QTest>

class TestSimulatedBluez : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startsOnPrivateBus() {
        SimulatedBluez bluez;
        QVERIFY2(bluez.start(), qPrintable(bluez.lastError()));
        QVERIFY(qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS") == SimulatedBluez::busAddress());
        QVERIFY(QDBusConnection::systemBus().interface()->isServiceRegistered(QStringLiteral("org.bluez")));
        QCOMPARE(bluez.addAdapter(), QStringLiteral("/org/bluez/hci0"));
        QCOMPARE(bluez.property(QStringLiteral("/org/bluez/hci0"), QStringLiteral("org.bluez.Adapter1"),
                                QStringLiteral("Connectable")),
                 QVariant(true));
        QVERIFY(bluez.objectExists(QStringLiteral("/org/bluez/hci0")));
        QVERIFY(!bluez.objectExists(QStringLiteral("/org/bluez/hci9")));
    }

    void adapterWithoutConnectable() {
        SimulatedBluez bluez;
        QVERIFY2(bluez.start(), qPrintable(bluez.lastError()));
        bluez.addAdapter(QStringLiteral("hci0"), QStringLiteral("old"), QVariant());
        QVERIFY(!bluez
                     .property(QStringLiteral("/org/bluez/hci0"), QStringLiteral("org.bluez.Adapter1"),
                               QStringLiteral("Connectable"))
                     .isValid());
    }

    void failingProperty() {
        SimulatedBluez bluez;
        QVERIFY2(bluez.start(), qPrintable(bluez.lastError()));
        const QString a = bluez.addAdapter();
        QVERIFY(bluez.failProperty(a, QStringLiteral("org.bluez.Adapter1"), QStringLiteral("Discoverable"),
                                   QStringLiteral("org.bluez.Error.NotSupported"), QStringLiteral("get")));
        QDBusMessage r =
            bluez.call(a, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                       {QStringLiteral("org.bluez.Adapter1"), QStringLiteral("Discoverable")});
        QCOMPARE(r.errorName(), QStringLiteral("org.bluez.Error.NotSupported"));
        QVERIFY(bluez.failProperty(a, QStringLiteral("org.bluez.Adapter1"), QStringLiteral("Discoverable"),
                                   {}, QStringLiteral("get")));
        QCOMPARE(bluez.property(a, QStringLiteral("org.bluez.Adapter1"), QStringLiteral("Discoverable")),
                 QVariant(false));
    }

    void killAndRestartReplaysSetup() {
        SimulatedBluez bluez;
        QVERIFY2(bluez.start(), qPrintable(bluez.lastError()));
        bluez.addAdapter();
        bluez.addDevice(QStringLiteral("hci0"), QStringLiteral("00:11:22:33:44:55"),
                        {{QStringLiteral("Name"), QStringLiteral("Phone")}});
        QVERIFY(bluez.killBluez());
        QVERIFY(!QDBusConnection::systemBus()
                     .interface()
                     ->isServiceRegistered(QStringLiteral("org.bluez"))
                     .value());
        QVERIFY2(bluez.restartBluez(), qPrintable(bluez.lastError()));
        QCOMPARE(bluez.property(
                     SimulatedBluez::devicePath(QStringLiteral("hci0"), QStringLiteral("00:11:22:33:44:55")),
                     QStringLiteral("org.bluez.Device1"), QStringLiteral("Alias")),
                 QVariant(QStringLiteral("Phone")));
    }
};

QTEST_GUILESS_MAIN(TestSimulatedBluez)
#include "tst_simulatedbluez.moc"
