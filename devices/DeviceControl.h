#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class QTreeWidgetItem;
class RadioControl;
class TAdvOfficeStatusBar;
class TAdvSmoothWin8Marquee;
class TListView;
class TwclBluetoothDevice;
class TwclBluetoothDevices;
class TwclBluetoothDiscovery;
class TwclBluetoothRadio;

// Remote devices: the device search, the device list, pairing and unpairing.
// Works on the window's components, which it does not own.
class DeviceControl : public QObject {
    Q_OBJECT
public:
    struct Components {
        TwclBluetoothDiscovery* discovery = nullptr;
        TListView* devices = nullptr;               // lvDevices2
        TAdvSmoothWin8Marquee* indicator = nullptr; // Marquee1
        TAdvOfficeStatusBar* statusBar = nullptr;   // StatusBar1, panel 0
    };

    // The search length asked of the stack, in inquiry units of 1.28 s.
    static constexpr quint8 SearchTimeout = 15;
    static inline const QString SearchingText = QStringLiteral("検出中.....");

    DeviceControl(const Components& components, RadioControl* radio, QObject* parent = nullptr);

    void DiscoverBtn2Click(QObject* Sender);
    void wclBluetoothDiscoveryDiscoveryStarted(QObject* Sender, TwclBluetoothRadio* Radio);
    void wclBluetoothDiscoveryDiscoveryComplete(QObject* Sender, TwclBluetoothRadio* Radio,
                                                TwclBluetoothDevices* Devices);
    void RefreshDevice();
    // A new device for the selected row's caption, or nullptr after "Select device".
    // Throws EwclError when the caption is not an address text.
    std::unique_ptr<TwclBluetoothDevice> GetSelectedDevice();
    void PairBtnClick(QObject* Sender);
    void UnPairBtnClick(QObject* Sender);
    void UnPair();
    // Confirms every numeric comparison. Touches nothing but Confirm: it may run on
    // a thread of the Bluetooth stack, and outlives nothing.
    static void DeviceNumericComparison(QObject* Sender, quint32 Num, bool& Confirm);

    // Reports the answer to a search request (box, indicator). accepted: the search
    // runs and its completion is still to come.
    void searchRequested(int code, bool accepted);
    // True from an accepted search request until its completion has been handled.
    bool searchPending() const { return m_searchPending; }

private:
    void showIndicator(bool on);
    QTreeWidgetItem* selectedRow() const;

    QPointer<TwclBluetoothDiscovery> m_discovery;
    QPointer<TListView> m_devices;
    QPointer<TAdvSmoothWin8Marquee> m_indicator;
    QPointer<TAdvOfficeStatusBar> m_statusBar;
    QPointer<RadioControl> m_radio;
    bool m_searchPending = false;
    quint64 m_completions = 0;
};
