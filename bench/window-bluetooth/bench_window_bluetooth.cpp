// Time and D-Bus round trips of the window's Bluetooth work against the simulated BlueZ:
// one radio-list fill, one slider change, and the device list filled for 10, 100 and
// 1000 devices found. Prints a table; the device fill must grow linearly.
#include "Controls.h"
#include "DbusCallCounter.h"
#include "MessageBoxes.h"
#include "SimulatedBluez.h"
#include "TAeroSpeedButton.h"
#include "TfmVelkor.h"
#include "wclBluetooth.h"
#include "wclTesting.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

struct Figure {
    double medianMs = 0;
    double trips = 0;   // counted by the library
    int busCalls = 0;   // seen on the bus (all connections of the process)
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Runs op `runs` times; times every run, counts the round trips of the last one.
Figure measure(int runs, DbusCallCounter& counter, const std::function<void()>& op)
{
    std::vector<double> times;
    Figure f;
    for (int i = 0; i < runs; ++i) {
        const bool last = i == runs - 1;
        if (last)
            counter.reset();
        const quint64 before = wcl::testing::roundTrips();
        QElapsedTimer t;
        t.start();
        op();
        times.push_back(t.nsecsElapsed() / 1e6);
        if (last) {
            f.trips = double(wcl::testing::roundTrips() - before);
            f.busCalls = counter.count();
        }
    }
    f.medianMs = median(times);
    return f;
}

void print(const char* what, const Figure& f, int perDivisor = 0)
{
    std::printf("%-34s %10.2f ms %8.0f trips %8d bus calls", what, f.medianMs, f.trips, f.busCalls);
    if (perDivisor > 0)
        std::printf("   per device: %7.3f ms %5.2f trips", f.medianMs / perDivisor, f.trips / perDivisor);
    std::printf("\n");
    std::fflush(stdout);
}

std::unique_ptr<TfmVelkor> makeWindow()
{
    auto w = std::make_unique<TfmVelkor>(TfmVelkor::Options{.runFormCreate = false});
    w->wclAPI->Load();
    return w;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false;sarnavel.*.info=false;sarnavel.*.warning=false");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 15;

    SimulatedBluez bluez;
    if (!bluez.start()) {
        std::fprintf(stderr, "simulated BlueZ: %s\n", qPrintable(bluez.lastError()));
        return 1;
    }
    bluez.addAdapter(QStringLiteral("hci0"), QStringLiteral("bench"), true,
                     {{QStringLiteral("DiscoverableTimeout"), 0u}});
    DbusCallCounter counter(SimulatedBluez::busAddress());
    if (!counter.ok())
        std::fprintf(stderr, "dbus-monitor not available: bus calls show -1\n");

    vcl::MessageBoxSpy boxes; // any box would be an error here; counted below
    auto w = makeWindow();

    std::printf("Window Bluetooth figures against the simulated BlueZ (median of %d runs)\n", runs);
    print("radio list fill (EnumBLDevice)", measure(runs, counter, [&] { w->EnumBLDevice(); }));
    bool on = w->Slider1->State() == ssOn;
    print("slider change (Slider1)", measure(runs, counter, [&] {
              on = !on;
              QTest::keyClick(w->Slider1, on ? Qt::Key_Home : Qt::Key_End);
          }));

    // The device list: the completion handler filling it for n devices found, after the search.
    int first = 0;
    std::vector<std::pair<int, Figure>> fills;
    for (int n : {10, 100, 1000}) {
        bluez.addNearbyDevices(QStringLiteral("hci0"), n, first);
        // Long enough for the simulated BlueZ to announce every device.
        TwclBluetoothDiscovery::setInquiryUnitMs(std::clamp(n / 2, 40, 1280));
        QSignalSpy done(w->wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryComplete);
        w->DiscoverBtn2Click(w->DiscoverBtn2);
        if (!done.wait(120000) || w->lvDevices2->RowCount() < n) {
            std::fprintf(stderr, "search found %d of %d devices\n", w->lvDevices2->RowCount(), n);
            return 1;
        }
        // The devices of this round, as the library hands them to the handler.
        TwclBluetoothDevices devices;
        for (int i = first; i < first + n; ++i)
            devices.Add(QStringLiteral("(10:00:00:%1:%2:%3)")
                            .arg((i >> 16) & 0xFF, 2, 16, QLatin1Char('0'))
                            .arg((i >> 8) & 0xFF, 2, 16, QLatin1Char('0'))
                            .arg(i & 0xFF, 2, 16, QLatin1Char('0'))
                            .toUpper());
        const Figure f = measure(n == 10 ? runs : 3, counter, [&] {
            w->lvDevices2->Clear();
            w->wclBluetoothDiscoveryDiscoveryComplete(w->wclBluetoothDiscovery, nullptr, &devices);
        });
        if (w->lvDevices2->RowCount() != n)
            std::fprintf(stderr, "list holds %d rows, expected %d\n", w->lvDevices2->RowCount(), n);
        const QString label = QStringLiteral("device list fill, %1 devices").arg(n);
        print(qPrintable(label), f, n);
        fills.push_back({n, f});
        first += n;
    }
    const double growth = fills[2].second.medianMs / fills[1].second.medianMs;
    std::printf("time growth 100 -> 1000 devices: x%.1f (linear: x10, quadratic: x100)\n", growth);
    std::printf("round-trip growth 100 -> 1000 devices: x%.1f\n",
                fills[2].second.trips / std::max(1.0, fills[1].second.trips));
    if (boxes.count() > 0)
        std::fprintf(stderr, "unexpected boxes: %s\n", qPrintable(boxes.texts().join(QStringLiteral(" | "))));
    return boxes.count() > 0 ? 1 : 0;
}
