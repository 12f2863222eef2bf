#include "wclBluetooth.h"

TwclAPI::TwclAPI(QObject* parent)
    : QObject(parent)
{
}
TwclAPI::~TwclAPI() = default;
int TwclAPI::Load()
{
    return 0;
}
int TwclAPI::Unload()
{
    return 0;
}

TwclBluetoothDiscovery::TwclBluetoothDiscovery(QObject* parent)
    : QObject(parent)
{
}
TwclBluetoothDiscovery::~TwclBluetoothDiscovery() = default;
int TwclBluetoothDiscovery::EnumRadios(TwclBluetoothRadios*)
{
    return 13;
}
int TwclBluetoothDiscovery::Discovery(TwclBluetoothRadio*, quint8, bool)
{
    return 13;
}

bool wclShowError(int Code)
{
    return Code != 0;
}
QString wclGetErrorMessage(int Code)
{
    return Code == 0 ? QString() : QStringLiteral("Unknown error");
}
