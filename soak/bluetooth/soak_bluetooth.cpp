// Bluetooth fault soak: BlueZ is killed during a device search, during a pairing and
// while the radio switches are used, then started again, round after round, through
// the window and the real Bluetooth library against the simulated BlueZ.
//
// Every operation must either work or report an error (a box or a failed
// completion); none may hang, a pairing cut short must never look successful, the
// window must work again after each restart, and file descriptors and threads must
// not grow. Prints its figures; exit code 0 = every invariant held, 1 = an invariant
// broke, 2 = the simulated BlueZ itself failed, 3 = the watchdog found the program stuck.
//
//   soak_bluetooth [--rounds N] [--frozen-rounds M]
//     N rounds of each kind (default 20); M more in which BlueZ stops answering
//     (SIGSTOP) mid-pairing (default 3).

#include "Controls.h"
#include "MessageBoxes.h"
#include "ProcessStats.h"
#include "SimulatedBluez.h"
#include "TAdvSmoothSlider.h"
#include "TAeroSpeedButton.h"
#include "TfmVelkor.h"
#include "Watchdog.h"
#include "wclBluetooth.h"
#include "wclTesting.h"

#include <QApplication>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidgetItem>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

const QString Hci0 = QStringLiteral("hci0");
const QString Adapter1 = QStringLiteral("org.bluez.Adapter1");
const QString Device1 = QStringLiteral("org.bluez.Device1");
const QString Target = QStringLiteral("00:11:22:33:44:55");
const QString TargetCaption = QStringLiteral("(00:11:22:33:44:55)");
constexpr int NearbyCount = 8;

// Search of 15 units x 40 ms; library bounds shortened like the window tests do.
constexpr int UnitMs = 40;
constexpr int CallTimeoutMs = 1500;
constexpr int PairTimeoutMs = 4000;
// A pairing in the simulated BlueZ takes this long, so a kill before it lands mid-pairing.
constexpr int PairDelayMs = 900;

// Bounds of one operation, far above what a working one takes.
constexpr int SearchDeadlineMs = 20000;
constexpr int PairDeadlineMs = PairTimeoutMs + 6000;
constexpr int SwitchDeadlineMs = 15 * CallTimeoutMs;
constexpr int RoundDeadlineMs = 90000;
// No progress at all for this long: the program is stuck.
constexpr int WatchdogMs = 180000;
// Switches made once BlueZ is gone (each must report an error).
constexpr int SwitchesAfterKill = 8;
// Attempts after a restart until the operation must work again.
constexpr int RecoveryTries = 3;
// Allowed growth after the warm-up round.
constexpr int FdSlack = 8;
constexpr int ThreadSlack = 3;

// --- watchdog -----------------------------------------------------------------------

std::atomic<qint64> g_lastProgress {0};
std::atomic<const char*> g_stage {"start"};

qint64 nowMs()
{
    return steadyMs();
}
void progress(const char* stage)
{
    g_stage = stage;
    g_lastProgress = nowMs();
}

// Kills BlueZ (SIGKILL to its pid; SIGSTOP freezes it) from another thread after a
// delay, because the pairing blocks the UI thread until BlueZ answers or the bound runs out.
class DelayedKill {
public:
    DelayedKill(pid_t pid, int delayMs, int signal = SIGKILL)
        : m_thread([this, pid, delayMs, signal] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            m_fired = ::kill(pid, signal) == 0;
        })
    {
    }
    ~DelayedKill() { join(); }
    void join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    bool fired() const { return m_fired; }

private:
    std::atomic<bool> m_fired {false};
    std::thread m_thread;
};

// --- figures ------------------------------------------------------------------------

struct Figures {
    int ops = 0; // operations started
    int worked = 0; // ... that worked
    int errors = 0; // ... that reported an error (box or failed completion)
    int hung = 0; // ... that did not end within their bound
    int silent = 0; // ... that showed success although they cannot have worked
    int kills = 0;
    int recoveryOps = 0;
    int recoveryFailures = 0; // rounds where the window did not work again after the restart
    qint64 longestMs = 0; // longest operation
};

