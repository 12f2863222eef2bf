#include "SimulatedBluez.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kBluez = QStringLiteral("org.bluez");
const QString kMockIface = QStringLiteral("org.bluez.Mock");
const QString kDbusmockIface = QStringLiteral("org.freedesktop.DBus.Mock");
const QString kConnName = QStringLiteral("simulated-bluez-fixture");

// The process-wide private bus. libdbus reads DBUS_SYSTEM_BUS_ADDRESS once per
// process, so the bus must outlive every fixture.
struct PrivateBus {
    pid_t pid = 0;
    QString address;
};
PrivateBus& privateBus() {
    static PrivateBus bus;
    return bus;
}

void stopBusAtExit() {
    PrivateBus& b = privateBus();
    if (b.pid > 0) {
        ::kill(b.pid, SIGTERM);
        ::waitpid(b.pid, nullptr, 0);
        b.pid = 0;
    }
}

bool startBus(QString& error) {
    PrivateBus& b = privateBus();
    if (!b.address.isEmpty())
        return true;
    const QByteArray config = "--config-file=" + QFile::encodeName(SimulatedBluez::sourceDir() +
                                                                   QStringLiteral("/system-bus.conf"));
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = QStringLiteral("pipe failed");
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = QStringLiteral("fork failed");
        return false;
    }
    if (pid == 0) {
        // child: only async-signal-safe calls until exec
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(fds[1], 1);
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0)
            ::dup2(devnull, 2);
        ::execl("/usr/bin/dbus-daemon", "dbus-daemon", config.constData(), "--print-address=1", "--nofork",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    QByteArray line;
    QDeadlineTimer deadline(5000);
    while (!line.contains('\n') && !deadline.hasExpired()) {
        pollfd p{fds[0], POLLIN, 0};
        const int r = ::poll(&p, 1, int(qMax<qint64>(1, deadline.remainingTime())));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        char buf[256];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, n);
    }
    ::close(fds[0]);
    const QByteArray address = line.left(line.indexOf('\n')).trimmed();
    if (address.isEmpty()) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        error = QStringLiteral("dbus-daemon did not print its address");
        return false;
    }
    b.pid = pid;
    b.address = QString::fromUtf8(address);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.constData(), 1);
    std::atexit(stopBusAtExit);
    return true;
}

QString busId(const QDBusConnection& c) {
    QDBusMessage m = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"));
    QDBusMessage r = c.call(m, QDBus::Block, 3000);
    return r.type() == QDBusMessage::ReplyMessage && !r.arguments().isEmpty()
               ? r.arguments().constFirst().toString()
               : QString();
}

} // namespace

QString SimulatedBluez::sourceDir() {
    return QStringLiteral(SARNAVEL_TESTBLUEZ_DIR);
}

QString SimulatedBluez::busAddress() {
    return privateBus().address;
}

QString SimulatedBluez::devicePath(const QString& hci, const QString& address) {
    return adapterPath(hci) + QStringLiteral("/dev_") +
           address.toUpper().replace(QLatin1Char(':'), QLatin1Char('_'));
}

SimulatedBluez::SimulatedBluez() = default;

SimulatedBluez::~SimulatedBluez() {
    killBluez();
}

QDBusConnection SimulatedBluez::bus() const {
    return QDBusConnection(kConnName);
}

bool SimulatedBluez::start() {
    if (!startBus(m_error))
        return false;
    QDBusConnection c = QDBusConnection::connectToBus(busAddress(), kConnName);
    if (!c.isConnected()) {
        m_error = QStringLiteral("cannot connect to the private bus: ") + c.lastError().message();
        return false;
    }
    // The code under test uses the system bus; make sure that is ours and not the
    // machine's (it would be if something connected before the address was set).
    const QString ours = busId(c);
    const QString system = busId(QDBusConnection::systemBus());
    if (ours.isEmpty() || ours != system) {
        m_error = QStringLiteral("QDBusConnection::systemBus() is not the private bus");
        return false;
    }
    return startMock();
}

