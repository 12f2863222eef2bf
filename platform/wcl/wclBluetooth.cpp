#include "wclBluetooth.h"

// Interim bodies: the BlueZ backend follows.

TwclAPI::TwclAPI(QObject* parent)
    : QObject(parent)
{
}
TwclAPI::~TwclAPI() = default;
int TwclAPI::Load() { return 0; }
int TwclAPI::Unload() { return 0; }
void TwclAPI::setConnection(const QDBusConnection&) {}
void TwclAPI::resetConnection() {}

int TwclBluetoothRadio::GetAddress(QString&) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }
int TwclBluetoothRadio::GetConnectable(bool&) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }
int TwclBluetoothRadio::GetDiscoverable(bool&) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }
int TwclBluetoothRadio::GetName(QString&) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }
int TwclBluetoothRadio::SetConnectable(bool) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }
int TwclBluetoothRadio::SetDiscoverable(bool) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }

TwclBluetoothRadio* TwclBluetoothRadios::Items(int Index) const
{
    if (Index < 0 || Index >= Count())
        throw EListError();
    return m_items[size_t(Index)].get();
}

TwclBluetoothDevice::TwclBluetoothDevice(QObject* parent)
    : QObject(parent)
{
}
TwclBluetoothDevice::~TwclBluetoothDevice() = default;
QString TwclBluetoothDevice::Address() const
{
    return QStringLiteral("(00:00:00:00:00:00)");
}
void TwclBluetoothDevice::SetAddress(const QString&) {}
bool TwclBluetoothDevice::IsValidAddress(const QString&) { return false; }
int TwclBluetoothDevice::GetClassOfDevice(TwclBluetoothRadio*, quint32&) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }
int TwclBluetoothDevice::GetName(TwclBluetoothRadio*, QString&) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }
int TwclBluetoothDevice::GetPaired(TwclBluetoothRadio*, bool&) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }
int TwclBluetoothDevice::Pair(TwclBluetoothRadio*) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }
int TwclBluetoothDevice::Unpair(TwclBluetoothRadio*) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }

TwclBluetoothDevice* TwclBluetoothDevices::Items(int Index) const
{
    if (Index < 0 || Index >= Count())
        throw EListError();
    return m_items[size_t(Index)].get();
}
TwclBluetoothDevice* TwclBluetoothDevices::Add(const QString& Address)
{
    auto d = std::make_unique<TwclBluetoothDevice>();
    d->SetAddress(Address);
    m_items.push_back(std::move(d));
    return m_items.back().get();
}

class DiscoveryRun {};

TwclBluetoothDiscovery::TwclBluetoothDiscovery(QObject* parent)
    : QObject(parent)
{
}
TwclBluetoothDiscovery::~TwclBluetoothDiscovery() = default;
int TwclBluetoothDiscovery::EnumRadios(TwclBluetoothRadios* Radios)
{
    if (Radios)
        Radios->Clear();
    return WCL_E_TRANSPORT_NOT_AVAILABLE;
}
int TwclBluetoothDiscovery::Discovery(TwclBluetoothRadio*, quint8, bool) { return WCL_E_TRANSPORT_NOT_AVAILABLE; }
bool TwclBluetoothDiscovery::Discovering() const { return false; }
void TwclBluetoothDiscovery::setInquiryUnitMs(int) {}
int TwclBluetoothDiscovery::inquiryUnitMs() { return 1280; }

bool wclShowError(int Code) { return Code != 0; }
QString wclGetErrorMessage(int Code) { return Code == 0 ? QString() : QStringLiteral("Unknown error"); }
