// Local radio control: the window's handlers for the radio list and the two switches.
#include "TfmVelkor.h"

#include "Application.h"
#include "RadioControl.h"
#include "wclBluetooth.h"

void TfmVelkor::setupRadio() {
    m_radio = new RadioControl({wclBluetoothDiscovery, lvRadios, Slider1, Slider2}, this);
    // The sliders raise OnStateChanged only for the user's changes.
    connect(Slider1, &TAdvSmoothSlider::OnStateChanged, m_radio,
            [this](QObject* Sender, TAdvSmoothSliderState State, double Value) {
                vcl::Application::guard([&] { Slider1StateChanged(Sender, State, Value); });
            });
    connect(Slider2, &TAdvSmoothSlider::OnStateChanged, m_radio,
            [this](QObject* Sender, TAdvSmoothSliderState State, double Value) {
                vcl::Application::guard([&] { Slider2StateChanged(Sender, State, Value); });
            });
}

std::unique_ptr<TwclBluetoothRadio> TfmVelkor::GetSelectedRadio() {
    return m_radio->GetSelectedRadio();
}

void TfmVelkor::EnumBLDevice() {
    m_radio->EnumBLDevice();
}

void TfmVelkor::ClearRadios() {
    m_radio->ClearRadios();
}

void TfmVelkor::RefreshRadio() {
    m_radio->RefreshRadio();
}

bool TfmVelkor::getConnectable() {
    return m_radio->getConnectable();
}

bool TfmVelkor::getDiscoverable() {
    return m_radio->getDiscoverable();
}

void TfmVelkor::SetConnectable(bool Flag) {
    m_radio->SetConnectable(Flag);
}

void TfmVelkor::SetDiscoverable(bool Flag) {
    m_radio->SetDiscoverable(Flag);
}

void TfmVelkor::Slider1StateChanged(QObject* Sender, TAdvSmoothSliderState State, double Value) {
    m_radio->Slider1StateChanged(Sender, State, Value);
}

void TfmVelkor::Slider2StateChanged(QObject* Sender, TAdvSmoothSliderState State, double Value) {
    m_radio->Slider2StateChanged(Sender, State, Value);
}
