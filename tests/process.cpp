#include "process.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string tempPath(const char* stem) {
    char name[] = "/tmp/marnith-test-XXXXXX";
    const int fd = ::mkstemp(name);
    ::close(fd);
    return std::string(name) + "-" + stem;
}

// With MARNITH_RECORD set, every run is appended to that file as one JSON line, so the
// published schemas can be checked against everything the suite saw the tool accept,
// refuse and print.
void record(const Running& running, const Outcome& outcome) {
    const char* path = std::getenv("MARNITH_RECORD");
    if (!path)
        return;
    const auto replace = nlohmann::json::error_handler_t::replace;
    const nlohmann::json line = {{"args", running.arguments},
                                 {"status", outcome.status},
                                 {"signal", outcome.signal},
                                 {"out", outcome.out},
                                 {"err", outcome.err}};
    std::ofstream(path, std::ios::app) << line.dump(-1, ' ', false, replace) << "\n";
}

} // namespace

Running start(const std::vector<std::string>& arguments,
              const std::optional<std::string>& desktop) {
    Running running;
    running.arguments = arguments;
    const std::string base = running.base = tempPath("run");
    const std::string tracePath = base + ".trace", desktopPath = base + ".desktop.json";
    if (desktop)
        std::ofstream(desktopPath, std::ios::binary) << *desktop;

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("MARNITH_SIM_", 0) != 0)
            env.push_back(entry);
    }
    env.push_back("MARNITH_SIM_TRACE=" + tracePath);
    if (desktop)
        env.push_back("MARNITH_SIM_DESKTOP=" + desktopPath);

    std::vector<std::string> argv{MARNITH_SIM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());

    const pid_t child = ::fork();
    if (child == 0) {
        const int o = ::open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, 1);
        ::dup2(e, 2);
        std::vector<char*> a, v;
        for (auto& s : argv)
            a.push_back(s.data());
        a.push_back(nullptr);
        for (auto& s : env)
            v.push_back(s.data());
        v.push_back(nullptr);
        ::execve(a[0], a.data(), v.data());
        ::_exit(127);
    }
    running.pid = child;
    return running;
}

std::string traceText(const Running& running) {
    return readFile(running.base + ".trace");
}

Outcome finish(const Running& running) {
    int status = 0;
    ::waitpid(running.pid, &status, 0);

    const std::string& base = running.base;
    Outcome outcome;
    if (WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        outcome.signal = WTERMSIG(status);
    outcome.out = readFile(base + ".out");
    outcome.err = readFile(base + ".err");
    std::istringstream lines(readFile(base + ".trace"));
    for (std::string line; std::getline(lines, line);) {
        auto entry = nlohmann::json::parse(line);
        outcome.times.push_back(entry.contains("t") ? entry["t"] : nlohmann::json());
        entry.erase("t");
        outcome.trace.push_back(entry);
    }
    record(running, outcome);
    for (const char* suffix : {".out", ".err", ".trace", ".desktop.json"})
        std::remove((base + suffix).c_str());
    std::remove(base.substr(0, base.size() - 4).c_str());
    return outcome;
}

namespace {

Outcome spawn(const std::vector<std::string>& arguments,
              const std::optional<std::string>& desktop) {
    return finish(start(arguments, desktop));
}

std::string hex(std::uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string number(const nlohmann::json& v) {
    return v.dump();
}

} // namespace

Outcome runSim(const std::vector<std::string>& arguments,
               const std::optional<nlohmann::json>& desktop) {
    return spawn(arguments, desktop ? std::optional<std::string>(desktop->dump()) : std::nullopt);
}

Outcome runSimRaw(const std::vector<std::string>& arguments, const std::string& desktopText) {
    return spawn(arguments, desktopText);
}

std::vector<std::string> brief(const std::vector<nlohmann::json>& trace) {
    std::vector<std::string> lines;
    for (const auto& e : trace) {
        const std::string op = e.at("op");
        std::string line;
        if (op == "post" && e.at("kind") == "key") {
            line = "key " + number(e.at("code")) + (e.at("down") == true ? " down " : " up ") +
                   hex(e.at("flags"));
            if (e.contains("text"))
                line += " " + e.at("text").dump();
        } else if (op == "post" && e.at("kind") == "mouse") {
            line = "mouse " + number(e.at("type")) + " (" + number(e.at("x")) + "," +
                   number(e.at("y")) + ") b" + number(e.at("button")) + " c" +
                   number(e.at("clicks")) + " " + hex(e.at("flags"));
        } else if (op == "post") {
            line = "scroll " + number(e.at("lines")) + " " + hex(e.at("flags"));
        } else if (op == "sleep") {
            line = "sleep " + number(e.at("us"));
        } else if (op == "refused") {
            line = "refused " + e.at("kind").get<std::string>();
        } else if (op == "trusted") {
            line = e.contains("prompt") ? "trusted prompt=" + number(e.at("prompt")) : "trusted";
        } else if (op == "frontmost" || op == "lookup" || op == "activate") {
            line = op + " " + number(e.at("pid"));
        } else {
            line = op;
        }
        lines.push_back(line);
    }
    return lines;
}
