// The library entry qavex_setup: registers every class, then the "~" spellings.
#include <cstring>

#include "invqavex_t.h"
#include "m_pd.h"
#include "platform.h"
#include "qavex_t.h"
#include "qbank_t.h"
#include "qcross_t.h"
#include "qdump_t.h"
#include "qemit_t.h"
#include "qgain_t.h"
#include "qgate_t.h"
#include "qlag_t.h"
#include "qproc_t.h"
#include "qtranspose_t.h"
#include "qview_t.h"

namespace {

struct Alias {
    const char *spelling;  // what a patch may type
    const char *name;      // the registered class it creates
};

constexpr Alias ALIASES[] = {
    {"qbank~", "qbank_tilde"}, {"qavex~", "qavex_tilde"}, {"invqavex~", "invqavex_tilde"},
    {"qlag~", "qlag_tilde"},   {"qemit~", "qemit_tilde"},
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

// Registers qbank~, qavex~, invqavex~, qlag~ and qemit~ after the classes
// they stand for.
static void qavex_register_tilde_aliases()
{
    for (const Alias &a : ALIASES)
        class_addcreator((t_newmethod)(void (*)(void))qavex_alias_new, gensym(a.spelling), A_GIMME, A_NULL);
}

// Class setups in this order; the live coefficient view qview~ and the
// effects qgain~, qgate~, qcross~ and qtranspose~ come after the seven classes of the bus.
extern "C" QAVEX_EXPORT void qavex_setup(void)
{
    qavex_t_setup();
    qproc_t_setup();
    invqavex_t_setup();
    qlag_t_setup();
    qemit_t_setup();
    qbank_t_setup();
    qdump_t_setup();
    qview_t_setup();
    qgain_t_setup();
    qgate_t_setup();
    qcross_t_setup();
    qtranspose_t_setup();
    qavex_register_tilde_aliases();
}
