// Remote devices: the window's handlers for discovery, the device list, pairing.
#include "TfmVelkor.h"

#include "Application.h"
#include "DeviceControl.h"
#include "TAeroSpeedButton.h"
#include "wclBluetooth.h"

void TfmVelkor::setupDevices() {
    m_devices = new DeviceControl({wclBluetoothDiscovery, lvDevices2, Marquee1, StatusBar1}, m_radio, this);
    connect(DiscoverBtn2, &QAbstractButton::clicked, m_devices,
            [this] { vcl::Application::guard([this] { DiscoverBtn2Click(DiscoverBtn2); }); });
    connect(PairBtn, &QAbstractButton::clicked, m_devices,
            [this] { vcl::Application::guard([this] { PairBtnClick(PairBtn); }); });
    connect(UnPairBtn, &QAbstractButton::clicked, m_devices,
            [this] { vcl::Application::guard([this] { UnPairBtnClick(UnPairBtn); }); });
    // The controller is the context: an event still queued when the window goes is dropped.
    connect(wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryStarted, m_devices,
            [this](QObject* Sender, TwclBluetoothRadio* Radio) {
                vcl::Application::guard([&] { wclBluetoothDiscoveryDiscoveryStarted(Sender, Radio); });
            });
    connect(wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryComplete, m_devices,
            [this](QObject* Sender, TwclBluetoothRadio* Radio, TwclBluetoothDevices* Devices) {
                vcl::Application::guard(
                    [&] { wclBluetoothDiscoveryDiscoveryComplete(Sender, Radio, Devices); });
            });
}

void TfmVelkor::DiscoverBtn2Click(QObject* Sender) {
    m_devices->DiscoverBtn2Click(Sender);
}

void TfmVelkor::wclBluetoothDiscoveryDiscoveryStarted(QObject* Sender, TwclBluetoothRadio* Radio) {
    m_devices->wclBluetoothDiscoveryDiscoveryStarted(Sender, Radio);
}

void TfmVelkor::wclBluetoothDiscoveryDiscoveryComplete(QObject* Sender, TwclBluetoothRadio* Radio,
                                                       TwclBluetoothDevices* Devices) {
    m_devices->wclBluetoothDiscoveryDiscoveryComplete(Sender, Radio, Devices);
}

void TfmVelkor::RefreshDevice() {
    m_devices->RefreshDevice();
}

std::unique_ptr<TwclBluetoothDevice> TfmVelkor::GetSelectedDevice() {
    return m_devices->GetSelectedDevice();
}

void TfmVelkor::PairBtnClick(QObject* Sender) {
    m_devices->PairBtnClick(Sender);
}

void TfmVelkor::UnPairBtnClick(QObject* Sender) {
    m_devices->UnPairBtnClick(Sender);
}

void TfmVelkor::UnPair() {
    m_devices->UnPair();
}

void TfmVelkor::DeviceNumericComparison(QObject* Sender, quint32 Num, bool& Confirm) {
    DeviceControl::DeviceNumericComparison(Sender, Num, Confirm);
}
