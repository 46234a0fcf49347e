#include "support/FakeCentral.h"  // header-only