class Soak {
public:
    Soak(int rounds, int frozenRounds)
        : m_rounds(rounds)
        , m_frozenRounds(frozenRounds)
    {
    }

    int run();

private:
    enum class Kind { Discovery, Pairing, Switching, Frozen };
    static const char* name(Kind k)
    {
        switch (k) {
        case Kind::Discovery:
            return "discovery";
        case Kind::Pairing:
            return "pairing";
        case Kind::Switching:
            return "switching";
        case Kind::Frozen:
            return "frozen";
        }
        return "?";
    }

    bool setUp();
    bool restart();
    pid_t bluezPid();

    enum class Outcome { Worked, Error, Hung };
    Outcome search(bool& listedTarget);
    Outcome pair();
    Outcome switchOnce(int step, bool& checked);
    bool selectTarget();
    void count(Figures& f, Outcome o);

    bool roundDiscovery(Figures& f);
    bool roundPairing(Figures& f);
    bool roundSwitching(Figures& f);
    bool roundFrozen(Figures& f);
    bool preparePairing(Figures& f, int delayMs);
    bool recoverSearch(Figures& f);
    bool recoverPairing(Figures& f);
    bool recoverSwitching(Figures& f);

    int m_rounds;
    int m_frozenRounds;
    SimulatedBluez m_bluez;
    std::unique_ptr<TfmVelkor> m_window;
    vcl::MessageBoxSpy m_boxes;
    bool m_fixtureFailed = false;
    int m_unreported = 0; // searches refused without a word
    qint64 m_lastMs = 0; // duration of the last operation
    QMap<QString, int> m_boxTexts; // every box shown, by text
};

bool Soak::setUp()
{
    if (!m_bluez.start()) {
        std::fprintf(stderr, "simulated BlueZ: %s\n", qPrintable(m_bluez.lastError()));
        return false;
    }
    if (m_bluez.addAdapter().isEmpty()
        || !m_bluez.addNearbyDevice(Hci0, Target,
            {{QStringLiteral("Name"), QStringLiteral("Phone")}, {QStringLiteral("Class"), 0x5A020Cu},
                {QStringLiteral("DelayMs"), 30u}})
        || !m_bluez.addNearbyDevices(Hci0, NearbyCount)) {
        std::fprintf(stderr, "simulated BlueZ setup: %s\n", qPrintable(m_bluez.lastError()));
        return false;
    }
    m_window = std::make_unique<TfmVelkor>(TfmVelkor::Options {.runFormCreate = false});
    if (m_window->wclAPI->Load() != 0) {
        std::fprintf(stderr, "the Bluetooth library did not load\n");
        return false;
    }
    m_window->EnumBLDevice();
    m_boxes.onShow([this](const vcl::ShownMessage& box) { ++m_boxTexts[box.text]; });
    return true;
}

pid_t Soak::bluezPid()
{
    QDBusConnectionInterface* bus = m_bluez.bus().interface();
    if (!bus)
        return 0;
    const QDBusReply<uint> pid = bus->servicePid(QStringLiteral("org.bluez"));
    return pid.isValid() ? pid_t(pid.value()) : 0;
}

bool Soak::restart()
{
    progress("restart");
    if (!m_bluez.restartBluez()) {
        std::fprintf(stderr, "simulated BlueZ did not restart: %s\n", qPrintable(m_bluez.lastError()));
        m_fixtureFailed = true;
        return false;
    }
    return true;
}

void Soak::count(Figures& f, Outcome o)
{
    ++f.ops;
    f.longestMs = qMax(f.longestMs, m_lastMs);
    switch (o) {
    case Outcome::Worked:
        ++f.worked;
        break;
    case Outcome::Error:
        ++f.errors;
        break;
    case Outcome::Hung:
        ++f.hung;
        break;
    }
}

