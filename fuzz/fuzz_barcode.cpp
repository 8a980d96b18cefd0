// Fuzzes barcode assembly in the window: any byte stream, read one character at a time, must
// reach the history exactly (each CR as a line break, CR LF), leave the characters after the
// last CR in the buffer, show the barcode between the last two CRs, and beep once per byte.
#include "testerrig.h"

#include <QApplication>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QApplication *app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "fuzz_barcode";
        static char *argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    Q_UNUSED(app);

    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    TesterRig h;
    h.openPort();
    // Arrive in a few bursts, as a scanner's bytes do.
    for (qsizetype at = 0; at < bytes.size(); at += 7)
        h.receive(bytes.mid(at, 7));

    QString history;
    QString barcode;
    QString buffer;
    for (const char c : bytes) {
        if (c == '\r') {
            history += QStringLiteral("\r\n");
            barcode = buffer;
            buffer.clear();
        } else {
            history += QChar(char16_t(uchar(c)));
            buffer += QChar(char16_t(uchar(c)));
        }
    }
    const TesterCore &core = h.core();
    if (core.history() != history || core.barCodeBuffer() != buffer || core.barCodeText() != barcode
        || h.record->beeps != qint64(bytes.size()))
        std::abort();
    return 0;
}
