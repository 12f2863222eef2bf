#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

#include "TAdvSmoothSlider.h"

class TListView;
class TwclBluetoothDiscovery;
class TwclBluetoothRadio;

// Local radio control: the working radio, the radio list and the discoverable /
// connectable switches. Works on the window's components, which it does not own.
class RadioControl : public QObject {
    Q_OBJECT
public:
    struct Components {
        TwclBluetoothDiscovery* discovery = nullptr;
        TListView* radios = nullptr;              // lvRadios
        TAdvSmoothSlider* discoverable = nullptr; // Slider1
        TAdvSmoothSlider* connectable = nullptr;  // Slider2
    };

    explicit RadioControl(const Components& components, QObject* parent = nullptr);

    // Name shown in the API column for a stack value.
    static QString stackName(int api);
    // "Error: <code>" as a failed read shows it in a cell.
    static QString errorCell(int code);

    // A fresh copy of the first enumerated radio, or nullptr after the boxes.
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

private:
    enum class FlagKind { Discoverable, Connectable };
    bool readFlag(FlagKind which);
    void writeFlag(FlagKind which, bool value);

    QPointer<TwclBluetoothDiscovery> m_discovery;
    QPointer<TListView> m_radios;
    QPointer<TAdvSmoothSlider> m_discoverable;
    QPointer<TAdvSmoothSlider> m_connectable;
};
