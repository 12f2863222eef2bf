#pragma once
// Umbrella header of the Bluetooth library: the names the program calls, over
// BlueZ 5 on the system D-Bus. See docs/bluetooth.md for how each call maps to
// BlueZ and which result code each BlueZ error gives.

#include "Exception.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QtGlobal>
#include <functional>
#include <memory>
#include <vector>

enum TwclBluetoothAPI { baBlueSoleil = 0, baMicrosoft = 1, baToshiba = 2, baWidComm = 3, baBlueZ = 4 };

// Result codes. 0 is success; every other code has a text (wclGetErrorMessage).
// 7 is deliberately unused: it stays "Unknown error".
enum : int {
    WCL_E_SUCCESS = 0,
    WCL_E_INTERNAL = 2,
    WCL_E_FEATURE_NOT_SUPPORTED = 4,
    WCL_E_INVALID_ARGUMENT = 5,
    WCL_E_TRANSPORT_NOT_AVAILABLE = 13,
    WCL_E_BLUETOOTH_API_NOT_AVAILABLE = 14,
    WCL_E_UNKNOWN_BLUETOOTH_API = 15,
    WCL_E_DISCOVERING_ACTIVE = 21,
    WCL_E_BLUETOOTH_STACK_NOT_RUNNING = 30,
    WCL_E_BLUETOOTH_RADIO_UNAVAILABLE = 31,
    WCL_E_BLUETOOTH_RADIO_NOT_READY = 32,
    WCL_E_BLUETOOTH_DEVICE_NOT_FOUND = 33,
    WCL_E_BLUETOOTH_VALUE_NOT_AVAILABLE = 34,
    WCL_E_BLUETOOTH_OPERATION_IN_PROGRESS = 35,
    WCL_E_BLUETOOTH_OPERATION_FAILED = 36,
    WCL_E_BLUETOOTH_CONNECTION_FAILED = 37,
    WCL_E_BLUETOOTH_ALREADY_PAIRED = 40,
    WCL_E_BLUETOOTH_AUTHENTICATION_FAILED = 41,
    WCL_E_BLUETOOTH_OPERATION_CANCELLED = 42,
    WCL_E_BLUETOOTH_ACCESS_DENIED = 43,
    WCL_E_BLUETOOTH_TIMEOUT = 44,
};

class TwclBluetoothRadio;
class TwclBluetoothRadios;
class TwclBluetoothDevice;
class TwclBluetoothDevices;

// Loads and unloads the Bluetooth stacks. The loaded state is process-wide.
class TwclAPI : public QObject {
    Q_OBJECT
public:
    explicit TwclAPI(QObject* parent = nullptr);
    ~TwclAPI() override;

    // Finds org.bluez on the bus and registers the pairing agent. Without a
    // BlueZ answering no stack is loaded (EnumRadios then gives 13).
    int Load();
    // Ends a running discovery (its completion reports failure, at once) and
    // unregisters the agent.
    int Unload();

    // Bus to use from the next Load on; default: a connection of the library's own
    // to the system bus (DBUS_SYSTEM_BUS_ADDRESS or the standard socket).
    static void setConnection(const QDBusConnection& bus);
    // Back to the default bus.
    static void resetConnection();
};

// A local radio: holds only its stack. Every call reaches the stack's first
// adapter afresh, so a copy outlives the enumeration it came from.
class TwclBluetoothRadio {
public:
    TwclBluetoothRadio() = default;
    void Assign(const TwclBluetoothRadio& Source) { FAPI = Source.FAPI; }
    TwclBluetoothAPI Api() const { return FAPI; }

    int GetAddress(QString& Address);
    int GetConnectable(bool& Flag);
    int GetDiscoverable(bool& Flag);
    int GetName(QString& Name);
    int SetConnectable(bool Flag);
    int SetDiscoverable(bool Flag);

private:
    friend class TwclBluetoothDiscovery;
    TwclBluetoothAPI FAPI = baBlueSoleil;
};

// Radio enumeration; owns its items.
class TwclBluetoothRadios {
public:
    TwclBluetoothRadios() = default;
    TwclBluetoothRadios(const TwclBluetoothRadios&) = delete;
    TwclBluetoothRadios& operator=(const TwclBluetoothRadios&) = delete;

    int Count() const { return int(m_items.size()); }
    // Throws EListError for an index outside 0..Count()-1.
    TwclBluetoothRadio* Items(int Index) const;
    void Clear() { m_items.clear(); }

private:
    friend class TwclBluetoothDiscovery;
    std::vector<std::unique_ptr<TwclBluetoothRadio>> m_items;
};

