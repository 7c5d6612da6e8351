#include "main/dispatch.h"

#include "actions/run.h"
#include "events/exit.h"
#include "events/keys.h"
#include "queries/queries.h"

State startUp(int argc, char** argv) {
    State state;
    std::vector<std::string> args = platform::prepareProcess(argc, argv);
    state.keyCodes = makeKeyCodes();
    state.src = platform::createEventSource();
    state.modifiers = 0;
    state.modifierFlags = makeModifierFlags();
    state.cursor = {0.0, 0.0};
    state.args = std::move(args);
    return state;
}

namespace {

// The release this executable belongs to, as the build names it, so a host can tell
// which behaviour it talks to.
void versionCommand(State&) {
    out({{"version", MARNITH_VERSION}});
}

} // namespace

int dispatch(State& state) {
    static const std::pair<const char*, void (*)(State&)> commands[] = {
        {"--version", versionCommand}, {"trusted", trustedCommand}, {"windows", windowsCommand},
        {"activate", activateCommand}, {"run", runCommand},
    };
    if (state.args.size() < 2)
        fail(state, "usage: marnith-input trusted|windows|activate|run");
    for (const auto& [word, command] : commands) {
        if (state.args[1] == word) {
            command(state);
            return 0;
        }
    }
    fail(state, "unknown command " + state.args[1]);
}
