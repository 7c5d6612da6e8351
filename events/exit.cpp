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
    // Arguments may hold any bytes; the message is always UTF-8.
    writeAll(stderr, validUtf8(message) + "\n");
    platform::exitProcess(1);
}

void stopIfSignalled(State& state) {
    if (const int signal = platform::caughtSignal()) {
        releaseHeld(state);
        platform::endBySignal(signal);
    }
}
