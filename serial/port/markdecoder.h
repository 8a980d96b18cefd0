#pragma once

#include <QtGlobal>

// Undoes the marking a terminal applies to received bytes when it is set to PARMRK with
// IGNPAR, IGNBRK, BRKINT and ISTRIP off:
//   0xFF 0xFF     one data byte 0xFF
//   0xFF 0x00 0x00 a break
//   0xFF 0x00 X   the character X, received with a framing or parity error
// A mark may be cut anywhere by the reads; the decoder keeps the cut part for the next call.
// A 0xFF followed by anything else was not marked by the terminal (the settings changed under
// the bytes): both bytes are passed on as data, so nothing is ever lost or altered.
//
// The terminal cannot tell a framing error on a 0x00 character from a break: both arrive as
// 0xFF 0x00 0x00 and are decoded as a break.
class MarkDecoder
{
public:
    enum class Mark { Break, GarbledChar };

    class Output
    {
    public:
        virtual ~Output() = default;
        virtual void data(const char *bytes, qsizetype size) = 0;
        // For GarbledChar, the character itself follows as one data byte.
        virtual void mark(Mark mark) = 0;
    };

    // Decodes `input` until `maxData` data bytes have been passed on and returns how many
    // input bytes it consumed; the caller keeps the rest for a later call.
    qsizetype decode(const char *input, qsizetype size, Output &out, qsizetype maxData);
    // Part of a mark has been consumed and waits for the rest.
    bool inMark() const { return m_state != State::Plain; }
    void reset() { m_state = State::Plain; }

private:
    enum class State {
        Plain,
        Escape,   // after 0xFF
        MarkByte, // after 0xFF 0x00
    };

    State m_state = State::Plain;
};