// One click on the search button. Worked: the completion came with a list and no box.
Soak::Outcome Soak::search(bool& listedTarget)
{
    progress("search");
    listedTarget = false;
    TwclBluetoothDiscovery* d = m_window->wclBluetoothDiscovery;
    QSignalSpy done(d, &TwclBluetoothDiscovery::OnDiscoveryComplete);
    bool gotList = false;
    const auto c = QObject::connect(d, &TwclBluetoothDiscovery::OnDiscoveryComplete, d,
        [&](QObject*, TwclBluetoothRadio*, TwclBluetoothDevices* devices) { gotList = devices != nullptr; });
    m_boxes.clear();
    QElapsedTimer t;
    t.start();
    m_window->DiscoverBtn2->click();
    Outcome o;
    if (!d->Discovering()) {
        // refused at once: must say so
        o = Outcome::Error;
        if (m_boxes.count() == 0)
            ++m_unreported;
    } else if (done.count() == 0 && !done.wait(SearchDeadlineMs)) {
        o = Outcome::Hung;
    } else {
        o = gotList && m_boxes.count() == 0 ? Outcome::Worked : Outcome::Error;
    }
    m_lastMs = t.elapsed();
    QObject::disconnect(c);
    for (int i = 0; i < m_window->lvDevices2->RowCount(); ++i)
        listedTarget |= TListView::Caption(m_window->lvDevices2->Row(i)) == TargetCaption;
    return o;
}

bool Soak::selectTarget()
{
    for (int i = 0; i < m_window->lvDevices2->RowCount(); ++i) {
        QTreeWidgetItem* row = m_window->lvDevices2->Row(i);
        if (TListView::Caption(row) == TargetCaption) {
            m_window->lvDevices2->SetSelected(row);
            return true;
        }
    }
    return false;
}

// One click on the pair button (it blocks until the pairing ends). Worked: no box.
Soak::Outcome Soak::pair()
{
    progress("pair");
    m_boxes.clear();
    QElapsedTimer t;
    t.start();
    m_window->PairBtn->click();
    m_lastMs = t.elapsed();
    if (t.elapsed() > PairDeadlineMs)
        return Outcome::Hung;
    return m_boxes.count() == 0 ? Outcome::Worked : Outcome::Error;
}

// One use of a slider: discoverable on, off, connectable off, on. Worked: no box.
// checked: BlueZ was still there and holds what the slider says.
Soak::Outcome Soak::switchOnce(int step, bool& checked)
{
    progress("switch");
    checked = false;
    const bool discoverable = step % 4 < 2;
    const bool on = step % 4 == 0 || step % 4 == 3;
    TAdvSmoothSlider* slider = discoverable ? m_window->Slider1 : m_window->Slider2;
    m_boxes.clear();
    QElapsedTimer t;
    t.start();
    QTest::keyClick(slider, on ? Qt::Key_Home : Qt::Key_End);
    m_lastMs = t.elapsed();
    if (t.elapsed() > SwitchDeadlineMs)
        return Outcome::Hung;
    if (m_boxes.count() > 0)
        return Outcome::Error;
    const QVariant held = m_bluez.property(SimulatedBluez::adapterPath(Hci0), Adapter1,
        discoverable ? QStringLiteral("Discoverable") : QStringLiteral("Connectable"));
    if (held.isValid()) {
        checked = true;
        if (held.toBool() != on)
            return Outcome::Error; // counted by the caller as silent
    }
    return Outcome::Worked;
}

// After a restart the window must search again with success.
bool Soak::recoverSearch(Figures& f)
{
    for (int i = 0; i < RecoveryTries; ++i) {
        bool listed = false;
        const Outcome o = search(listed);
        ++f.recoveryOps;
        if (o == Outcome::Hung)
            ++f.hung;
        if (o == Outcome::Worked && listed && m_window->lvDevices2->RowCount() == NearbyCount + 1)
            return true;
    }
    ++f.recoveryFailures;
    return false;
}

