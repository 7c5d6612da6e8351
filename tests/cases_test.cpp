// The simulated tool end to end from the case tables in tests/cases/: each case gives
// the arguments and the desktop, and the exact output, exit status and trace.
#include "process.h"

#include <fstream>

#include <gtest/gtest.h>

namespace {

struct Block {
    int line = 0;
    std::optional<std::vector<std::string>> args; // none: the block sets up a section
    nlohmann::json desktop;                       // null: the default desktop
    std::string prefix, out, err, trace;
};

std::string joined(const std::string& a, const std::string& b) {
    return a + (a.empty() || b.empty() ? "" : "; ") + b;
}

// Words as a shell splits them: '...' quotes spaces, '' is an empty word.
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> words;
    bool inWord = false, quoted = false;
    for (const char c : line) {
        inWord = inWord && (c != ' ' || quoted);
        if (c == ' ' && !quoted)
            continue;
        if (!std::exchange(inWord, true))
            words.emplace_back();
        if (c == '\'')
            quoted = !quoted;
        else
            words.back() += c;
    }
    EXPECT_FALSE(quoted) << "unterminated quote: " << line;
    return words;
}

// The format is described at the top of each table.
std::vector<Block> readTable(const std::string& name) {
    std::ifstream in(MARNITH_SOURCE_DIR "/tests/cases/" + name, std::ios::binary);
    std::vector<Block> cases;
    Block section, block;
    const auto endBlock = [&] {
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
            endBlock();
        if (line.empty() || line[0] == '#')
            continue;
        block.line = block.line ? block.line : number;
        const std::size_t space = std::min(line.find(' '), line.size());
        const std::string key = line.substr(0, space);
        const std::string value = line.substr(std::min(space + 1, line.size()));
        if (key == "$")
            block.args = words(value);
        else if (key == "desktop")
            block.desktop = nlohmann::json::parse(value);
        else if (key == "prefix" || key == "out" || key == "err")
            (key == "prefix" ? block.prefix : key == "out" ? block.out : block.err) = value;
        else if (key == "trace")
            block.trace = joined(block.trace, value);
        else
            ADD_FAILURE() << name << ":" << number << ": no such field " << key;
    }
    endBlock();
    return cases;
}

void play(const std::string& table) {
    const auto cases = readTable(table);
    EXPECT_GT(cases.size(), 10u) << table;
    for (const Block& c : cases) {
        const std::string where = table + ":" + std::to_string(c.line);
        const auto desktop = c.desktop.is_null() ? std::nullopt : std::optional(c.desktop.dump());
        const Outcome o = finish(startSim(*c.args, desktop));
        EXPECT_EQ(o.status, c.err.empty() ? 0 : 1) << where;
        EXPECT_EQ(o.out, c.out.empty() ? "" : c.out + "\n") << where;
        EXPECT_EQ(o.err, c.err.empty() ? "" : c.err + "\n") << where;
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
