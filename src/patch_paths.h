// File names relative to the folder of the patch that holds an object, the
// way the host's own file objects resolve them.
#pragma once

#include <string>

#include "m_pd.h"

// Folder of the patch being loaded right now (call it in a constructor), or
// null when the object is created outside any patch.
t_symbol *qavex_current_patch_dir();

// name taken relative to dir: absolute names, an empty name and a missing or
// empty dir leave name unchanged.
std::string qavex_patch_path(const t_symbol *dir, const char *name);
