#include "events/exit.h"
#include "queries/queries.h"

#include <algorithm>

void trustedCommand(State& state) {
    const auto& args = state.args;
    const bool prompt = std::find(args.begin(), args.end(), "--prompt") != args.end();
    out({{"trusted", platform::isTrustedPrompting(prompt)}});
}
