#include "support/TempDir.h"  // header-only
