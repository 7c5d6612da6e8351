#include "main/output.h"
#include "main/state.h"
#include "platform/platform.h"
#include "queries/queries.h"

#include <algorithm>

void trustedCommand() {
    const bool prompt = std::find(args.begin(), args.end(), "--prompt") != args.end();
    out({{"trusted", platform::isTrustedWithOptions(prompt)}});
}
