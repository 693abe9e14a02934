#include "trace/trace.h"

#include <cmath>
#include <cstring>

#include "version.h"

namespace padbridge {

Trace* gOpenTrace = nullptr;

namespace {

char* Record(Trace& trace) {
    return trace.buffer + kDroppedRecordBytes;
}

// The records are made by hand rather than with snprintf: a busy bridge writes three for every
// `input` line, and the formatted print was most of their cost.
std::size_t AppendText(char* out, std::size_t at, const char* text) {
    const std::size_t length = std::strlen(text);
    std::memcpy(out + at, text, length);
    return at + length;
}

std::size_t AppendUnsigned(char* out, std::size_t at, uint64_t value) {
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) out[at++] = digits[--count];
    return at;
}

std::size_t AppendSigned(char* out, std::size_t at, int64_t value) {
    if (value >= 0) return AppendUnsigned(out, at, static_cast<uint64_t>(value));
    out[at++] = '-';
    return AppendUnsigned(out, at, 0 - static_cast<uint64_t>(value));
}

// Whole milliseconds since the trace opened, on the performance counter: finer than the tick's
// 15.6 ms steps, so records a few milliseconds apart show it.
uint64_t Milliseconds(const Trace& trace) {
    int64_t count = 0;
    if (!os::QueryPerformanceCounter(&count) || trace.frequency <= 0 || count < trace.startCount)
        return 0;
    const auto counts = static_cast<uint64_t>(count - trace.startCount);
    const auto rate = static_cast<uint64_t>(trace.frequency);
    return counts / rate * 1000 + counts % rate * 1000 / rate;
}

// The `dropped` record of the count so far (at most kDroppedRecordBytes).
std::size_t FormatDropped(const Trace& trace, char* out) {
    std::size_t at = AppendText(out, 0, "{\"t\":");
    at = AppendUnsigned(out, at, Milliseconds(trace));
    at = AppendText(out, at, ",\"kind\":\"dropped\",\"count\":");
    at = AppendUnsigned(out, at, trace.dropped);
    return AppendText(out, at, "}\n");
}

// Hands one whole record to the writer, with the `dropped` record it owes just before it; a
// refusal counts, and the `dropped` record waits for the next record that fits.
void Offer(Trace& trace, std::size_t length) {
    if (trace.dropped == 0) {
        if (!os::OfferTrace(Record(trace), length)) ++trace.dropped;
        return;
    }
    char note[kDroppedRecordBytes];
    const std::size_t noteLength = FormatDropped(trace, note);
    char* start = Record(trace) - noteLength;
    std::memcpy(start, note, noteLength);
    if (os::OfferTrace(start, noteLength + length)) {
        trace.dropped = 0;
    } else {
        ++trace.dropped;
    }
}

// Starts a record in the buffer: `{"t":T,"kind":"KIND"`. Returns the length so far.
std::size_t Begin(Trace& trace, const char* kind) {
    char* out = Record(trace);
    std::size_t at = AppendText(out, 0, "{\"t\":");
    at = AppendUnsigned(out, at, Milliseconds(trace));
    at = AppendText(out, at, ",\"kind\":\"");
    at = AppendText(out, at, kind);
    out[at++] = '"';
    return at;
}

void End(Trace& trace, std::size_t length) {
    Record(trace)[length++] = '}';
    Record(trace)[length++] = '\n';
    Offer(trace, length);
}

// The length of the well-formed UTF-8 sequence at `text` (at most `left` bytes), or 0 when the
// byte there does not start one: overlong forms, surrogates and values past U+10FFFF are not.
std::size_t Utf8SequenceLength(const unsigned char* text, std::size_t left) {
    const unsigned char lead = text[0];
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || text[1] < low || text[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xBF) return 0;
    }
    return length;
}

