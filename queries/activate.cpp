#include "main/output.h"
#include "main/state.h"
#include "main/values.h"
#include "platform/platform.h"
#include "queries/queries.h"

void activateCommand() {
    const auto pid = args.size() > 2 ? parsePid(args[2]) : std::nullopt;
    std::optional<std::string> bundleId;
    if (!pid || !platform::runningApplication(*pid, bundleId))
        fail("bad pid");
    // An application that declines to come forward is not a failure.
    platform::activateApplication(*pid);
    out({{"ok", true}});
}
