#pragma once

#include <QColor>

// The toolkit writes colours as 0x00BBGGRR; this turns such a value into a QColor.
constexpr QRgb fromTColor(unsigned int bgr)
{
    return qRgb(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}
