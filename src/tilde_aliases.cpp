#include "tilde_aliases.h"

#include <cstring>

#include "m_pd.h"

namespace {

struct Alias {
    const char *spelling;  // what a patch may type
    const char *name;      // the registered class it creates
};

constexpr Alias ALIASES[] = {
    {"qbank~", "qbank_tilde"},   {"qavex~", "qavex_tilde"}, {"invqavex~", "invqavex_tilde"},
    {"qlag~", "qlag_tilde"},     {"qemit~", "qemit_tilde"},
};

}  // namespace

// Creates the object exactly as its registered name would: the same
// constructor parses the same arguments, so the result is an object of that
// class (and its Help opens that class's patch). Every aliased class takes
// one optional number; anything else is refused here, because the host
// leaves its record of the newest object untouched when the arguments do not
// fit, and that record is what this creator returns.
static void *qavex_alias_new(t_symbol *s, int argc, t_atom *argv)
{
    if (argc > 0 && argv[0].a_type != A_FLOAT) {
        pd_error(nullptr, "%s: the creation argument must be a number", s->s_name);
        return nullptr;
    }
    for (const Alias &a : ALIASES)
        if (std::strcmp(s->s_name, a.spelling) == 0) {
            pd_typedmess(&pd_objectmaker, gensym(a.name), argc, argv);
            return pd_newest();
        }
    return nullptr;
}

void qavex_register_tilde_aliases()
{
    for (const Alias &a : ALIASES)
        class_addcreator((t_newmethod)(void (*)(void))qavex_alias_new, gensym(a.spelling), A_GIMME, A_NULL);
}
