#pragma once

// Told by the command and by the program alike when the running instance holds its name on the
// bus but does not take a request.
inline constexpr char instanceDidNotAnswer[]
    = "verbulo: Vorsik is already running but did not answer; try again or restart it.\n";
