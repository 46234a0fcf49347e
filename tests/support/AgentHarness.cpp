#include "support/AgentHarness.h"  // header-only
