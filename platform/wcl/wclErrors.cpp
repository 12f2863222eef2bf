// The library's result codes: one table of texts, one table from BlueZ and
// D-Bus error names to codes.
#include "BluezBus.h"
#include "MessageBoxes.h"
#include "wclBluetooth.h"

#include <QHash>

namespace {

struct CodeText {
    int code;
    const char* text;
};

const CodeText kTexts[] = {
    {WCL_E_INTERNAL, "Internal driver error."},
    {WCL_E_FEATURE_NOT_SUPPORTED, "Feature is not supported."},
    {WCL_E_INVALID_ARGUMENT, "Invalid argument."},
    {WCL_E_TRANSPORT_NOT_AVAILABLE, "Specified transport is not available."},
    {WCL_E_BLUETOOTH_API_NOT_AVAILABLE, "Specified bluetooth API is not available."},
    {WCL_E_UNKNOWN_BLUETOOTH_API, "Unknown or unsupported Bluetooth API."},
    {WCL_E_DISCOVERING_ACTIVE, "Discovering operation is active."},
    {WCL_E_BLUETOOTH_STACK_NOT_RUNNING, "Bluetooth stack is not running."},
    {WCL_E_BLUETOOTH_RADIO_UNAVAILABLE, "Bluetooth radio is not available."},
    {WCL_E_BLUETOOTH_RADIO_NOT_READY, "Bluetooth radio is not ready."},
    {WCL_E_BLUETOOTH_DEVICE_NOT_FOUND, "Bluetooth device not found."},
    {WCL_E_BLUETOOTH_VALUE_NOT_AVAILABLE, "Requested value is not available."},
    {WCL_E_BLUETOOTH_OPERATION_IN_PROGRESS, "Operation is already in progress."},
    {WCL_E_BLUETOOTH_OPERATION_FAILED, "Bluetooth operation failed."},
    {WCL_E_BLUETOOTH_CONNECTION_FAILED, "Connection attempt failed."},
    {WCL_E_BLUETOOTH_ALREADY_PAIRED, "Device is already paired."},
    {WCL_E_BLUETOOTH_AUTHENTICATION_FAILED, "Authentication failed."},
    {WCL_E_BLUETOOTH_OPERATION_CANCELLED, "Operation was cancelled by user."},
    {WCL_E_BLUETOOTH_ACCESS_DENIED, "Access denied."},
    {WCL_E_BLUETOOTH_TIMEOUT, "Timeout."},
};

struct ErrorName {
    const char* name;
    int code;
};

// Anything not listed is WCL_E_INTERNAL.
const ErrorName kErrorNames[] = {
    // BlueZ
    {"org.bluez.Error.AlreadyExists", WCL_E_BLUETOOTH_ALREADY_PAIRED},
    {"org.bluez.Error.AuthenticationFailed", WCL_E_BLUETOOTH_AUTHENTICATION_FAILED},
    {"org.bluez.Error.AuthenticationCanceled", WCL_E_BLUETOOTH_OPERATION_CANCELLED},
    {"org.bluez.Error.Canceled", WCL_E_BLUETOOTH_OPERATION_CANCELLED},
    {"org.bluez.Error.AuthenticationRejected", WCL_E_BLUETOOTH_ACCESS_DENIED},
    {"org.bluez.Error.Rejected", WCL_E_BLUETOOTH_ACCESS_DENIED},
    {"org.bluez.Error.NotAuthorized", WCL_E_BLUETOOTH_ACCESS_DENIED},
    {"org.bluez.Error.NotPermitted", WCL_E_BLUETOOTH_ACCESS_DENIED},
    {"org.bluez.Error.AuthenticationTimeout", WCL_E_BLUETOOTH_TIMEOUT},
    {"org.bluez.Error.ConnectionAttemptFailed", WCL_E_BLUETOOTH_CONNECTION_FAILED},
    {"org.bluez.Error.NotConnected", WCL_E_BLUETOOTH_CONNECTION_FAILED},
    {"org.bluez.Error.InProgress", WCL_E_BLUETOOTH_OPERATION_IN_PROGRESS},
    {"org.bluez.Error.NotReady", WCL_E_BLUETOOTH_RADIO_NOT_READY},
    {"org.bluez.Error.Failed", WCL_E_BLUETOOTH_OPERATION_FAILED},
    {"org.bluez.Error.NotSupported", WCL_E_FEATURE_NOT_SUPPORTED},
    {"org.bluez.Error.NotAvailable", WCL_E_FEATURE_NOT_SUPPORTED},
    {"org.bluez.Error.InvalidArguments", WCL_E_INVALID_ARGUMENT},
    {"org.bluez.Error.InvalidLength", WCL_E_INVALID_ARGUMENT},
    {"org.bluez.Error.DoesNotExist", WCL_E_BLUETOOTH_DEVICE_NOT_FOUND},
    // D-Bus itself
    {"org.freedesktop.DBus.Error.InvalidArgs", WCL_E_INVALID_ARGUMENT},
    {"org.freedesktop.DBus.Error.PropertyReadOnly", WCL_E_FEATURE_NOT_SUPPORTED},
    {"org.freedesktop.DBus.Error.NotSupported", WCL_E_FEATURE_NOT_SUPPORTED},
    {"org.freedesktop.DBus.Error.UnknownProperty", WCL_E_FEATURE_NOT_SUPPORTED},
    {"org.freedesktop.DBus.Error.UnknownInterface", WCL_E_BLUETOOTH_DEVICE_NOT_FOUND},
    {"org.freedesktop.DBus.Error.UnknownObject", WCL_E_BLUETOOTH_DEVICE_NOT_FOUND},
    {"org.freedesktop.DBus.Error.UnknownMethod", WCL_E_BLUETOOTH_DEVICE_NOT_FOUND},
    {"org.freedesktop.DBus.Error.AccessDenied", WCL_E_BLUETOOTH_ACCESS_DENIED},
    {"org.freedesktop.DBus.Error.NoReply", WCL_E_BLUETOOTH_TIMEOUT},
    {"org.freedesktop.DBus.Error.Timeout", WCL_E_BLUETOOTH_TIMEOUT},
    {"org.freedesktop.DBus.Error.TimedOut", WCL_E_BLUETOOTH_TIMEOUT},
    {"org.freedesktop.DBus.Error.ServiceUnknown", WCL_E_BLUETOOTH_STACK_NOT_RUNNING},
    {"org.freedesktop.DBus.Error.NameHasNoOwner", WCL_E_BLUETOOTH_STACK_NOT_RUNNING},
    {"org.freedesktop.DBus.Error.Disconnected", WCL_E_BLUETOOTH_STACK_NOT_RUNNING},
    {"org.freedesktop.DBus.Error.NoServer", WCL_E_BLUETOOTH_STACK_NOT_RUNNING},
    {"org.freedesktop.DBus.Error.NoMemory", WCL_E_INTERNAL},
};

} // namespace