bool SimulatedBluez::startMock() {
    if (m_mock && m_mock->state() != QProcess::NotRunning)
        return true;
    m_mock = std::make_unique<QProcess>();
    m_mock->setProcessChannelMode(QProcess::MergedChannels);
    m_mock->setStandardOutputFile(QProcess::nullDevice());
    m_mock->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress());
    env.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
    m_mock->setProcessEnvironment(env);
    m_mock->start(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--system"),
                   QStringLiteral("--template"), QStringLiteral("bluez5")});
    if (!m_mock->waitForStarted(5000)) {
        m_error = QStringLiteral("python3 -m dbusmock did not start");
        return false;
    }
    if (!waitForName(true, 15000)) {
        m_error = QStringLiteral("the simulated BlueZ did not appear on the bus");
        killBluez();
        return false;
    }
    m_frozen = false;
    QDBusMessage r = call(QStringLiteral("/"), kDbusmockIface, QStringLiteral("AddTemplate"),
                          {sourceDir() + QStringLiteral("/templates/sarnavel_bluez.py"), QVariantMap()});
    if (!ok(r, QStringLiteral("AddTemplate sarnavel_bluez.py")))
        return false;
    const auto setup = m_setup;
    for (const auto& [method, args] : setup) {
        QDBusMessage reply =
            method == QLatin1String("@template")
                ? call(QStringLiteral("/"), kDbusmockIface, QStringLiteral("AddTemplate"), args)
                : call(QStringLiteral("/"), kMockIface, method, args);
        if (!ok(reply, QStringLiteral("replaying ") + method))
            return false;
    }
    return true;
}

bool SimulatedBluez::waitForName(bool present, int timeoutMs) {
    QDBusConnectionInterface* iface = bus().interface();
    if (!iface)
        return false;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        QDBusReply<bool> has = iface->isServiceRegistered(kBluez);
        if (has.isValid() && has.value() == present)
            return true;
        if (present && (!m_mock || m_mock->state() == QProcess::NotRunning))
            return false;
        QThread::msleep(20);
    }
    return false;
}

bool SimulatedBluez::killBluez() {
    if (!m_mock)
        return true;
    if (m_mock->state() != QProcess::NotRunning) {
        if (m_frozen)
            ::kill(pid_t(m_mock->processId()), SIGCONT);
        m_mock->kill();
        m_mock->waitForFinished(3000);
    }
    m_mock.reset();
    m_frozen = false;
    return busAddress().isEmpty() || waitForName(false, 5000);
}

bool SimulatedBluez::restartBluez() {
    killBluez();
    return startMock();
}

bool SimulatedBluez::isRunning() const {
    return m_mock && m_mock->state() == QProcess::Running;
}

bool SimulatedBluez::freezeBluez() {
    if (!isRunning())
        return false;
    m_frozen = ::kill(pid_t(m_mock->processId()), SIGSTOP) == 0;
    return m_frozen;
}

bool SimulatedBluez::thawBluez() {
    if (!isRunning())
        return false;
    m_frozen = false;
    return ::kill(pid_t(m_mock->processId()), SIGCONT) == 0;
}

bool SimulatedBluez::ok(const QDBusMessage& reply, const QString& what) {
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    m_error = what + QStringLiteral(": ") + reply.errorName() + QStringLiteral(" ") + reply.errorMessage();
    qWarning("SimulatedBluez: %s", qPrintable(m_error));
    return false;
}

QDBusMessage SimulatedBluez::call(const QString& path, const QString& iface, const QString& method,
                                  const QVariantList& args, int timeoutMs) {
    QDBusMessage m = QDBusMessage::createMethodCall(kBluez, path, iface, method);
    m.setArguments(args);
    return bus().call(m, QDBus::Block, timeoutMs);
}

QDBusMessage SimulatedBluez::replayable(const QString& method, const QVariantList& args) {
    QDBusMessage r = call(QStringLiteral("/"), kMockIface, method, args);
    if (r.type() == QDBusMessage::ReplyMessage)
        m_setup.append({method, args});
    return r;
}

QDBusMessage SimulatedBluez::callMock(const QString& method, const QVariantList& args) {
    QDBusMessage r = replayable(method, args);
    ok(r, method);
    return r;
}

QString SimulatedBluez::addAdapter(const QString& hci, const QString& alias, const QVariant& connectable,
                                   QVariantMap options) {
    if (connectable.isValid())
        options.insert(QStringLiteral("Connectable"), connectable.toBool());
    QDBusMessage r = callMock(QStringLiteral("AddAdapterEx"), {hci, alias, options});
    return r.type() == QDBusMessage::ReplyMessage ? adapterPath(hci) : QString();
}

QString SimulatedBluez::addDevice(const QString& hci, const QString& address, const QVariantMap& options) {
    QDBusMessage r = callMock(QStringLiteral("AddDeviceEx"), {hci, address, options});
    return r.type() == QDBusMessage::ReplyMessage ? devicePath(hci, address) : QString();
}

