#include "BluezAgent.h"

#include "BluezBus.h"
#include "wclBluetooth.h"

#include <QMutex>
#include <QMutexLocker>

namespace wcl {
namespace {

// The pairing in progress. The lock is held while a device handler runs, so
// Pair cannot return (and the device be freed) in the middle of it.
struct Pairing {
    QMutex lock;
    QString path;
    TwclBluetoothDevice* device = nullptr;
};
Pairing& pairing() {
    static Pairing p;
    return p;
}

// Default PIN for legacy devices when no OnPINRequest handler is bound.
const QString kDefaultPin = QStringLiteral("0000");

} // namespace

void BluezAgent::beginPairing(const QString& devicePath, TwclBluetoothDevice* device) {
    QMutexLocker l(&pairing().lock);
    pairing().path = devicePath;
    pairing().device = device;
}

void BluezAgent::endPairing() {
    QMutexLocker l(&pairing().lock);
    pairing().path.clear();
    pairing().device = nullptr;
}

void BluezAgent::reject(const QString& why) {
    qCInfo(lcWcl) << "agent rejects:" << why;
    if (calledFromDBus())
        sendErrorReply(QStringLiteral("org.bluez.Error.Rejected"), why);
}

void BluezAgent::Release() {}

QString BluezAgent::RequestPinCode(const QDBusObjectPath& device) {
    QMutexLocker l(&pairing().lock);
    if (!pairing().device || pairing().path != device.path()) {
        reject(QStringLiteral("no pairing of ours"));
        return {};
    }
    QString pin = kDefaultPin;
    if (pairing().device->OnPINRequest) {
        try {
            pairing().device->OnPINRequest(pairing().device, pin);
        } catch (...) {
            reject(QStringLiteral("PIN handler failed"));
            return {};
        }
    }
    // BlueZ takes 1 to 16 characters
    if (pin.isEmpty() || pin.toUtf8().size() > 16) {
        reject(QStringLiteral("no usable PIN"));
        return {};
    }
    return pin;
}

void BluezAgent::DisplayPinCode(const QDBusObjectPath& device, const QString& pincode) {
    QMutexLocker l(&pairing().lock);
    if (!pairing().device || pairing().path != device.path()) {
        reject(QStringLiteral("no pairing of ours"));
        return;
    }
    if (pairing().device->OnPasskeyNotification) {
        bool ok = false;
        const uint value = pincode.toUInt(&ok);
        if (ok) {
            try {
                pairing().device->OnPasskeyNotification(pairing().device, value);
            } catch (...) {
            }
        }
    }
}

uint BluezAgent::RequestPasskey(const QDBusObjectPath& device) {
    QMutexLocker l(&pairing().lock);
    if (!pairing().device || pairing().path != device.path()) {
        reject(QStringLiteral("no pairing of ours"));
        return 0;
    }
    // The remote shows a number we would have to type; without a handler we
    // cannot know it, so the pairing is refused rather than guessed.
    if (!pairing().device->OnPasskey) {
        reject(QStringLiteral("passkey entry without a handler"));
        return 0;
    }
    quint32 passkey = 0;
    try {
        pairing().device->OnPasskey(pairing().device, passkey);
    } catch (...) {
        reject(QStringLiteral("passkey handler failed"));
        return 0;
    }
    if (passkey > 999999) {
        reject(QStringLiteral("passkey out of range"));
        return 0;
    }
    return passkey;
}

void BluezAgent::DisplayPasskey(const QDBusObjectPath& device, uint passkey, ushort entered) {
    Q_UNUSED(entered);
    QMutexLocker l(&pairing().lock);
    if (!pairing().device || pairing().path != device.path())
        return; // a notification needs no answer
    if (pairing().device->OnPasskeyNotification) {
        try {
            pairing().device->OnPasskeyNotification(pairing().device, passkey);
        } catch (...) {
        }
    }
}

void BluezAgent::RequestConfirmation(const QDBusObjectPath& device, uint passkey) {
    QMutexLocker l(&pairing().lock);
    if (!pairing().device || pairing().path != device.path()) {
        reject(QStringLiteral("no pairing of ours"));
        return;
    }
    // Refused unless a handler leaves the flag set.
    bool confirm = false;
    if (pairing().device->OnNumericComparison) {
        try {
            pairing().device->OnNumericComparison(pairing().device, passkey, confirm);
        } catch (...) {
            confirm = false;
        }
    }
    if (!confirm)
        reject(QStringLiteral("numeric comparison not confirmed"));
}

void BluezAgent::RequestAuthorization(const QDBusObjectPath& device) {
    // "Just works" pairing: fine for the pairing we started, nothing else.
    QMutexLocker l(&pairing().lock);
    if (!pairing().device || pairing().path != device.path())
        reject(QStringLiteral("no pairing of ours"));
}

void BluezAgent::AuthorizeService(const QDBusObjectPath& device, const QString& uuid) {
    // BlueZ asks this for connections from devices that are paired but not
    // trusted; the pairing was the user's decision, so the service is allowed.
    Q_UNUSED(device);
    Q_UNUSED(uuid);
}

void BluezAgent::Cancel() {}

} // namespace wcl
