#pragma once
// Umbrella header of the Bluetooth library. (Skeleton: filled in over BlueZ.)

#include <QObject>
#include <QString>
#include <QtGlobal>
#include <functional>
#include <memory>

enum TwclBluetoothAPI { baBlueSoleil = 0, baMicrosoft = 1, baToshiba = 2, baWidComm = 3, baBlueZ = 4 };

class TwclBluetoothRadio;
class TwclBluetoothRadios;
class TwclBluetoothDevice;
class TwclBluetoothDevices;

// Loads and unloads the Bluetooth stacks.
class TwclAPI : public QObject {
    Q_OBJECT
public:
    explicit TwclAPI(QObject* parent = nullptr);
    ~TwclAPI() override;
    int Load();
    int Unload();
};

// Radio enumeration and device search.
class TwclBluetoothDiscovery : public QObject {
    Q_OBJECT
public:
    explicit TwclBluetoothDiscovery(QObject* parent = nullptr);
    ~TwclBluetoothDiscovery() override;
    int EnumRadios(TwclBluetoothRadios* Radios);
    int Discovery(TwclBluetoothRadio* Radio, quint8 Timeout, bool Fast);

Q_SIGNALS:
    void OnDiscoveryStarted(QObject* Sender, TwclBluetoothRadio* Radio);
    void OnDiscoveryComplete(QObject* Sender, TwclBluetoothRadio* Radio, TwclBluetoothDevices* Devices);
};

bool wclShowError(int Code);
QString wclGetErrorMessage(int Code);
