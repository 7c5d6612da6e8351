// The simulated tool end to end from the case tables in tests/cases/: each case gives
// the arguments and the desktop, and the exact output, exit status and trace.
#include "process.h"

#include <fstream>

#include <gtest/gtest.h>

namespace {

struct TableCase {
    int line = 0;
    std::vector<std::string> args;
    std::optional<std::string> desktop;
    std::string out, err, trace;
    int status = 0;
};

// The format is described at the top of each table.
std::vector<TableCase> readTable(const std::string& name) {
    std::ifstream in(MARNITH_SOURCE_DIR "/tests/cases/" + name, std::ios::binary);
    std::vector<TableCase> cases(1);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        TableCase& c = cases.back();
        if (line.empty() && c.line != 0)
            cases.emplace_back();
        if (line.empty() || line[0] == '#')
            continue;
        c.line = c.line ? c.line : number;
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "$")
            c.args.push_back(value);
        else if (key == "desktop")
            c.desktop = value;
        else if (key == "out")
            c.out = value + "\n";
        else if (key == "err")
            c.err = value + "\n", c.status = 1;
        else if (key == "trace")
            c.trace += (c.trace.empty() ? "" : "; ") + value;
        else
            ADD_FAILURE() << name << ":" << number << ": no such field " << key;
    }
    if (cases.back().line == 0)
        cases.pop_back();
    return cases;
}

void play(const std::string& table) {
    const auto cases = readTable(table);
    EXPECT_GT(cases.size(), 30u) << table;
    for (const TableCase& c : cases) {
        const Outcome o = finish(startSim(c.args, c.desktop));
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
