#include "patch_paths.h"

#include <cstddef>
#include <cstring>

#include "m_pd.h"
#include "platform.h"

t_symbol *qavex_current_patch_dir()
{
    t_glist *g = canvas_getcurrent();
    return g ? canvas_getdir(g) : nullptr;
}

std::string qavex_patch_path(const t_symbol *dir, const char *name)
{
    std::string n = name ? name : "";
    if (n.empty() || !dir || !dir->s_name[0] || qavex_path_is_absolute(n.c_str())) return n;
    std::string d = dir->s_name;
    if (d.back() != '/') d += '/';
    return d + n;
}

void qavex_atom_file_name(const t_atom *a, char *out, std::size_t size)
{
    if (size == 0) return;
    if (a->a_type == A_SYMBOL) {
        std::strncpy(out, a->a_w.w_symbol->s_name, size - 1);
        out[size - 1] = 0;
    } else {
        atom_string(a, out, (unsigned)size);
    }
}
