#include "markdecoder.h"

#include <cstring>

namespace {

constexpr char MarkStart = char(0xFF);

} // namespace

qsizetype MarkDecoder::decode(const char *input, qsizetype size, Output &out, qsizetype maxData)
{
    qsizetype pos = 0;
    qsizetype budget = maxData;
    while (pos < size && budget > 0) {
        const char byte = input[pos];
        switch (m_state) {
        case State::Plain: {
            const qsizetype span = qMin(size - pos, budget);
            const void *found = std::memchr(input + pos, MarkStart, size_t(span));
            const qsizetype plain = found ? static_cast<const char *>(found) - (input + pos) : span;
            if (plain > 0) {
                out.data(input + pos, plain);
                pos += plain;
                budget -= plain;
            }
            if (found) {
                m_state = State::Escape;
                ++pos;
            }
            break;
        }
        case State::Escape:
            if (byte == MarkStart) {
                out.data(&MarkStart, 1);
                --budget;
                ++pos;
                m_state = State::Plain;
            } else if (byte == 0) {
                ++pos;
                m_state = State::MarkByte;
            } else {
                // Not a mark: the 0xFF was data, and this byte is read afresh.
                out.data(&MarkStart, 1);
                --budget;
                m_state = State::Plain;
            }
            break;
        case State::MarkByte:
            if (byte == 0) {
                out.mark(Mark::Break);
            } else {
                out.mark(Mark::GarbledChar);
                out.data(&byte, 1);
                --budget;
            }
            ++pos;
            m_state = State::Plain;
            break;
        }
    }
    return pos;
}