// Appends `text` as the inside of a JSON string from `at`, leaving room for `reserve` bytes after
// it. Returns the new length; sets *cut when the text did not all fit.
std::size_t AppendEscaped(char* out, std::size_t at, std::size_t capacity, const char* text,
                          std::size_t length, std::size_t reserve, bool* cut) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const std::size_t limit = capacity - reserve;
    std::size_t i = 0;
    while (i < length) {
        char piece[8];
        std::size_t pieceLength = 0;
        std::size_t consumed = 1;
        const unsigned char byte = bytes[i];
        if (byte == '"' || byte == '\\') {
            piece[0] = '\\';
            piece[1] = static_cast<char>(byte);
            pieceLength = 2;
        } else if (byte == '\n' || byte == '\r' || byte == '\t') {
            piece[0] = '\\';
            piece[1] = byte == '\n' ? 'n' : (byte == '\r' ? 'r' : 't');
            pieceLength = 2;
        } else if (byte < 0x20) {
            std::memcpy(piece, "\\u00", 4);
            piece[4] = kHex[byte >> 4];
            piece[5] = kHex[byte & 0xF];
            pieceLength = 6;
        } else if (byte < 0x80) {
            piece[0] = static_cast<char>(byte);
            pieceLength = 1;
        } else if (const std::size_t sequence = Utf8SequenceLength(bytes + i, length - i);
                   sequence > 0) {
            std::memcpy(piece, bytes + i, sequence);
            pieceLength = sequence;
            consumed = sequence;
        } else {
            std::memcpy(piece, "\\ufffd", 6);
            pieceLength = 6;
        }
        if (at + pieceLength > limit) {
            *cut = true;
            return at;
        }
        std::memcpy(out + at, piece, pieceLength);
        at += pieceLength;
        i += consumed;
    }
    return at;
}

// A value of about -1..1 rounded to four decimals, in the shortest form: 1, 0, -0.5, 0.4999.
std::size_t AppendFraction(char* out, std::size_t at, double value) {
    const int64_t tenThousandths = std::llround(value * 10000.0);
    if (tenThousandths < 0) out[at++] = '-';
    const uint64_t magnitude = tenThousandths < 0 ? 0 - static_cast<uint64_t>(tenThousandths)
                                                  : static_cast<uint64_t>(tenThousandths);
    at = AppendUnsigned(out, at, magnitude / 10000);
    char decimals[4];
    uint64_t rest = magnitude % 10000;
    for (int place = 3; place >= 0; --place, rest /= 10)
        decimals[place] = static_cast<char>('0' + rest % 10);
    int places = 4;
    while (places > 0 && decimals[places - 1] == '0') --places;
    if (places == 0) return at;
    out[at++] = '.';
    std::memcpy(out + at, decimals, static_cast<std::size_t>(places));
    return at + static_cast<std::size_t>(places);
}

std::size_t AppendFractions(char* out, std::size_t at, const double* values, int count) {
    out[at++] = '[';
    for (int i = 0; i < count; ++i) {
        if (i > 0) out[at++] = ',';
        at = AppendFraction(out, at, values[i]);
    }
    out[at++] = ']';
    return at;
}

}  // namespace

bool OpenTrace(Trace& trace, const os::WideChar* path, uint32_t* error) {
    if (!os::OpenTrace(path)) {
        *error = os::GetLastError();
        return false;
    }
    trace.dropped = 0;
    trace.startCount = 0;
    trace.frequency = 0;
    if (!os::QueryPerformanceFrequency(&trace.frequency) ||
        !os::QueryPerformanceCounter(&trace.startCount)) {
        trace.frequency = 0;
    }
    gOpenTrace = &trace;
    std::size_t at = AppendText(Record(trace), Begin(trace, "start"), ",\"version\":\"");
    End(trace, AppendText(Record(trace), AppendText(Record(trace), at, PADBRIDGE_VERSION), "\""));
    return true;
}

void CloseTrace(uint32_t milliseconds) {
    if (gOpenTrace == nullptr) return;
    Trace& trace = *gOpenTrace;
    const uint64_t deadline = os::GetTickCount64() + milliseconds;
    // The count of the last records lost is worth a wait: the writer empties as the file takes it.
    if (trace.dropped > 0 && os::FlushTrace(milliseconds)) {
        const std::size_t length = FormatDropped(trace, Record(trace));
        if (os::OfferTrace(Record(trace), length)) trace.dropped = 0;
    }
    const uint64_t now = os::GetTickCount64();
    os::FlushTrace(deadline > now ? static_cast<uint32_t>(deadline - now) : 0);
    gOpenTrace = nullptr;
}