// ... and pair: the agent is registered again with the new BlueZ.
bool Soak::recoverPairing(Figures& f)
{
    const QString path = SimulatedBluez::devicePath(Hci0, Target);
    for (int i = 0; i < RecoveryTries; ++i) {
        if (!recoverSearch(f) || !selectTarget())
            continue;
        m_bluez.call(QStringLiteral("/"), QStringLiteral("org.bluez.Mock"), QStringLiteral("SetPairBehaviour"),
            {QVariant::fromValue(QDBusObjectPath(path)), QStringLiteral("confirm"), QVariantMap()});
        const Outcome o = pair();
        ++f.recoveryOps;
        if (o == Outcome::Hung)
            ++f.hung;
        if (o == Outcome::Worked && m_bluez.property(path, Device1, QStringLiteral("Paired")).toBool())
            return true;
    }
    ++f.recoveryFailures;
    return false;
}

// ... and switch both ways, BlueZ holding each value.
bool Soak::recoverSwitching(Figures& f)
{
    progress("recover switching");
    m_window->EnumBLDevice();
    m_boxes.clear();
    for (int i = 0; i < RecoveryTries; ++i) {
        bool all = true;
        for (int step = 0; step < 4; ++step) {
            bool checked = false;
            const Outcome o = switchOnce(step, checked);
            ++f.recoveryOps;
            if (o == Outcome::Hung)
                ++f.hung;
            all &= o == Outcome::Worked && checked;
        }
        if (all)
            return true;
    }
    ++f.recoveryFailures;
    return false;
}

bool Soak::roundDiscovery(Figures& f)
{
    const pid_t pid = bluezPid();
    if (pid <= 0)
        return m_fixtureFailed = true, false;
    // somewhere inside the 600 ms search, devices still appearing
    DelayedKill kill(pid, QRandomGenerator::global()->bounded(20, 550));
    bool listed = false;
    const Outcome o = search(listed);
    kill.join();
    f.kills += kill.fired();
    count(f, o);
    if (o == Outcome::Worked)
        ++f.silent; // BlueZ died within the search: it cannot have ended well
    return restart() && recoverSearch(f);
}

// The target known to this BlueZ, unpaired, selected, pairing after delayMs.
bool Soak::preparePairing(Figures& f, int delayMs)
{
    const QString path = SimulatedBluez::devicePath(Hci0, Target);
    // the device must be known to this BlueZ and selected
    if (!m_bluez.objectExists(path) || !selectTarget()) {
        if (!recoverSearch(f) || !selectTarget())
            return false;
    }
    bool paired = m_bluez.property(path, Device1, QStringLiteral("Paired")).toBool();
    if (paired) {
        progress("unpair");
        m_boxes.clear();
        m_window->UnPairBtn->click();
        ++f.ops;
        m_boxes.count() == 0 ? ++f.worked : ++f.errors;
        if (!recoverSearch(f) || !selectTarget())
            return false;
    }
    m_bluez.call(QStringLiteral("/"), QStringLiteral("org.bluez.Mock"), QStringLiteral("SetPairBehaviour"),
        {QVariant::fromValue(QDBusObjectPath(path)), QStringLiteral("confirm"),
            QVariantMap {{QStringLiteral("DelayMs"), uint(delayMs)}}});
    return true;
}

bool Soak::roundPairing(Figures& f)
{
    if (!preparePairing(f, PairDelayMs))
        return false;
    const pid_t pid = bluezPid();
    if (pid <= 0)
        return m_fixtureFailed = true, false;
    DelayedKill kill(pid, QRandomGenerator::global()->bounded(50, PairDelayMs - 200));
    const Outcome o = pair();
    kill.join();
    f.kills += kill.fired();
    count(f, o);
    if (o == Outcome::Worked)
        ++f.silent;
    return restart() && recoverPairing(f);
}

