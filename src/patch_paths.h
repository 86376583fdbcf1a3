// File names relative to the folder of the patch that holds an object, the
// way the host's own file objects resolve them.
#pragma once

#include <cstddef>
#include <string>

#include "m_pd.h"

// Folder of the patch being loaded right now (call it in a constructor), or
// null when the object is created outside any patch.
t_symbol *qavex_current_patch_dir();

// name taken relative to dir: absolute names, an empty name and a missing or
// empty dir leave name unchanged.
std::string qavex_patch_path(const t_symbol *dir, const char *name);

// A file name given as a message argument into out (size bytes, cut and
// terminated): a symbol by its name, since the host's text conversion would
// put escape characters (before spaces, for instance) into it; any other
// atom by its text.
void qavex_atom_file_name(const t_atom *a, char *out, std::size_t size);
