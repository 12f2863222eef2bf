#pragma once
// Internal: our org.bluez.Agent1. It lives on a thread of its own so that it is
// served while Pair blocks the UI thread waiting for BlueZ.

#include <QDBusContext>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>

class TwclBluetoothDevice;

namespace wcl {

class BluezAgent : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.bluez.Agent1")
public:
    static QString objectPath() { return QStringLiteral("/org/sarnavel/wcl/agent"); }
    static QString capability() { return QStringLiteral("DisplayYesNo"); }

    // The pairing Pair is running, so requests for that device reach the
    // device's handlers. Called on the UI thread around the Pair call.
    static void beginPairing(const QString& devicePath, TwclBluetoothDevice* device);
    static void endPairing();

public Q_SLOTS:
    void Release();
    QString RequestPinCode(const QDBusObjectPath& device);
    void DisplayPinCode(const QDBusObjectPath& device, const QString& pincode);
    uint RequestPasskey(const QDBusObjectPath& device);
    void DisplayPasskey(const QDBusObjectPath& device, uint passkey, ushort entered);
    void RequestConfirmation(const QDBusObjectPath& device, uint passkey);
    void RequestAuthorization(const QDBusObjectPath& device);
    void AuthorizeService(const QDBusObjectPath& device, const QString& uuid);
    void Cancel();

private:
    void reject(const QString& why);
};

} // namespace wcl
