// The update control file's parser (the signature check sits before it and is
// left out here, so the fuzzer reaches the parser with any bytes).
#include "ControlFile.h"

#include <cstdlib>

using namespace webupdate;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const auto cf = ControlFile::parse(bytes, QUrl(QStringLiteral("http://127.0.0.1/Quillmarsh/KelvornUp.inf")),
                                       DateFormats{}, &error);
    if (!cf) {
        if (error.isEmpty())
            std::abort(); // a refusal always says why
        return 0;
    }
    if (cf->files.size() > MaxFiles || cf->components.size() > MaxComponents)
        std::abort();
    for (const FileEntry& f : cf->files) {
        // Whatever the parser accepts must be safe to install and bounded.
        if (!isSafeRelativePath(f.name) || f.size < 0 || f.size > MaxFileSize || f.sha256.size() != 32)
            std::abort();
        if (cf->file(f.index) == nullptr)
            std::abort();
    }
    return 0;
}
