// The whole ground floor at once: types and records, allocator, conversions,
// window header words, rings, rounding, bus words and shared report lines.
// Sources include the headers they use; this one serves tests and tools.
#pragma once

#include "allocator.h"
#include "bus_words.h"
#include "conversions.h"
#include "records.h"
#include "reports.h"
#include "rings.h"
#include "rounding.h"
#include "window_words.h"
