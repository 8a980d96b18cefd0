// Checks MarkDecoder against a reference encoder, and on arbitrary bytes.
//
// 1. The input scripts a line: data bytes, breaks and garbled characters. Encoded the way the
//    terminal marks them, the line must decode back exactly, whatever the cuts between reads
//    and the room the sink has.
// 2. The input itself, read as marked bytes (possibly malformed), must decode to the same
//    result whatever the cuts and the room, and never to more data bytes than it has.

#include "markdecoder.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr int BreakToken = 256;
constexpr int GarbledToken = 257;

struct Recorder : MarkDecoder::Output
{
    void data(const char *bytes, qsizetype size) override
    {
        for (qsizetype i = 0; i < size; ++i)
            tokens.push_back(static_cast<unsigned char>(bytes[i]));
        dataBytes += size;
    }
    void mark(MarkDecoder::Mark mark) override
    {
        tokens.push_back(mark == MarkDecoder::Mark::Break ? BreakToken : GarbledToken);
    }

    std::vector<int> tokens;
    qsizetype dataBytes = 0;
};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Decodes `bytes` read in pieces ending at `cuts`, with `room` data bytes per decode call;
// unconsumed bytes are offered again first, as the device does.
std::vector<int> decode(const std::vector<char> &bytes, const std::vector<size_t> &cuts,
                        qsizetype room, bool *inMark)
{
    MarkDecoder decoder;
    Recorder out;
    std::vector<char> pending;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(bytes.size());
    for (const size_t end : ends) {
        pending.insert(pending.end(), bytes.begin() + qsizetype(from),
                       bytes.begin() + qsizetype(end));
        from = end;
        while (!pending.empty()) {
            const qsizetype before = out.dataBytes;
            const qsizetype used
                = decoder.decode(pending.data(), qsizetype(pending.size()), out, room);
            check(used >= 0 && used <= qsizetype(pending.size()));
            check(out.dataBytes - before <= room);
            check(used > 0 || out.dataBytes > before);
            pending.erase(pending.begin(), pending.begin() + used);
        }
    }
    *inMark = decoder.inMark();
    return out.tokens;
}

std::vector<size_t> cutsFrom(FuzzedDataProvider &provider, size_t size)
{
    std::vector<size_t> cuts;
    size_t at = 0;
    while (at < size && provider.remaining_bytes() > 0) {
        at += provider.ConsumeIntegralInRange<size_t>(1, 16);
        if (at < size)
            cuts.push_back(at);
    }
    return cuts;
}

void checkRoundTrip(FuzzedDataProvider &provider)
{
    std::vector<int> line;
    std::vector<char> marked;
    const size_t items = provider.ConsumeIntegralInRange<size_t>(0, 256);
    for (size_t i = 0; i < items && provider.remaining_bytes() > 0; ++i) {
        const int kind = provider.ConsumeIntegralInRange<int>(0, 7);
        const auto byte = provider.ConsumeIntegral<uint8_t>();
        if (kind == 0) {
            line.push_back(BreakToken);
            marked.insert(marked.end(), {char(0xFF), 0, 0});
        } else if (kind == 1 && byte != 0) {
            line.insert(line.end(), {GarbledToken, byte});
            marked.insert(marked.end(), {char(0xFF), 0, char(byte)});
        } else {
            line.push_back(byte);
            marked.push_back(char(byte));
            if (byte == 0xFF)
                marked.push_back(char(0xFF));
        }
    }

    bool inMark = true;
    const qsizetype room = provider.ConsumeIntegralInRange<qsizetype>(1, 64);
    check(decode(marked, cutsFrom(provider, marked.size()), room, &inMark) == line);
    check(!inMark);
    if (marked.size() <= 64) {
        for (size_t cut = 0; cut <= marked.size(); ++cut)
            check(decode(marked, {cut}, room, &inMark) == line && !inMark);
    }
}

void checkArbitraryBytes(const uint8_t *data, size_t size)
{
    const std::vector<char> bytes(data, data + size);
    FuzzedDataProvider provider(data, size);
    bool wholeInMark = false;
    const std::vector<int> whole = decode(bytes, {}, qsizetype(size) + 1, &wholeInMark);
    size_t dataTokens = 0;
    for (const int token : whole)
        dataTokens += token < 256 ? 1 : 0;
    check(dataTokens <= size);

    bool inMark = false;
    const qsizetype room = provider.ConsumeIntegralInRange<qsizetype>(1, 8);
    check(decode(bytes, cutsFrom(provider, size), room, &inMark) == whole);
    check(inMark == wholeInMark);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    checkRoundTrip(provider);
    checkArbitraryBytes(data, size);
    return 0;
}
