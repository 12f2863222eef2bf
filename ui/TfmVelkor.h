#pragma once

#include <QWidget>
#include <memory>

#include "TAdvSmoothSlider.h"

class TAdvPanel;
class TAdvOfficeStatusBar;
class TAdvSmoothWin8Marquee;
class TAeroSpeedButton;
class TGradientLabel;
class TListView;
class TMemo;
class TEdit;
class TSaveDialog;
class TExeInfo;
class TwclAPI;
class TwclBluetoothDiscovery;
class TwclBluetoothRadio;
class TwclBluetoothDevice;
class TwclBluetoothDevices;
class TTetheringManager;
class TTetheringAppProfile;
class TRemoteResource;
class TWebUpdate;
class TWebUpdateWizard;
class RadioControl;
class DeviceControl;
class TetheringControl;

namespace Ui {
class TfmVelkor;
}

// The program's one window. Its components come from the stored layout
// (TfmVelkor.ui) plus the non-visual ones made in the constructor; each
// subsystem's handlers are implemented in their own source file and delegate
// to the subsystem's folder (radio/, devices/, tethering/, update/).
class TfmVelkor : public QWidget {
    Q_OBJECT
public:
    // Window-construction options, for tests and benchmarks.
    struct Options {
        bool runFormCreate = true;
    };
    explicit TfmVelkor(QWidget* parent = nullptr);
    TfmVelkor(const Options& options, QWidget* parent = nullptr);
    ~TfmVelkor() override;

    // --- Components, in declaration order ---------------------------------------
    TAdvPanel* AdvPanel1 = nullptr;
    TAdvOfficeStatusBar* StatusBar1 = nullptr;
    TAdvSmoothWin8Marquee* Marquee1 = nullptr;
    TwclAPI* wclAPI = nullptr;
    TwclBluetoothDiscovery* wclBluetoothDiscovery = nullptr;
    TAeroSpeedButton* DiscoverBtn2 = nullptr;
    TAeroSpeedButton* PairBtn = nullptr;
    TAeroSpeedButton* UnPairBtn = nullptr;
    TAdvPanel* AdvPanel2 = nullptr;
    TGradientLabel* GradientLabel2 = nullptr;
    TGradientLabel* GradientLabel4 = nullptr;
    TAdvSmoothSlider* Slider1 = nullptr;
    TAdvSmoothSlider* Slider2 = nullptr;
    TListView* lvRadios = nullptr;
    TListView* lvDevices2 = nullptr;
    TAdvPanel* AdvPanel3 = nullptr;
    TAeroSpeedButton* QuitBtn = nullptr;
    TAdvPanel* AdvPanel4 = nullptr;
    TTetheringManager* TManager1 = nullptr;
    TTetheringAppProfile* TAppProfile1 = nullptr;
    TMemo* Memo1 = nullptr;
    TGradientLabel* GradientLabel1 = nullptr;
    TSaveDialog* SaveDialog1 = nullptr;
    TAeroSpeedButton* AeroSpeedButton1 = nullptr;
    TEdit* Edit1 = nullptr;
    TGradientLabel* GradientLabel3 = nullptr;
    TAeroSpeedButton* sendtextbtn = nullptr;
    TWebUpdate* WebUpdate1 = nullptr;
    TWebUpdateWizard* WebUpdateWizard1 = nullptr;
    TExeInfo* ExeInfo1 = nullptr;

    // --- Application shell (TfmVelkor.cpp) -------------------------------------
    void FormCreate(QObject* Sender);
    void FormShow(QObject* Sender);
    void FormDestroy(QObject* Sender);
    void QuitBtnClick(QObject* Sender);

    // --- Local radio control (TfmVelkorRadio.cpp) -------------------------------
    std::unique_ptr<TwclBluetoothRadio> GetSelectedRadio();
    void EnumBLDevice();
    void ClearRadios();
    void RefreshRadio();
    bool getConnectable();
    bool getDiscoverable();
    void SetConnectable(bool Flag);
    void SetDiscoverable(bool Flag);
    void Slider1StateChanged(QObject* Sender, TAdvSmoothSliderState State, double Value);
    void Slider2StateChanged(QObject* Sender, TAdvSmoothSliderState State, double Value);

    // --- Remote devices (TfmVelkorDevices.cpp) ----------------------------------
    void DiscoverBtn2Click(QObject* Sender);
    void wclBluetoothDiscoveryDiscoveryStarted(QObject* Sender, TwclBluetoothRadio* Radio);
    void wclBluetoothDiscoveryDiscoveryComplete(QObject* Sender, TwclBluetoothRadio* Radio,
                                                TwclBluetoothDevices* Devices);
    void RefreshDevice();
    std::unique_ptr<TwclBluetoothDevice> GetSelectedDevice();
    void PairBtnClick(QObject* Sender);
    void UnPairBtnClick(QObject* Sender);
    void UnPair();
    void DeviceNumericComparison(QObject* Sender, quint32 Num, bool& Confirm);

    // --- Tethering text exchange (TfmVelkorTethering.cpp) -----------------------
    void TAppProfile1ResourceReceived(QObject* Sender, const TRemoteResource& Resource);
    void sendtextbtnClick(QObject* Sender);
    void AeroSpeedButton1Click(QObject* Sender);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void createComponents();
    void bindEvents();
    // Each subsystem's source file makes its controller and binds its events.
    void setupRadio();
    void setupDevices();
    void setupTethering();
    void setupUpdate();

    std::unique_ptr<Ui::TfmVelkor> m_ui;
    // Subsystem controllers: QObject children of the window, made by setupX().
    RadioControl* m_radio = nullptr;
    DeviceControl* m_devices = nullptr;
    TetheringControl* m_tethering = nullptr;
    bool m_shown = false;
    bool m_destroyed = false;
};

// The program-wide reference to the one window.
extern TfmVelkor* fmVelkor;
