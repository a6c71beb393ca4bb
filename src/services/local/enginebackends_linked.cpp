#include "whispermodel.h"

// The CPU back end is linked into this build and registers itself.
bool loadEngineBackends() { return true; }