bool Soak::roundSwitching(Figures& f)
{
    const pid_t pid = bluezPid();
    if (pid <= 0)
        return m_fixtureFailed = true, false;
    // switches go on until a few after BlueZ died somewhere in between
    DelayedKill kill(pid, QRandomGenerator::global()->bounded(20, 400));
    QElapsedTimer t;
    t.start();
    int step = 0;
    int afterKill = 0;
    while (afterKill < SwitchesAfterKill && t.elapsed() < RoundDeadlineMs / 2) {
        const bool dead = kill.fired();
        bool checked = false;
        const Outcome o = switchOnce(step++, checked);
        count(f, o);
        if (o == Outcome::Error && checked)
            ++f.silent; // no box, but BlueZ holds the other value
        afterKill += dead;
    }
    kill.join();
    f.kills += kill.fired();
    return restart() && recoverSwitching(f);
}

// BlueZ stops answering (SIGSTOP) in the middle of a pairing: the pairing, a search and
// the switches made while it is frozen must each end within their bound with an error.
bool Soak::roundFrozen(Figures& f)
{
    if (!preparePairing(f, PairDelayMs))
        return false;
    const pid_t pid = bluezPid();
    if (pid <= 0)
        return m_fixtureFailed = true, false;
    DelayedKill freeze(pid, QRandomGenerator::global()->bounded(50, PairDelayMs - 200), SIGSTOP);
    Outcome o = pair();
    freeze.join();
    f.kills += freeze.fired();
    count(f, o);
    if (o == Outcome::Worked)
        ++f.silent;
    bool listed = false;
    o = search(listed);
    count(f, o);
    if (o == Outcome::Worked)
        ++f.silent;
    for (int step = 0; step < 2; ++step) {
        bool checked = false;
        o = switchOnce(step, checked);
        count(f, o);
        if (o == Outcome::Worked)
            ++f.silent;
    }
    // SIGKILL ends a stopped process too
    return restart() && recoverPairing(f);
}

