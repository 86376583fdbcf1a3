#include "bus_tools.h"

#include <cstddef>

#include "bus_words.h"
#include "m_pd.h"
#include "records.h"

bool qavex_t_read_bus_args(const t_int *w, sQavex_ParamIn &pin, sQavex_CoeffIn &cin)
{
    if ((int)w[4] != QAVEX_BLOCK) return false;
    pin = qavex_t_read_param_block((const t_sample *)w[3]);
    cin = qavex_t_read_coeff_block((const t_sample *)w[2]);
    return pin.p && pin.tag == QAVC_TAG && cin.lists && cin.tag == QAVG_TAG;
}

t_class *qavex_t_tool_class(const char *name, t_newmethod make, t_method free, std::size_t size, t_atomtype arg,
                            int signal_onset, t_method dsp, t_method bang)
{
    t_class *c = class_new(gensym(name), make, free, size, CLASS_DEFAULT, arg, A_NULL);
    class_domainsignalin(c, signal_onset);
    class_addmethod(c, dsp, gensym("dsp"), A_CANT, A_NULL);
    class_addbang(c, bang);
    return c;
}
