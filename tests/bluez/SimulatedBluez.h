#pragma once
// A simulated BlueZ for tests: a private dbus-daemon standing in for the system
// bus (one per test process, kept until exit, so DBUS_SYSTEM_BUS_ADDRESS never
// changes under libdbus), and python-dbusmock's bluez5 template plus our
// tests/bluez/templates/sarnavel_bluez.py on it. Every wait is bounded; child
// processes die with the test process (PR_SET_PDEATHSIG) even if it crashes.
//
// Typical use:
//   SimulatedBluez bluez;
//   QVERIFY2(bluez.start(), qPrintable(bluez.lastError()));
//   bluez.addAdapter();                       // hci0 with Connectable
//   bluez.addNearbyDevice("hci0", "00:11:22:33:44:55", {{"Name", "Phone"}, {"Class", 0x5A020Cu}});

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <functional>
#include <memory>

class QProcess;

class SimulatedBluez {
public:
    SimulatedBluez();
    ~SimulatedBluez(); // stops BlueZ; the bus stays for the next fixture
    SimulatedBluez(const SimulatedBluez&) = delete;
    SimulatedBluez& operator=(const SimulatedBluez&) = delete;

    // Starts the bus (once per process) and BlueZ with our template. False with
    // lastError() on failure.
    bool start();
    QString lastError() const { return m_error; }

    // The private bus: its address (also in DBUS_SYSTEM_BUS_ADDRESS) and a
    // connection of the fixture's own to it.
    static QString busAddress();
    QDBusConnection bus() const;

    // BlueZ disappears from the bus (process killed) / comes back with the same
    // adapters, devices and settings replayed. stop() is also the destructor.
    bool killBluez();
    bool restartBluez();
    bool isRunning() const;
    // Stops answering (SIGSTOP) / answers again (SIGCONT).
    bool freezeBluez();
    bool thawBluez();

    // --- Adapters and devices. Paths are returned ("" on failure). ---------
    // connectable: true/false adds Adapter1.Connectable with that value;
    // an invalid QVariant leaves the property out (BlueZ before 5.79).
    // More options: Address (s), Powered (b), Discoverable (b), DiscoverableTimeout (u).
    QString addAdapter(const QString& hci = QStringLiteral("hci0"),
                       const QString& alias = QStringLiteral("sarnavel-test"),
                       const QVariant& connectable = true, QVariantMap options = {});
    // A device BlueZ already knows. Options: Name (s; absent = nameless),
    // Class (u; absent = no Class), Paired (b), RSSI (n).
    QString addDevice(const QString& hci, const QString& address, const QVariantMap& options = {});
    // A device that shows up while a discovery runs (if it already exists, only
    // its RSSI changes). Same options, plus DelayMs (u).
    bool addNearbyDevice(const QString& hci, const QString& address, const QVariantMap& options = {});
    // count devices 10:00:00:xx:xx:xx, named and with a class, appearing ~20 ms
    // into a discovery.
    bool addNearbyDevices(const QString& hci, int count, int first = 0);
    static QString devicePath(const QString& hci, const QString& address);
    static QString adapterPath(const QString& hci) { return QStringLiteral("/org/bluez/") + hci; }

    // Property failures: which = "get", "set" or "both"; an empty errorName clears.
    bool failProperty(const QString& path, const QString& iface, const QString& prop,
                      const QString& errorName, const QString& which = QStringLiteral("both"));
    // StartDiscovery fails with errorName ("" clears).
    bool setDiscoveryError(const QString& hci, const QString& errorName);
    // Pair: mode "confirm" (default), "pin", "passkey", "notify", "justworks",
    // "error" (options ErrorName), "hang". Options Passkey (u), DelayMs (u).
    bool setPairBehaviour(const QString& devicePath, const QString& mode, const QVariantMap& options = {});
    // What the agent was asked and answered in the last Pair: Method, Answer.
    QVariantMap pairingLog(const QString& devicePath);
    // Registered agents as "sender path capability".
    QStringList agents();

    // Reads a property straight from the simulated BlueZ (invalid on error).
    QVariant property(const QString& path, const QString& iface, const QString& name);
    // Changes it without BlueZ's checks (dbusmock UpdateProperties; emits PropertiesChanged).
    bool updateProperty(const QString& path, const QString& iface, const QString& name,
                        const QVariant& value);
    bool objectExists(const QString& path);

    // Loads another template into the running mock (absolute path or a name of
    // dbusmock's own); replayed after restartBluez().
    bool loadTemplate(const QString& path, const QVariantMap& parameters = {});
    // Calls any method of the mock. On org.bluez.Mock the object is "/".
    QDBusMessage call(const QString& path, const QString& iface, const QString& method,
                      const QVariantList& args = {}, int timeoutMs = 5000);
    // Calls a method of org.bluez.Mock on "/" (records it for restartBluez()).
    QDBusMessage callMock(const QString& method, const QVariantList& args = {});
    // Method calls the mock has logged on an object (dbusmock GetMethodCalls).
    int methodCallCount(const QString& path, const QString& method);
    bool clearCalls(const QString& path);

    // The directory holding our templates and the bus configuration.
    static QString sourceDir();

private:
    bool startMock();
    bool waitForName(bool present, int timeoutMs);
    QDBusMessage replayable(const QString& method, const QVariantList& args);
    bool ok(const QDBusMessage& reply, const QString& what);

    std::unique_ptr<QProcess> m_mock;
    QString m_error;
    QString m_logFile;
    // setup calls (method on org.bluez.Mock or "@template", args) replayed on restart
    QList<std::pair<QString, QVariantList>> m_setup;
    bool m_frozen = false;
};
