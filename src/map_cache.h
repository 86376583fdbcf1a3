// Whether the processed file beside a warping-map source file (the cache of
// its two B-spline tables) still describes that source. A cache is rebuilt
// when its source was written after it, or when its table ranges, its
// monotony or sampled table values differ from what the source gives.
#pragma once

#include <string>

enum class eMapCache {
    KEEP,      // the cache describes its source (or there is no usable source to compare)
    REBUILD,   // stale or damaged: one console line said why
    NO_MEMORY  // the source's rows could not be held
};

// d: the warping data read from the cache (B-spline form). source and
// processed: the two files' names as opened.
eMapCache qbank_map_cache_check(const std::string &source, const std::string &processed, const double *d);