// An address text the library refuses, and other errors it raises.
class EwclError : public Exception {
public:
    using Exception::Exception;
};

// A remote device, known by its address only.
class TwclBluetoothDevice : public QObject {
    Q_OBJECT
public:
    explicit TwclBluetoothDevice(QObject* parent = nullptr);
    ~TwclBluetoothDevice() override;

    // "(%.2X:%.2X:%.2X:%.2X:%.2X:%.2X)", most significant byte first.
    QString Address() const;
    // Takes exactly the 19-character shape (hex digits of either case);
    // anything else throws EwclError("<text> is not valid Bluetooth address.").
    void SetAddress(const QString& Address);
    // The shape check alone.
    static bool IsValidAddress(const QString& Address);

    int GetClassOfDevice(TwclBluetoothRadio* Radio, quint32& Value);
    int GetName(TwclBluetoothRadio* Radio, QString& Value);
    int GetPaired(TwclBluetoothRadio* Radio, bool& Value);
    // Runs the whole pairing before it returns (bounded), serving the agent
    // meanwhile on the library's agent thread.
    int Pair(TwclBluetoothRadio* Radio);
    int Unpair(TwclBluetoothRadio* Radio);

    // Called during Pair for numeric comparison; may run on a non-UI thread.
    // Confirm starts false; the pairing goes on only if the handler sets it.
    std::function<void(QObject* Sender, quint32 Num, bool& Confirm)> OnNumericComparison;
    // Unbound by default: the library then answers by itself (docs/bluetooth.md).
    std::function<void(QObject* Sender, QString& Pin)> OnPINRequest;
    std::function<void(QObject* Sender, quint32& Passkey)> OnPasskey;
    std::function<void(QObject* Sender, quint32 Passkey)> OnPasskeyNotification;

private:
    quint8 m_address[6] = {0, 0, 0, 0, 0, 0};
};

// List of devices a search found; owns its items.
class TwclBluetoothDevices {
public:
    TwclBluetoothDevices() = default;
    TwclBluetoothDevices(const TwclBluetoothDevices&) = delete;
    TwclBluetoothDevices& operator=(const TwclBluetoothDevices&) = delete;

    int Count() const { return int(m_items.size()); }
    // Throws EListError for an index outside 0..Count()-1.
    TwclBluetoothDevice* Items(int Index) const;
    void Clear() { m_items.clear(); }
    // Appends a device with that address (must be valid; see SetAddress).
    TwclBluetoothDevice* Add(const QString& Address);

private:
    std::vector<std::unique_ptr<TwclBluetoothDevice>> m_items;
};

class DiscoveryRun;

// Radio enumeration and device search.
class TwclBluetoothDiscovery : public QObject {
    Q_OBJECT
public:
    explicit TwclBluetoothDiscovery(QObject* parent = nullptr);
    ~TwclBluetoothDiscovery() override;

    // 0 and one radio (baBlueZ) when BlueZ is loaded and has an adapter,
    // 0 and none when it has no adapter, 13 when no stack is loaded.
    int EnumRadios(TwclBluetoothRadios* Radios);
    // Returns at once. 0: OnDiscoveryStarted, then exactly one
    // OnDiscoveryComplete follow on the UI thread. 21 while a search runs.
    // Timeout is in inquiry units (1.28 s); Fast false reports only the
    // devices seen during this search.
    int Discovery(TwclBluetoothRadio* Radio, quint8 Timeout, bool Fast);
    bool Discovering() const;

    // Tests only: length of one inquiry unit; default 1280.
    static void setInquiryUnitMs(int ms);
    static int inquiryUnitMs();

Q_SIGNALS:
    void OnDiscoveryStarted(QObject* Sender, TwclBluetoothRadio* Radio);
    // Devices nullptr: the search failed. The list belongs to the library and
    // is valid during the handler only.
    void OnDiscoveryComplete(QObject* Sender, TwclBluetoothRadio* Radio, TwclBluetoothDevices* Devices);

private:
    friend class DiscoveryRun;
    friend class TwclAPI;
    std::unique_ptr<DiscoveryRun> m_run;
};

// 0: shows nothing, returns false. Else an error box with the code's text; true.
bool wclShowError(int Code);
// "" for 0, "Unknown error" for codes the library has no text for.
QString wclGetErrorMessage(int Code);
