#include "desktop.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace std::chrono_literals;

pid_t spawn(const std::vector<std::string>& argv, int outFd, int errFd) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        if (outFd >= 0)
            ::dup2(outFd, 1);
        if (errFd >= 0)
            ::dup2(errFd, 2);
        std::vector<char*> a;
        for (const auto& s : argv)
            a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        ::execvp(a[0], a.data());
        ::_exit(127);
    }
    return child;
}

void stop(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

pid_t startXvfb() {
    int fds[2];
    if (::pipe(fds) != 0)
        return 0;
    const pid_t xvfb = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                              "1280x1024x24", "-nolisten", "tcp", "-noreset"},
                             -1, ::open("/dev/null", O_WRONLY));
    ::close(fds[1]);
    // Xvfb writes the number and the newline separately: read to the newline, or it
    // fails writing the second part.
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    ::close(fds[0]);
    if (number.empty()) {
        stop(xvfb);
        return 0;
    }
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    return xvfb;
}

Probe::Probe(const std::vector<std::string>& argv) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid = spawn(argv, fds[1], ::open("/dev/null", O_WRONLY));
    ::close(fds[1]);
    fd = fds[0];
    // A toolkit's first start on a fresh machine can take seconds.
    ready = await("READY", 20000ms);
    EXPECT_FALSE(ready.empty()) << argv[0] << " did not start";
    window = ready.empty() ? 0 : std::stoul(ready.substr(6));
}
Probe::~Probe() {
    stop(pid);
    ::close(fd);
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

std::string Probe::text() {
    while (pump(300ms)) {
    }
    std::string last = "\"\"";
    for (const auto& line : lines) {
        if (line.rfind("TEXT ", 0) == 0)
            last = line.substr(5);
    }
    return nlohmann::json::parse(last).get<std::string>();
}
std::string Probe::typed() {
    std::string out;
    for (const auto& line : inputUntilQuiet()) {
        if (line.rfind("KeyPress", 0) != 0)
            continue;
        const auto from = line.find("str=") + 4;
        const std::string c = line.substr(from, line.find(" state=") - from);
        if (c.size() < 3 || c.front() != '<' || c.back() != '>') // not a named key
            out += c;
    }
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
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0)
        return false;
    partial.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
        lines.push_back(partial.substr(0, nl));
        partial.erase(0, nl + 1);
    }
    return true;
}