int Soak::run()
{
    Watchdog watchdog(g_lastProgress, WatchdogMs, [](int stuckSeconds) {
        std::fprintf(stderr, "soak_bluetooth: STUCK for %d s in stage '%s'\n", stuckSeconds, g_stage.load());
    });
    progress("setup");
    if (!setUp())
        return 2;

    // Warm-up: one recovery of each kind, then the baseline.
    Figures warm;
    if (!recoverSearch(warm) || !recoverPairing(warm) || !recoverSwitching(warm)) {
        std::fprintf(stderr, "warm-up failed: the window does not work against the simulated BlueZ\n");
        return 2;
    }
    const int fdStart = openFds();
    const int threadsStart = threadCount();
    const long rssStart = statusKb("VmRSS");
    QElapsedTimer total;
    total.start();

    Figures figures[4];
    int roundsOverDeadline = 0;
    for (int round = 0; round < m_rounds && !m_fixtureFailed; ++round) {
        for (Kind k : {Kind::Discovery, Kind::Pairing, Kind::Switching}) {
            Figures& f = figures[int(k)];
            QElapsedTimer t;
            t.start();
            bool ok = false;
            switch (k) {
            case Kind::Discovery:
                ok = roundDiscovery(f);
                break;
            case Kind::Pairing:
                ok = roundPairing(f);
                break;
            case Kind::Switching:
                ok = roundSwitching(f);
                break;
            case Kind::Frozen:
                ok = roundFrozen(f);
                break;
            }
            if (t.elapsed() > RoundDeadlineMs)
                ++roundsOverDeadline;
            if (!ok && !m_fixtureFailed)
                std::fprintf(
                    stderr, "round %d (%s): the window did not work again after the restart\n", round + 1, name(k));
            if (m_fixtureFailed)
                break;
        }
        std::fprintf(stderr, "round %d/%d done, %lld s\n", round + 1, m_rounds, total.elapsed() / 1000);
    }
    for (int round = 0; round < m_frozenRounds && !m_fixtureFailed; ++round) {
        QElapsedTimer t;
        t.start();
        if (!roundFrozen(figures[int(Kind::Frozen)]) && !m_fixtureFailed)
            std::fprintf(stderr, "frozen round %d: the window did not work again after the restart\n", round + 1);
        if (t.elapsed() > RoundDeadlineMs)
            ++roundsOverDeadline;
    }

    // Let deferred deletions and queued events settle before the end figures.
    QTest::qWait(200);
    const int fdEnd = openFds();
    const int threadsEnd = threadCount();

    Figures sum;
    std::printf("Bluetooth fault soak: BlueZ killed and restarted %d times per kind; frozen mid-pairing %d times\n",
        m_rounds, m_frozenRounds);
    std::printf("%-10s %6s %6s %6s %6s %6s %6s %9s %9s %10s\n", "kind", "kills", "ops", "worked", "errors", "hung",
        "silent", "recov.ops", "recov.bad", "longest ms");
    for (Kind k : {Kind::Discovery, Kind::Pairing, Kind::Switching, Kind::Frozen}) {
        const Figures& f = figures[int(k)];
        std::printf("%-10s %6d %6d %6d %6d %6d %6d %9d %9d %10lld\n", name(k), f.kills, f.ops, f.worked, f.errors,
            f.hung, f.silent, f.recoveryOps, f.recoveryFailures, f.longestMs);
        sum.kills += f.kills;
        sum.ops += f.ops + f.recoveryOps;
        sum.errors += f.errors;
        sum.hung += f.hung;
        sum.silent += f.silent;
        sum.recoveryFailures += f.recoveryFailures;
    }
    std::printf("operations done %d (incl. recovery), errors reported %d, hung %d, rounds over %d s: %d\n", sum.ops,
        sum.errors, sum.hung, RoundDeadlineMs / 1000, roundsOverDeadline);
    if (m_unreported)
        std::printf("searches refused without a message: %d\n", m_unreported);
    std::printf("boxes shown:");
    for (auto it = m_boxTexts.cbegin(); it != m_boxTexts.cend(); ++it)
        std::printf(" \"%s\" x%d;", qPrintable(it.key()), it.value());
    std::printf("\n");
    std::printf("peak RSS %ld kB (after warm-up %ld kB)\n", statusKb("VmHWM"), rssStart);
    std::printf("file descriptors %d -> %d, threads %d -> %d, time %lld s\n", fdStart, fdEnd, threadsStart, threadsEnd,
        total.elapsed() / 1000);

    QStringList broken;
    if (m_fixtureFailed)
        broken << QStringLiteral("the simulated BlueZ failed");
    if (sum.kills != 3 * m_rounds + m_frozenRounds && !m_fixtureFailed)
        broken << QStringLiteral("not every kill landed");
    if (sum.hung)
        broken << QStringLiteral("operations hung");
    if (roundsOverDeadline)
        broken << QStringLiteral("rounds over their deadline");
    if (sum.silent)
        broken << QStringLiteral("failures shown as success");
    if (m_unreported)
        broken << QStringLiteral("searches refused without a message");
    if (sum.recoveryFailures)
        broken << QStringLiteral("window not working after a restart");
    if (fdEnd > fdStart + FdSlack)
        broken << QStringLiteral("file descriptors grew");
    if (threadsEnd > threadsStart + ThreadSlack)
        broken << QStringLiteral("threads grew");
    if (broken.isEmpty()) {
        std::printf("RESULT: ok\n");
        return 0;
    }
    std::printf("RESULT: FAILED: %s\n", qPrintable(broken.join(QStringLiteral(", "))));
    return m_fixtureFailed ? 2 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "*.debug=false;sarnavel.*.info=false;sarnavel.*.warning=false");
    int rounds = 20;
    int frozenRounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = qBound(1, atoi(argv[++i]), 1000);
        else if (qstrcmp(argv[i], "--frozen-rounds") == 0 && i + 1 < argc)
            frozenRounds = qBound(0, atoi(argv[++i]), 1000);
    }
    QApplication app(argc, argv);
    TwclBluetoothDiscovery::setInquiryUnitMs(UnitMs);
    wcl::testing::setCallTimeoutMs(CallTimeoutMs);
    wcl::testing::setPairTimeoutMs(PairTimeoutMs);
    int rc;
    {
        Soak soak(rounds, frozenRounds);
        rc = soak.run();
    }
    std::fflush(stdout);
    return rc;
}
