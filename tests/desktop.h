// Helpers for the suites that drive a real desktop (X11, and Windows programs under
// Wine): helper processes, an Xvfb server, and probe clients that report what they
// receive on their standard output.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

// Starts a helper with its output going to the given fds (-1: inherited).
pid_t spawn(const std::vector<std::string>& argv, int outFd = -1, int errFd = -1);
// Ends it: SIGTERM, then SIGKILL after two seconds.
void stop(pid_t pid);
// Starts Xvfb (1280x1024) on a free display and points DISPLAY at it. Its pid, or 0.
pid_t startXvfb();

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
    // The text field's text once it has stopped changing (toolkit probes).
    std::string text();
    // The characters typed, as the client read them (Xlib probe).
    std::string typed();
    // The lines received from now until the probe has been quiet for a while.
    std::vector<std::string> inputUntilQuiet();

    pid_t pid = 0;
    unsigned long window = 0;
    std::string ready; // the READY line

  private:
    // Reads what is available within the timeout; false when nothing came.
    bool pump(std::chrono::milliseconds timeout);

    int fd = -1;
    std::string partial;
    std::vector<std::string> lines;
    std::size_t seen = 0;
};
