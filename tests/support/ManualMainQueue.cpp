#include "support/ManualMainQueue.h"  // header-only
