// Helpers for the suites that drive a real desktop (X11, and the Windows tool natively
// or under Wine): an Xvfb server, helpers that are stopped, and probe clients that
// report what they receive on their standard output.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "process.h"

// Ends a program started with start(): a termination request, then, on POSIX, SIGKILL
// after two seconds.
void stop(const Running& running);
// Asks a program to stop as Ctrl+C does: SIGINT, or on Windows Ctrl+Break to its group.
void interrupt(const Running& running);
#ifndef _WIN32
// Starts Xvfb (1280x1024) on a free display and points DISPLAY at it.
Running startXvfb();
#endif

// A probe client window and the lines it prints.
class Probe {
  public:
    // Starts the program; it prints "READY <window id> ..." once its window is up.
    explicit Probe(const std::vector<std::string>& argv);
    ~Probe();
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // Waits for a line starting with the prefix and returns it; "" after the timeout.
    std::string await(const std::string& prefix,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
    // Everything received until the line is seen (and a little after), key and button
    // events only.
    std::vector<std::string> inputUntil(const std::string& last);
    // Every line received so far.
    const std::vector<std::string>& received() const { return lines; }
    // The lines received from now until the probe has been quiet for a while.
    std::vector<std::string> inputUntilQuiet();

    Running running;
    int pid = 0;
    unsigned long window = 0;
    std::string ready; // the READY line

  private:
    // Reads what has arrived within the timeout; false when nothing came.
    bool pump(std::chrono::milliseconds timeout);

    std::size_t consumed = 0;
    std::vector<std::string> lines;
    std::size_t seen = 0;
};
