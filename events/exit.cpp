#include "events/exit.h"

#include "events/input.h"
#include "events/unicode.h"

#include <cstdio>

namespace {

// Write errors are not reported: there is nowhere left to report them.
void writeAll(std::FILE* stream, const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

// A control character (U+0000-U+001F, U+007F) in echoed text, a newline in a key name
// say, would split the failure over lines or move the host's terminal about: each
// becomes \u followed by four lower-case hex digits. Everything else stays as given.
std::string oneLine(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            line += std::string("\\u00") + hex[byte >> 4] + hex[byte & 0xf];
        else
            line += c;
    }
    return line;
}

} // namespace

void out(const nlohmann::ordered_json& value) {
    // Window titles come from the platform and may hold invalid UTF-8; such bytes are
    // replaced rather than failing half-way through a result.
    writeAll(stdout, value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    writeAll(stdout, "\n");
}

void fail(State& state, const std::string& message) {
    // A run that fails part-way must not leave the user's keys or buttons held down.
    releaseHeld(state);
    // Arguments may hold any bytes; the message is always UTF-8, and always one line.
    writeAll(stderr, oneLine(validUtf8(message)) + "\n");
    platform::exitProcess(1);
}

void stopIfSignalled(State& state) {
    if (const int signal = platform::caughtSignal()) {
        releaseHeld(state);
        platform::endBySignal(signal);
    }
}
