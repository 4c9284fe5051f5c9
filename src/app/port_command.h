#pragma once

#include <optional>

// `zelqo-serial --yield PORT` and `zelqo-serial --reclaim PORT` (or --yield=PORT), handled before
// any window exists, so that a script needs no display. The exit status when the arguments ask
// for one of them; nothing otherwise.
[[nodiscard]] std::optional<int> runPortCommand(int argc, char *argv[]);
