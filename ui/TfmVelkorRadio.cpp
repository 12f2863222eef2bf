// Local radio control: the window's handlers for the radio list and the two switches.
#include "TfmVelkor.h"

#include "wclBluetooth.h"

void TfmVelkor::setupRadio() {}
std::unique_ptr<TwclBluetoothRadio> TfmVelkor::GetSelectedRadio() { return nullptr; }
void TfmVelkor::EnumBLDevice() {}
void TfmVelkor::ClearRadios() {}
void TfmVelkor::RefreshRadio() {}
bool TfmVelkor::getConnectable() { return false; }
bool TfmVelkor::getDiscoverable() { return false; }
void TfmVelkor::SetConnectable(bool) {}
void TfmVelkor::SetDiscoverable(bool) {}
void TfmVelkor::Slider1StateChanged(QObject*, TAdvSmoothSliderState, double) {}
void TfmVelkor::Slider2StateChanged(QObject*, TAdvSmoothSliderState, double) {}
