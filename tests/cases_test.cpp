// The simulated tool end to end from the case tables in tests/cases/: each case gives
// the arguments and the desktop, and the exact output, exit status and trace.
#include "process.h"

#include <fstream>

#include <gtest/gtest.h>

namespace {

struct Block {
    int line = 0;
    std::optional<std::vector<std::string>> args;
    nlohmann::json desktop; // null: the default desktop
    std::string prefix, out, err, trace;
    int status = 0;
};

// The words of a "$" line: spaces separate them, and '...' quotes spaces and nothing else.
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> args;
    bool inWord = false, quoted = false;
    for (const char c : line) {
        if (c == ' ' && !quoted) {
            inWord = false;
            continue;
        }
        if (!inWord)
            args.emplace_back();
        inWord = true;
        if (c == '\'')
            quoted = !quoted;
        else
            args.back() += c;
    }
    return args;
}

std::string joined(const std::string& a, const std::string& b) {
    return a + (a.empty() || b.empty() ? "" : "; ") + b;
}

// The format is described at the top of each table.
std::vector<Block> readTable(const std::string& name) {
    std::ifstream in(MARNITH_SOURCE_DIR "/tests/cases/" + name, std::ios::binary);
    std::vector<Block> cases;
    Block section, block;
    const auto end = [&] {
        if (block.args) {
            block.trace = joined(section.prefix, block.trace);
            nlohmann::json desktop = section.desktop;
            if (!block.desktop.is_null())
                desktop.update(block.desktop);
            block.desktop = desktop;
            cases.push_back(block);
        } else if (block.line) {
            EXPECT_EQ(block.out + block.err + block.trace, "") << name << ":" << block.line;
            section = block;
        }
        block = {};
    };
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') // checked out with Windows line ends
            line.pop_back();
        if (line.empty())
            end();
        if (line.empty() || line[0] == '#')
            continue;
        block.line = block.line ? block.line : number;
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "$")
            block.args = words(value);
        else if (key == "desktop")
            block.desktop = nlohmann::json::parse(value);
        else if (key == "prefix")
            block.prefix = value;
        else if (key == "out")
            block.out = value + "\n";
        else if (key == "err")
            block.err = value + "\n", block.status = 1;
        else if (key == "trace")
            block.trace = joined(block.trace, value);
        else
            ADD_FAILURE() << name << ":" << number << ": no such field " << key;
    }
    end();
    return cases;
}

void play(const std::string& table) {
    const auto cases = readTable(table);
    EXPECT_GT(cases.size(), 10u) << table;
    for (const Block& c : cases) {
        const Outcome o = finish(startSim(
            *c.args, c.desktop.is_null() ? std::nullopt : std::optional(c.desktop.dump())));
        const std::string where = table + ":" + std::to_string(c.line);
        EXPECT_EQ(o.status, c.status) << where;
        EXPECT_EQ(o.out, c.out) << where;
        EXPECT_EQ(o.err, c.err) << where;
        EXPECT_EQ(brief(o.trace), c.trace) << where;
    }
}

TEST(Cases, Run) {
    play("run.txt");
}

TEST(Cases, Trusted_Windows_Activate_AndDispatch) {
    play("commands.txt");
}

} // namespace
