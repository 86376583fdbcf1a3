#include "effect_arrays.h"
#include "effect_lists.h"

bool qeffect_array(const void *obj, t_symbol *name, std::int32_t *latch, const char *cls, t_word **vec, int *size)
{
    t_garray *a = (t_garray *)pd_findbyclass(name, garray_class);
    *size = 0;
    *vec = nullptr;
    const bool have = a != nullptr && garray_getfloatwords(a, size, vec);
    qeffect_error_episode(obj, latch, !have, cls, name->s_name, "no such float array, passing through");
    return have;
}
