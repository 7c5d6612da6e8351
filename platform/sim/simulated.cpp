// The simulated desktop: a backend that answers from a JSON desktop file and records
// every operation it is asked to perform as one JSON line in a trace file.
//
//   MARNITH_SIM_DESKTOP  the desktop file (unset: the default desktop)
//   MARNITH_SIM_TRACE    the trace file, appended to (unset: no trace)
//
// A desktop file that cannot be read or parsed, or that holds a key of the wrong type,
// ends the process with one "simulated desktop: " line on stderr and exit status 2.
#include "platform/sim/simulated.h"
#include "platform/input-common.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/utf16.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif
#include <vector>

using nlohmann::json;

namespace {

#ifdef _WIN32
constexpr int traceFlags = O_WRONLY | O_CREAT | O_APPEND | O_BINARY;
#else
constexpr int traceFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
#endif

// Events are the shared event record as it is: the trace shows what was set on it.
using platform::EventRecord;
using platform::record;

const auto processStart = std::chrono::steady_clock::now();

bool loaded = false;
bool trusted = true;
std::optional<std::pair<double, double>> pointer{{0.0, 0.0}};
std::vector<std::optional<std::int32_t>> frontmost;
std::size_t frontmostQueries = 0;
json apps = json::array();
json windows;
bool refuseKeyboard = false, refuseMouse = false, refuseScroll = false;
bool realTime = false;
int traceFd = -1;

#ifdef MARNITH_FUZZ
// Operations one fuzz input may perform before the harness stops it, as a host would
// stop a run that goes on too long. Simulated sleeps take no time, so this is the only
// bound on inputs such as a click repeated 10^18 times.
constexpr std::size_t fuzzBudget = 20000;
std::size_t operations = 0;
#endif

[[noreturn]] void desktopError(const std::string& reason) {
#ifdef MARNITH_FUZZ
    throw platform::fuzzing::Stop{2};
#endif
    std::string line = "simulated desktop: " + reason + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    platform::exitProcess(2);
}

bool isPid(const json& v) {
    if (v.is_number_integer())
        return v.is_number_unsigned()
                   ? v.get<std::uint64_t>() <= INT32_MAX
                   : v.get<std::int64_t>() >= INT32_MIN && v.get<std::int64_t>() <= INT32_MAX;
    return false;
}

// Takes the values it keeps out of the document: a copy of a deeply nested value would
// recurse once per level.
void readDesktop(json& d) {
    if (!d.is_object())
        desktopError("the desktop must be a JSON object");
    for (auto& [key, v] : d.items()) {
        if (key == "trusted") {
            if (!v.is_boolean())
                desktopError("\"trusted\" must be a boolean");
            trusted = v.get<bool>();
        } else if (key == "pointer") {
            if (v.is_null())
                pointer.reset();
            else if (v.is_array() && v.size() == 2 && v[0].is_number() && v[1].is_number())
                pointer = {{v[0].get<double>(), v[1].get<double>()}};
            else
                desktopError("\"pointer\" must be [x, y] or null");
        } else if (key == "frontmost") {
            if (v.is_null())
                continue; // no frontmost application, as with an empty array
            if (!v.is_array())
                desktopError("\"frontmost\" must be an array of pids");
            for (auto& p : v) {
                if (p.is_null())
                    frontmost.emplace_back();
                else if (isPid(p))
                    frontmost.emplace_back(p.get<std::int32_t>());
                else
                    desktopError("\"frontmost\" must be an array of pids (integer or null)");
            }
        } else if (key == "apps") {
            if (!v.is_array())
                desktopError("\"apps\" must be an array");
            for (auto& a : v) {
                if (!a.is_object() || !a.contains("pid") || !isPid(a["pid"]))
                    desktopError("each app must be an object with an integer \"pid\"");
                if (a.contains("bundleId") && !a["bundleId"].is_string() &&
                    !a["bundleId"].is_null())
                    desktopError("an app's \"bundleId\" must be a string or null");
            }
            apps = std::move(v);
        } else if (key == "windows") {
            windows = std::move(v);
        } else if (key == "refuse") {
            if (!v.is_array())
                desktopError("\"refuse\" must be an array");
            for (auto& k : v) {
                if (k == "keyboard")
                    refuseKeyboard = true;
                else if (k == "mouse")
                    refuseMouse = true;
                else if (k == "scroll")
                    refuseScroll = true;
                else
                    desktopError("\"refuse\" holds only \"keyboard\", \"mouse\" and \"scroll\"");
            }
        } else if (key == "realTime") {
            if (!v.is_boolean())
                desktopError("\"realTime\" must be a boolean");
            realTime = v.get<bool>();
        }
    }
}

// Loads the desktop and opens the trace on the first operation of the process.
void load() {
    if (loaded)
        return;
    loaded = true;
    if (const char* path = std::getenv("MARNITH_SIM_DESKTOP")) {
        // Plain stdio: iostreams would bring their locale machinery into the executable.
        std::FILE* in = std::fopen(path, "rb");
        if (!in)
            desktopError(std::string("cannot read ") + path + ": " + std::strerror(errno));
        json d = json::parse(in, nullptr, false);
        std::fclose(in);
        if (d.is_discarded())
            desktopError(std::string(path) + " is not valid JSON");
        readDesktop(d);
    }
    if (const char* path = std::getenv("MARNITH_SIM_TRACE")) {
        traceFd = ::open(path, traceFlags, 0644);
        if (traceFd < 0)
            desktopError(std::string("cannot open trace ") + path + ": " + std::strerror(errno));
    }
}

// Appends one line to the trace before the operation returns, so the trace is complete
// even when the process then ends abruptly.
void trace(const char* op, nlohmann::ordered_json line = nlohmann::ordered_json::object()) {
    load();
    if (traceFd < 0)
        return;
    nlohmann::ordered_json full;
    full["op"] = op;
    full["t"] = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now() - processStart)
                    .count();
    for (auto& [k, v] : line.items())
        full[k] = v;
    std::string text = full.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        // In pieces a 32-bit count holds (Windows' write takes one).
        const auto n =
            ::write(traceFd, p, static_cast<unsigned>(std::min<std::size_t>(left, 1 << 30)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

platform::Event refused(const char* kind) {
    trace("refused", {{"kind", kind}});
    return nullptr;
}

} // namespace

namespace platform {

EventSource createEventSource() {
    trace("source");
    static int source = 0;
    return &source;
}

Event createKeyboardEvent(EventSource, std::uint16_t keyCode, bool down) {
    load();
    if (refuseKeyboard)
        return refused("keyboard");
    auto* e = new EventRecord(EventRecord::keyboard(keyCode, down));
    e->flags = ownKeyFlags(keyCode);
    return e;
}

Event createMouseEvent(EventSource, std::uint32_t type, std::pair<double, double> position,
                       std::uint32_t button) {
    load();
    if (refuseMouse)
        return refused("mouse");
    return new EventRecord(EventRecord::pointer(type, position, button));
}

Event createScrollWheelEvent(EventSource, std::int32_t lines) {
    load();
    if (refuseScroll)
        return refused("scroll");
    return new EventRecord(EventRecord::wheel(lines));
}

bool setUnicodeString(Event event, const std::u16string& units) {
    if (event)
        record(event)->text = units;
    return true;
}

// Every character can be typed as a string.
std::optional<char32_t> prepareText(const std::u16string&) {
    return std::nullopt;
}

// Each character goes out as soon as the guard allows it.
bool characterSkipped() {
    return false;
}

void setClickState(Event event, std::int64_t clicks) {
    if (event)
        record(event)->clicks = clicks;
}

std::uint64_t getFlags(Event event) {
    return event ? record(event)->flags : 0;
}

void setFlags(Event event, std::uint64_t flags) {
    if (event)
        record(event)->flags = flags;
}

// The simulated desktop refuses events only when they are created.
bool postEvent(Event event) {
    if (!event)
        return true;
    const EventRecord& e = *record(event);
    nlohmann::ordered_json line;
    line["kind"] = e.kind == EventRecord::key     ? "key"
                   : e.kind == EventRecord::mouse ? "mouse"
                                                  : "scroll";
    if (e.kind == EventRecord::key) {
        line["code"] = e.code;
        line["down"] = e.down;
        line["flags"] = e.flags;
        if (e.text)
            line["text"] = utf8FromUtf16(*e.text);
    } else if (e.kind == EventRecord::mouse) {
        line["type"] = e.type;
        line["x"] = e.x;
        line["y"] = e.y;
        line["button"] = e.button;
        line["clicks"] = e.clicks;
        line["flags"] = e.flags;
    } else {
        line["lines"] = e.lines;
        line["flags"] = e.flags;
    }
    trace("post", line);
    return true;
}

void releaseEvent(Event event) {
    delete record(event);
}

std::optional<std::pair<double, double>> pointerLocation() {
    trace("pointer");
    return pointer;
}

bool isTrusted() {
    trace("trusted");
    return trusted;
}

bool isTrustedPrompting(bool prompt) {
    trace("trusted", {{"prompt", prompt}});
    return trusted;
}

std::optional<std::int32_t> frontmostPid() {
    load();
    std::optional<std::int32_t> pid;
    if (!frontmost.empty())
        pid = frontmost[std::min(frontmostQueries, frontmost.size() - 1)];
    ++frontmostQueries;
    trace("frontmost", {{"pid", pid ? json(*pid) : json(nullptr)}});
    return pid;
}

bool runningApplication(std::int32_t pid, std::optional<std::string>& bundleId) {
    trace("lookup", {{"pid", pid}});
    for (auto& a : apps) {
        if (a["pid"].get<std::int64_t>() != pid)
            continue;
        bundleId.reset();
        if (a.contains("bundleId") && a["bundleId"].is_string())
            bundleId = a["bundleId"].get<std::string>();
        return true;
    }
    return false;
}

void activateApplication(std::int32_t pid) {
    trace("activate", {{"pid", pid}});
}

const nlohmann::json& windowList() {
    trace("windows");
    return windows;
}

void sleepMicroseconds(std::uint64_t microseconds) {
    trace("sleep", {{"us", microseconds}});
    if (realTime)
        interruptibleSleep(microseconds);
#ifdef MARNITH_FUZZ
    // Stopped at a sleep, where no event is alive.
    if (++operations > fuzzBudget)
        throw fuzzing::Stop{-1};
#endif
}

void exitProcess(int status) {
#ifdef MARNITH_FUZZ
    throw fuzzing::Stop{status};
#endif
    std::exit(status);
}

#ifdef MARNITH_FUZZ
namespace fuzzing {

void reset(nlohmann::json& desktop) {
    loaded = true;
    trusted = true;
    pointer = std::pair<double, double>{0.0, 0.0};
    frontmost.clear();
    frontmostQueries = 0;
    apps = json::array();
    windows = nullptr;
    refuseKeyboard = refuseMouse = refuseScroll = false;
    realTime = false;
    traceFd = -1;
    operations = 0;
    readDesktop(desktop);
}

} // namespace fuzzing
#endif

} // namespace platform