int wcl::codeForDBusError(const QString& errorName) {
    static const QHash<QString, int> table = [] {
        QHash<QString, int> h;
        for (const ErrorName& e : kErrorNames)
            h.insert(QString::fromLatin1(e.name), e.code);
        return h;
    }();
    // dbusmock and some services answer "<interface>.UnknownProperty"
    if (errorName.endsWith(QLatin1String(".UnknownProperty")))
        return WCL_E_FEATURE_NOT_SUPPORTED;
    return table.value(errorName, WCL_E_INTERNAL);
}

int wcl::codeForReply(const QDBusMessage& reply) {
    if (reply.type() == QDBusMessage::ReplyMessage)
        return WCL_E_SUCCESS;
    if (reply.type() != QDBusMessage::ErrorMessage)
        return WCL_E_INTERNAL;
    const int code = codeForDBusError(reply.errorName());
    if (code == WCL_E_INTERNAL)
        qCWarning(lcWcl) << "unmapped D-Bus error" << reply.errorName() << reply.errorMessage();
    return code;
}

bool wcl::isMissingProperty(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ErrorMessage)
        return false;
    const QString name = reply.errorName();
    if (name.endsWith(QLatin1String(".UnknownProperty")))
        return true;
    // BlueZ: InvalidArgs "No such property 'X'"
    return name == QLatin1String("org.freedesktop.DBus.Error.InvalidArgs") &&
           reply.errorMessage().contains(QLatin1String("No such property"), Qt::CaseInsensitive);
}

QString wclGetErrorMessage(int Code) {
    if (Code == WCL_E_SUCCESS)
        return QString();
    for (const CodeText& t : kTexts)
        if (t.code == Code)
            return QString::fromLatin1(t.text);
    return QStringLiteral("Unknown error");
}

bool wclShowError(int Code) {
    if (Code == WCL_E_SUCCESS)
        return false;
    vcl::MessageBoxes::error(wclGetErrorMessage(Code));
    return true;
}
