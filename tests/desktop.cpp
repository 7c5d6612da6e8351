#include "desktop.h"

#include <sstream>
#include <thread>
#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

using namespace std::chrono_literals;

void stop(const Running& running) {
#ifdef _WIN32
    TerminateProcess(running.process, 1);
#else
    ::kill(running.pid, SIGTERM);
    for (int i = 0; i < 200 && ::waitpid(running.pid, nullptr, WNOHANG) != running.pid; ++i)
        std::this_thread::sleep_for(10ms);
    ::kill(running.pid, SIGKILL);
#endif
    finish(running);
}

void interrupt(const Running& running) {
#ifdef _WIN32
    GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(running.pid));
#else
    ::kill(running.pid, SIGINT);
#endif
}

#ifndef _WIN32
Running startXvfb() {
    const Running xvfb = start({"Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24",
                                "-nolisten", "tcp", "-noreset"});
    std::string number;
    for (int i = 0; i < 1000 && number.find('\n') == std::string::npos; ++i) {
        std::this_thread::sleep_for(10ms);
        number = readFile(xvfb.base + ".out");
    }
    if (!number.empty())
        ::setenv("DISPLAY", (":" + number.substr(0, number.find('\n'))).c_str(), 1);
    return xvfb;
}
#endif

Probe::Probe(const std::vector<std::string>& argv) {
    running = start(argv);
    pid = running.pid;
    // A toolkit's first start on a fresh machine can take seconds.
    ready = await("READY", 20000ms);
    EXPECT_FALSE(ready.empty()) << argv[0] << " did not start";
    window = ready.empty() ? 0 : std::stoul(ready.substr(6));
}
Probe::~Probe() {
    stop(running);
}

std::string Probe::await(const std::string& prefix, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (std::size_t i = seen; i < lines.size(); ++i) {
            if (lines[i].rfind(prefix, 0) == 0) {
                seen = i + 1;
                return lines[i];
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(left))
            return "";
    }
}

std::vector<std::string> Probe::inputUntil(const std::string& last) {
    std::vector<std::string> out;
    const std::size_t from = seen;
    await(last);
    while (pump(150ms)) {
    }
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (lines[i].rfind("Key", 0) == 0 || lines[i].rfind("Button", 0) == 0)
            out.push_back(lines[i]);
    }
    seen = lines.size();
    return out;
}

std::vector<std::string> Probe::inputUntilQuiet() {
    const std::size_t from = seen;
    while (pump(300ms)) {
    }
    seen = lines.size();
    return {lines.begin() + static_cast<long>(from), lines.end()};
}

bool Probe::pump(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string all = readFile(running.base + ".out");
        const std::size_t end = all.rfind('\n');
        if (end != std::string::npos && end + 1 > consumed) {
            std::istringstream fresh(all.substr(consumed, end + 1 - consumed));
            for (std::string line; std::getline(fresh, line);)
                lines.push_back(line);
            consumed = end + 1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
}
