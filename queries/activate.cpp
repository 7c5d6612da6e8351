#include "events/exit.h"
#include "events/values.h"
#include "queries/queries.h"

void activateCommand(State& state) {
    const auto& args = state.args;
    const auto pid = args.size() > 2 ? parsePid(args[2]) : std::nullopt;
    std::optional<std::string> bundleId;
    if (!pid || !platform::runningApplication(*pid, bundleId))
        fail(state, "bad pid");
    // An application that declines to come forward is not a failure.
    platform::activateApplication(*pid);
    out({{"ok", true}});
}
