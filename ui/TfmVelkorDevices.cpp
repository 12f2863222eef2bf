// Remote devices: the window's handlers for discovery, the device list, pairing.
#include "TfmVelkor.h"

#include "wclBluetooth.h"

void TfmVelkor::setupDevices() {}
void TfmVelkor::DiscoverBtn2Click(QObject*) {}
void TfmVelkor::wclBluetoothDiscoveryDiscoveryStarted(QObject*, TwclBluetoothRadio*) {}
void TfmVelkor::wclBluetoothDiscoveryDiscoveryComplete(QObject*, TwclBluetoothRadio*, TwclBluetoothDevices*) {}
void TfmVelkor::RefreshDevice() {}
std::unique_ptr<TwclBluetoothDevice> TfmVelkor::GetSelectedDevice() { return nullptr; }
void TfmVelkor::PairBtnClick(QObject*) {}
void TfmVelkor::UnPairBtnClick(QObject*) {}
void TfmVelkor::UnPair() {}
void TfmVelkor::DeviceNumericComparison(QObject*, quint32, bool& Confirm) { Confirm = true; }
