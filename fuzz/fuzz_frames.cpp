// Tethering frames from a phone: the frame splitter and every message decoder.
#include "TetheringProtocol.h"

#include <cstdlib>

using namespace tethering;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray stream(reinterpret_cast<const char*>(data), qsizetype(size));
    FrameDecoder decoder;
    qsizetype pos = 0;
    Frame frame;
    QString error;
    for (int guard = 0; guard < 100000; ++guard) {
        const qsizetype before = pos;
        const auto r = decoder.next(stream, pos, frame, error);
        if (r != FrameDecoder::Result::Frame)
            break;
        if (pos <= before || pos > stream.size())
            std::abort(); // must always make progress inside the buffer
        // Each decoder either yields a message or says why not.
        QString e;
        const QByteArray& p = frame.payload;
        auto check = [&](bool ok) {
            if (!ok && e.isEmpty())
                std::abort();
            e.clear();
        };
        check(decodeHello(p, e).has_value());
        check(decodePairRequest(p, e).has_value());
        check(decodePairAccept(p, e).has_value());
        check(decodeProfiles(p, e).has_value());
        check(decodeConnect(p, e).has_value());
        check(decodeResource(p, e).has_value());
        check(decodeStreamBegin(p, e).has_value());
        check(decodeStreamChunk(p, e).has_value());
        check(decodeSeq(p, e).has_value());
        check(decodeAck(p, e).has_value());
        check(decodeError(p, e).has_value());
    }
    return 0;
}
