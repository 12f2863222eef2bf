// Version numbers and dates/times from an update control file.
#include "ControlFile.h"

#include <cstdlib>

using namespace webupdate;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString all = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype cut = all.indexOf(QLatin1Char('\n'));
    const QString a = cut < 0 ? all : all.left(cut);
    const QString b = cut < 0 ? QString() : all.mid(cut + 1);

    const auto va = Version::parse(a);
    const auto vb = Version::parse(b);
    if (va && vb) {
        // A total order: antisymmetric, and a version equals its own text form.
        if (va->compare(*vb) != -vb->compare(*va))
            std::abort();
        const auto again = Version::parse(va->toString());
        if (!again || again->compare(*va) != 0)
            std::abort();
    }
    const DateFormats formats;
    if (const auto d = formats.parseDate(a); d && !d->isValid())
        std::abort();
    if (const auto t = formats.parseTime(b); t && !t->isValid())
        std::abort();
    return 0;
}
