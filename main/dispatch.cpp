#include "actions/actions.h"
#include "events/events.h"
#include "main/output.h"
#include "main/state.h"
#include "queries/queries.h"

std::vector<std::string> args;

void startUp(int argc, char** argv) {
    keyCodes = makeKeyCodes();
    src = platform::createEventSource();
    modifiers = 0;
    modifierFlags = makeModifierFlags();
    cursor = {0.0, 0.0};
    args.assign(argv, argv + argc);
}

int dispatch() {
    static const std::pair<const char*, void (*)()> commands[] = {
        {"trusted", trustedCommand},
        {"windows", windowsCommand},
        {"activate", activateCommand},
        {"run", runCommand},
    };
    if (args.size() < 2)
        fail("usage: marnith-input trusted|windows|activate|run");
    for (const auto& [word, command] : commands) {
        if (args[1] == word) {
            command();
            return 0;
        }
    }
    fail("unknown command " + args[1]);
}