bool SimulatedBluez::addNearbyDevice(const QString& hci, const QString& address, const QVariantMap& options) {
    return callMock(QStringLiteral("AddNearbyDevice"), {hci, address, options}).type() ==
           QDBusMessage::ReplyMessage;
}

bool SimulatedBluez::addNearbyDevices(const QString& hci, int count, int first) {
    return callMock(QStringLiteral("AddNearbyDevices"), {hci, uint(count), uint(first)}).type() ==
           QDBusMessage::ReplyMessage;
}

bool SimulatedBluez::failProperty(const QString& path, const QString& iface, const QString& prop,
                                  const QString& errorName, const QString& which) {
    return callMock(QStringLiteral("FailProperty"),
                    {QVariant::fromValue(QDBusObjectPath(path)), iface, prop, errorName, which})
               .type() == QDBusMessage::ReplyMessage;
}

bool SimulatedBluez::setDiscoveryError(const QString& hci, const QString& errorName) {
    return callMock(QStringLiteral("SetDiscoveryError"), {hci, errorName}).type() ==
           QDBusMessage::ReplyMessage;
}

bool SimulatedBluez::setPairBehaviour(const QString& devicePath, const QString& mode,
                                      const QVariantMap& options) {
    return callMock(QStringLiteral("SetPairBehaviour"),
                    {QVariant::fromValue(QDBusObjectPath(devicePath)), mode, options})
               .type() == QDBusMessage::ReplyMessage;
}

QVariantMap SimulatedBluez::pairingLog(const QString& devicePath) {
    QDBusMessage r = call(QStringLiteral("/"), kMockIface, QStringLiteral("GetPairingLog"),
                          {QVariant::fromValue(QDBusObjectPath(devicePath))});
    if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty())
        return {};
    return qdbus_cast<QVariantMap>(r.arguments().constFirst());
}

QStringList SimulatedBluez::agents() {
    QStringList out;
    QDBusMessage r = call(QStringLiteral("/"), kMockIface, QStringLiteral("GetAgents"));
    if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty())
        return out;
    const QDBusArgument arg = r.arguments().constFirst().value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        QString sender, capability;
        QDBusObjectPath path;
        arg.beginStructure();
        arg >> sender >> path >> capability;
        arg.endStructure();
        out << sender + QLatin1Char(' ') + path.path() + QLatin1Char(' ') + capability;
    }
    arg.endArray();
    return out;
}

QVariant SimulatedBluez::property(const QString& path, const QString& iface, const QString& name) {
    QDBusMessage r =
        call(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"), {iface, name});
    if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty())
        return {};
    return r.arguments().constFirst().value<QDBusVariant>().variant();
}

bool SimulatedBluez::updateProperty(const QString& path, const QString& iface, const QString& name,
                                    const QVariant& value) {
    return ok(
        call(path, kDbusmockIface, QStringLiteral("UpdateProperties"), {iface, QVariantMap{{name, value}}}),
        QStringLiteral("UpdateProperties ") + name);
}

bool SimulatedBluez::objectExists(const QString& path) {
    QDBusMessage r =
        call(path, QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"));
    if (r.type() != QDBusMessage::ReplyMessage)
        return false;
    // dbus-python answers for any path; a real object lists interfaces of its own
    return r.arguments().value(0).toString().contains(QStringLiteral("org.bluez."));
}

bool SimulatedBluez::loadTemplate(const QString& path, const QVariantMap& parameters) {
    const QVariantList args{path, parameters};
    QDBusMessage r = call(QStringLiteral("/"), kDbusmockIface, QStringLiteral("AddTemplate"), args);
    if (!ok(r, QStringLiteral("AddTemplate ") + path))
        return false;
    m_setup.append({QStringLiteral("@template"), args});
    return true;
}

int SimulatedBluez::methodCallCount(const QString& path, const QString& method) {
    QDBusMessage r = call(path, kDbusmockIface, QStringLiteral("GetMethodCalls"), {method});
    if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty())
        return -1;
    const QDBusArgument arg = r.arguments().constFirst().value<QDBusArgument>();
    int n = 0;
    arg.beginArray();
    while (!arg.atEnd()) {
        qulonglong stamp = 0;
        QVariantList args;
        arg.beginStructure();
        arg >> stamp >> args;
        arg.endStructure();
        ++n;
    }
    arg.endArray();
    return n;
}

bool SimulatedBluez::clearCalls(const QString& path) {
    return ok(call(path, kDbusmockIface, QStringLiteral("ClearCalls")), QStringLiteral("ClearCalls"));
}
