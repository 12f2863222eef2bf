// Address text as it comes back from an edited list caption.
#include "Exception.h"
#include "wclBluetooth.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const bool valid = TwclBluetoothDevice::IsValidAddress(text);
    TwclBluetoothDevice device;
    try {
        device.SetAddress(text);
        if (!valid)
            std::abort(); // accepted what the check refuses
        // An accepted address round-trips in the library's own upper-case form.
        if (device.Address().compare(text, Qt::CaseInsensitive) != 0)
            std::abort();
    } catch (const EwclError&) {
        if (valid)
            std::abort();
    }
    return 0;
}
