// Cost of the Bluetooth library against the simulated BlueZ: D-Bus round trips
// and time for what the window does (radio list fill, one switch, device list
// fill after a search of 10/100/1000 devices). Prints figures; asserts nothing.
#include "SimulatedBluez.h"
#include "wclBluetooth.h"
#include "wclTesting.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <functional>

namespace {

struct Figure {
    double msPerOp;
    double tripsPerOp;
};

Figure measure(int n, const std::function<void()>& op) {
    const quint64 before = wcl::testing::roundTrips();
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i)
        op();
    const double ms = double(t.nsecsElapsed()) / 1e6;
    return {ms / n, double(wcl::testing::roundTrips() - before) / n};
}

std::unique_ptr<TwclBluetoothRadio> workingRadio() {
    TwclBluetoothDiscovery d;
    TwclBluetoothRadios radios;
    if (d.EnumRadios(&radios) != 0 || radios.Count() == 0)
        return nullptr;
    auto r = std::make_unique<TwclBluetoothRadio>();
    r->Assign(*radios.Items(0));
    return r;
}

// What RefreshRadio does: a fresh working radio, then the four reads.
void refreshRadio() {
    auto radio = workingRadio();
    QString s;
    bool b = false;
    radio->GetAddress(s);
    radio->GetConnectable(b);
    radio->GetDiscoverable(b);
    radio->GetName(s);
}

// The radio list fill: getDiscoverable, getConnectable (each with its refresh), refresh.
void radioListFill() {
    bool b = false;
    workingRadio()->GetDiscoverable(b);
    refreshRadio();
    workingRadio()->GetConnectable(b);
    refreshRadio();
    refreshRadio();
}

void radioFigures(bool hasConnectable) {
    SimulatedBluez bluez;
    if (!bluez.start()) {
        std::printf("simulated BlueZ: %s\n", qPrintable(bluez.lastError()));
        return;
    }
    bluez.addAdapter(QStringLiteral("hci0"), QStringLiteral("bench"),
                     hasConnectable ? QVariant(true) : QVariant());
    TwclAPI api;
    api.Load();
    const char* mapping = hasConnectable ? "Adapter1.Connectable" : "Powered (no Connectable)";
    std::printf("\nRadio, Connectable mapped to %s\n", mapping);
    Figure f = measure(50, refreshRadio);
    std::printf("  one radio read cycle (enumerate + 4 reads)   %6.2f ms  %5.1f round trips\n", f.msPerOp,
                f.tripsPerOp);
    f = measure(20, radioListFill);
    std::printf("  radio list fill (as the window does it)      %6.2f ms  %5.1f round trips\n", f.msPerOp,
                f.tripsPerOp);
    bool on = false;
    f = measure(20, [&] {
        on = !on;
        workingRadio()->SetDiscoverable(on);
        refreshRadio();
    });
    std::printf("  discoverable switch + row refresh            %6.2f ms  %5.1f round trips\n", f.msPerOp,
                f.tripsPerOp);
    f = measure(20, [&] {
        on = !on;
        workingRadio()->SetConnectable(on);
        refreshRadio();
    });
    std::printf("  connectable switch + row refresh             %6.2f ms  %5.1f round trips\n", f.msPerOp,
                f.tripsPerOp);
    api.Unload();
}

void deviceFigures(int count) {
    SimulatedBluez bluez;
    if (!bluez.start()) {
        std::printf("simulated BlueZ: %s\n", qPrintable(bluez.lastError()));
        return;
    }
    bluez.addAdapter();
    bluez.addNearbyDevices(QStringLiteral("hci0"), count);
    TwclAPI api;
    api.Load();
    auto radio = workingRadio();

    // long enough for the simulated BlueZ to announce every device
    const int searchMs = 1500 + count * 4;
    TwclBluetoothDiscovery::setInquiryUnitMs(qMax(1, searchMs / 15));
    TwclBluetoothDiscovery discovery;
    QEventLoop loop;
    QStringList found;
    QElapsedTimer fill;
    qint64 fillMs = 0;
    quint64 fillTrips = 0;
    QObject::connect(&discovery, &TwclBluetoothDiscovery::OnDiscoveryComplete, &loop,
                     [&](QObject*, TwclBluetoothRadio*, TwclBluetoothDevices* devices) {
                         if (devices) {
                             const quint64 before = wcl::testing::roundTrips();
                             fill.start();
                             // the window's completion: per row a fresh radio, a device, three queries
                             for (int i = 0; i < devices->Count(); ++i) {
                                 found << devices->Items(i)->Address();
                                 auto r = workingRadio();
                                 TwclBluetoothDevice device;
                                 device.SetAddress(devices->Items(i)->Address());
                                 quint32 cod = 0;
                                 QString name;
                                 bool paired = false;
                                 device.GetClassOfDevice(r.get(), cod);
                                 device.GetName(r.get(), name);
                                 device.GetPaired(r.get(), paired);
                             }
                             fillMs = fill.elapsed();
                             fillTrips = wcl::testing::roundTrips() - before;
                         }
                         loop.quit();
                     });
    QElapsedTimer search;
    search.start();
    const quint64 before = wcl::testing::roundTrips();
    discovery.Discovery(radio.get(), 15, false);
    QTimer::singleShot(searchMs + 30000, &loop, &QEventLoop::quit);
    loop.exec();
    const quint64 searchTrips = wcl::testing::roundTrips() - before - fillTrips;
    std::printf("  %5d found: search %6lld ms (%llu round trips), list fill %7lld ms = %6.3f ms/device, "
                "%llu round trips = %.1f/device\n",
                count, static_cast<long long>(search.elapsed() - fillMs),
                static_cast<unsigned long long>(searchTrips), static_cast<long long>(fillMs),
                found.isEmpty() ? 0.0 : double(fillMs) / found.size(),
                static_cast<unsigned long long>(fillTrips),
                found.isEmpty() ? 0.0 : double(fillTrips) / found.size());
    if (found.size() != count)
        std::printf("        (expected %d devices, got %lld)\n", count, static_cast<long long>(found.size()));
    api.Unload();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::printf("Bluetooth library against the simulated BlueZ (python-dbusmock; times include the mock's "
                "own cost)\n");
    radioFigures(true);
    radioFigures(false);
    std::printf("\nDevice list after a search (Fast false), filled as the window does it\n");
    for (int n : {10, 100, 1000})
        deviceFigures(n);
    return 0;
}
