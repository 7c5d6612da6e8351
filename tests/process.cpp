#include "process.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace {

// The whole file, or "" when it cannot be read.
std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// With MARNITH_RECORD set, every run of the simulated tool is appended to that file as
// one JSON line, so the published schemas can be checked against everything the suite
// saw the tool accept, refuse and print.
void record(const Running& running, const Outcome& outcome) {
    const char* path = std::getenv("MARNITH_RECORD");
    if (!path)
        return;
    const nlohmann::json line = {
        {"args", std::vector<std::string>(running.argv.begin() + 1, running.argv.end())},
        {"status", outcome.status},
        {"signal", outcome.signal},
        {"out", outcome.out},
        {"err", outcome.err}};
    std::ofstream(path, std::ios::app)
        << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

#ifdef _WIN32

std::wstring wide(const std::string& text) {
    std::wstring out(text.size(), L'\0');
    out.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            static_cast<int>(out.size()))));
    return out;
}

// One argument quoted the way CommandLineToArgvW and the C runtime read it back.
std::wstring quoted(const std::wstring& arg) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

HANDLE outputFile(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A fresh stem for a run's files.
std::string newBase() {
    wchar_t folder[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"mit", 0, name);
    std::string base;
    for (const wchar_t* c = name; *c; ++c)
        base += static_cast<char>(*c); // the temporary folder's path is ASCII here
    return base;
}

// Starts argv[0] with the environment less MARNITH_SIM_* plus the entries given.
Running start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
              const std::string& base) {
    Running running{0, base, argv};
    std::wstring commandLine;
    for (const auto& arg : argv)
        commandLine += (commandLine.empty() ? L"" : L" ") + quoted(wide(arg));
    std::wstring environment;
    wchar_t* inherited = GetEnvironmentStringsW();
    for (const wchar_t* e = inherited; *e; e += wcslen(e) + 1) {
        if (std::wstring(e).rfind(L"MARNITH_SIM_", 0) != 0)
            environment.append(e).push_back(L'\0');
    }
    FreeEnvironmentStringsW(inherited);
    for (const auto& e : extraEnv)
        environment.append(wide(e)).push_back(L'\0');
    environment.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outputFile(running.base + ".out");
    startup.hStdError = outputFile(running.base + ".err");
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP, environment.data(),
                       nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        running.process = info.hProcess;
        running.pid = static_cast<int>(info.dwProcessId);
    }
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
    return running;
}

#else
// A fresh stem for a run's files.
std::string newBase() {
    char name[] = "/tmp/marnith-test-XXXXXX";
    ::close(::mkstemp(name));
    return name;
}

// Starts argv[0] with the environment less MARNITH_SIM_* plus the entries given.
Running start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
              const std::string& base) {
    Running running{0, base, argv};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("MARNITH_SIM_", 0) != 0)
            env.push_back(*e);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> a, v;
    for (auto& s : running.argv)
        a.push_back(s.data());
    for (auto& s : env)
        v.push_back(s.data());
    a.push_back(nullptr);
    v.push_back(nullptr);
    // Its own process group, so that what a test sends it never reaches the test itself.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    const std::string out = running.base + ".out", err = running.base + ".err";
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t child = 0;
    if (::posix_spawnp(&child, a[0], &files, &attributes, a.data(), v.data()) == 0)
        running.pid = child;
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    return running;
}

#endif

} // namespace

std::string traceText(const Running& running) {
    return readFile(running.base + ".trace");
}

Outcome finish(const Running& running) {
    Outcome o;
#ifdef _WIN32
    DWORD code = 127;
    WaitForSingleObject(running.process, INFINITE);
    GetExitCodeProcess(running.process, &code);
    CloseHandle(running.process);
    o.status = static_cast<int>(code);
#else
    int status = 0;
    if (running.pid <= 0 || ::waitpid(running.pid, &status, 0) != running.pid)
        o.status = 127; // it could not be started
    else if (WIFEXITED(status))
        o.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        o.signal = WTERMSIG(status);
#endif
    o.out = readFile(running.base + ".out");
    o.err = readFile(running.base + ".err");
    std::istringstream lines(traceText(running));
    for (std::string line; std::getline(lines, line);) {
        auto entry = nlohmann::json::parse(line);
        o.times.push_back(entry.value("t", -1LL));
        entry.erase("t");
        o.trace.push_back(entry);
    }
    record(running, o);
    for (const char* suffix : {"", ".out", ".err", ".trace", ".desktop.json"})
        std::remove((running.base + suffix).c_str());
    return o;
}

Running startSim(const std::vector<std::string>& arguments,
                 const std::optional<std::string>& desktop) {
    const std::string base = newBase();
    std::vector<std::string> env{"MARNITH_SIM_TRACE=" + base + ".trace"};
    if (desktop) {
        std::ofstream(base + ".desktop.json", std::ios::binary) << *desktop;
        env.push_back("MARNITH_SIM_DESKTOP=" + base + ".desktop.json");
    }
    std::vector<std::string> argv{MARNITH_SIM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return start(argv, env, base);
}

Outcome runSim(const std::vector<std::string>& arguments,
               const std::optional<nlohmann::json>& desktop) {
    return finish(startSim(arguments, desktop ? std::optional(desktop->dump()) : std::nullopt));
}

std::string brief(const std::vector<nlohmann::json>& trace, std::size_t from) {
    auto hex = [](const nlohmann::json& v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llx", v.get<unsigned long long>());
        return std::string(buf);
    };
    std::string text;
    for (std::size_t i = from; i < trace.size(); ++i) {
        const auto& e = trace[i];
        const std::string op = e.at("op");
        std::string line = op;
        if (op == "post" && e.at("kind") == "key") {
            line = "key " + e.at("code").dump() + (e.at("down") == true ? " down " : " up ") +
                   hex(e.at("flags")) + (e.contains("text") ? " " + e.at("text").dump() : "");
        } else if (op == "post" && e.at("kind") == "mouse") {
            line = "mouse " + e.at("type").dump() + " (" + e.at("x").dump() + "," +
                   e.at("y").dump() + ") b" + e.at("button").dump() + " c" + e.at("clicks").dump() +
                   " " + hex(e.at("flags"));
        } else if (op == "post") {
            line = "scroll " + e.at("lines").dump() + " " + hex(e.at("flags"));
        } else if (e.size() == 2) { // sleep, refused, trusted, frontmost, lookup, activate
            for (const auto& [key, value] : e.items()) {
                if (key != "op")
                    line += " " + (value.is_string() ? value.get<std::string>() : value.dump());
            }
        }
        text += (text.empty() ? "" : "; ") + line;
    }
    return text;
}
