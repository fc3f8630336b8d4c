// The seed helper moved to util/testing/seed.h; this name stays until every includer uses that one.
#pragma once

#include "util/testing/seed.h"
