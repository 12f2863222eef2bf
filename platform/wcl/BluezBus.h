#pragma once
// Internal: the library's access to BlueZ on D-Bus. Every call is bounded.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QLoggingCategory>
#include <QString>
#include <QVariant>

Q_DECLARE_LOGGING_CATEGORY(lcWcl)

class TwclBluetoothRadio;

namespace wcl {

inline const QString kBluezService = QStringLiteral("org.bluez");
inline const QString kAdapterIface = QStringLiteral("org.bluez.Adapter1");
inline const QString kDeviceIface = QStringLiteral("org.bluez.Device1");
inline const QString kPropsIface = QStringLiteral("org.freedesktop.DBus.Properties");
inline const QString kObjectManagerIface = QStringLiteral("org.freedesktop.DBus.ObjectManager");

// Our code for a D-Bus error name (the one table, in wclErrors.cpp).
int codeForDBusError(const QString& errorName);
// Our code for a failed reply.
int codeForReply(const QDBusMessage& reply);
// True when the error says the object lacks that property.
bool isMissingProperty(const QDBusMessage& reply);

// Longest text we take from BlueZ for a name; anything beyond is cut.
constexpr int kMaxNameChars = 1024;

QDBusConnection connection();
// Registers our pairing agent with the BlueZ now on the bus, unless done already.
void ensureAgentRegistered();
bool isLoaded();

int callTimeout();
int pairTimeout();
void countRoundTrip();

// Blocking call, bounded by timeoutMs (default: the library's call timeout).
QDBusMessage call(const QString& path, const QString& iface, const QString& method,
                  const QVariantList& args = {}, int timeoutMs = -1);

// The object path of BlueZ's first adapter (lowest hciN). 0, or a code.
int firstAdapter(QString& path);
// Checks the radio and the loaded stack, then finds the first adapter.
int radioAdapter(const TwclBluetoothRadio* radio, QString& path);

// Properties. getProperty gives kMissing when the object has no such property.
constexpr int kMissing = -1;
int getProperty(const QString& path, const QString& iface, const QString& name, QVariant& value);
int setProperty(const QString& path, const QString& iface, const QString& name, const QVariant& value);

// "AA:BB:CC:DD:EE:FF" (either case) -> 6 bytes; false if malformed.
bool parseBluezAddress(const QString& text, quint8 out[6]);
QString formatAddress(const quint8 addr[6]); // "(AA:BB:CC:DD:EE:FF)"
QString devicePath(const QString& adapterPath, const quint8 addr[6]);

} // namespace wcl