void WriteLineRecord(const char* kind, const char* text, std::size_t length, bool wire) {
    Trace& trace = *gOpenTrace;
    if (wire) {  // the wire's CR LF is not part of the line
        while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    }
    std::size_t at = AppendText(Record(trace), Begin(trace, kind), ",\"line\":\"");
    bool cut = false;
    constexpr std::size_t kTail = sizeof "\",\"cut\":true}\n";
    at = AppendEscaped(Record(trace), at, kTraceRecordBytes, text, length, kTail, &cut);
    at = AppendText(Record(trace), at, cut ? "\",\"cut\":true" : "\"");
    End(trace, at);
}

void WriteRequestRecord(const char* name, uint32_t code, int player, uint32_t serial,
                        uint32_t result) {
    Trace& trace = *gOpenTrace;
    char* out = Record(trace);
    std::size_t at = AppendText(out, Begin(trace, "request"), ",\"name\":\"");
    at = AppendText(out, AppendText(out, at, name), "\",\"code\":");
    at = AppendUnsigned(out, at, code);
    if (player != kNoTracedPlayer) {
        at = AppendSigned(out, AppendText(out, at, ",\"player\":"), player);
        at = AppendUnsigned(out, AppendText(out, at, ",\"serial\":"), serial);
    }
    End(trace, AppendUnsigned(out, AppendText(out, at, ",\"result\":"), result));
}

void WritePadRecord(int player, const TracedPad& pad) {
    Trace& trace = *gOpenTrace;
    char* out = Record(trace);
    std::size_t at =
        AppendSigned(out, AppendText(out, Begin(trace, "pad"), ",\"player\":"), player);
    at = AppendText(out, AppendText(out, AppendText(out, at, ",\"pad\":\""), pad.pad),
                    "\",\"buttons\":[");
    bool first = true;
    for (int button = 0; button < 32; ++button) {
        if ((pad.buttons >> button & 1U) == 0) continue;
        if (!first) out[at++] = ',';
        at = AppendUnsigned(out, at, static_cast<uint64_t>(button));
        first = false;
    }
    at = AppendFractions(out, AppendText(out, at, "],\"axes\":"), pad.axes, 4);
    at = AppendFractions(out, AppendText(out, at, ",\"triggers\":"), pad.triggers, 2);
    End(trace, at);
}

void WriteInputRecord(const os::InputRecord& event, bool accepted) {
    Trace& trace = *gOpenTrace;
    char* out = Record(trace);
    std::size_t at = Begin(trace, "input");
    if (event.type == 1) {
        at = AppendUnsigned(out, AppendText(out, at, ",\"device\":\"keyboard\",\"vk\":"),
                            event.ki.wVk);
        at = AppendUnsigned(out, AppendText(out, at, ",\"scan\":"), event.ki.wScan);
        at = AppendUnsigned(out, AppendText(out, at, ",\"flags\":"), event.ki.dwFlags);
    } else {
        at = AppendSigned(out, AppendText(out, at, ",\"device\":\"mouse\",\"dx\":"), event.mi.dx);
        at = AppendSigned(out, AppendText(out, at, ",\"dy\":"), event.mi.dy);
        // A wheel's amount is signed, though the member is unsigned.
        at = AppendSigned(out, AppendText(out, at, ",\"data\":"),
                          static_cast<int32_t>(event.mi.mouseData));
        at = AppendUnsigned(out, AppendText(out, at, ",\"flags\":"), event.mi.dwFlags);
    }
    End(trace, AppendText(out, at, accepted ? ",\"accepted\":true" : ",\"accepted\":false"));
}

void WriteProbeRecord(const char* backend) {
    Trace& trace = *gOpenTrace;
    char* out = Record(trace);
    const std::size_t at = AppendText(out, Begin(trace, "probe"), ",\"backend\":\"");
    End(trace, AppendText(out, AppendText(out, at, backend), "\""));
}

void WriteLapseRecord(int player) {
    Trace& trace = *gOpenTrace;
    char* out = Record(trace);
    if (player == kNoTracedPlayer) {
        End(trace, AppendText(out, Begin(trace, "lapse"), ",\"keeper\":\"watchdog\""));
        return;
    }
    const std::size_t at =
        AppendText(out, Begin(trace, "lapse"), ",\"keeper\":\"player\",\"player\":");
    End(trace, AppendSigned(out, at, player));
}

}  // namespace padbridge
