#include "effect_lists.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "allocator.h"
#include "bus_words.h"
#include "m_pd.h"
#include "records.h"

std::int64_t qeffect_count(const sQavex_CoeffIn &in)
{
    std::int64_t n = 0;
    for (std::int32_t k = 0; k < in.n; k++)
        if (in.lists[k] != nullptr && in.lists[k][0].numCoeff > 0) n += in.lists[k][0].numCoeff;
    return n;
}

void qeffect_release(sQeffect_Out &o)
{
    if (o.pawc != nullptr) qavex_t_record_remove(o.pawc);
    qavex_t_free(o.pawc);
    qavex_t_free(o.state);
    o = sQeffect_Out{};
}

// One block holds the table of one list address and, 16-aligned behind it,
// the list itself.
static constexpr std::size_t QEFFECT_TABLE_BYTES = 16;

static void *qeffect_alloc(std::size_t bytes) { return qavex_t_malloc0(bytes); }

bool qeffect_fit(sQeffect_Out &o, const sQbank_Param *p, std::int32_t nstate, std::int64_t need, bool *rebuilt)
{
    *rebuilt = false;
    const std::int32_t S = p->iq_compute_sup;
    if (o.state == nullptr || o.bank != p || o.generation != p->iGeneration || o.bands != S || o.nstate != nstate) {
        qavex_t_free(o.state);
        o.state = nullptr;
        o.bands = 0;
        o.bank = nullptr;
        const std::size_t n = (std::size_t)S * (std::size_t)nstate;
        o.state = n > 0 ? (double *)qeffect_alloc(n * sizeof(double)) : nullptr;
        if (o.state == nullptr) return false;
        for (std::size_t i = 0; i < n; i++) o.state[i] = 0.0;
        o.bank = p;
        o.generation = p->iGeneration;
        o.bands = S;
        o.nstate = nstate;
        *rebuilt = true;
    }
    if (need > INT32_MAX - 1) return false;
    if (o.pawc == nullptr || need > o.capacity) {
        // Room for what this block needs, and at least one entry per band
        // and block position, which a bank's own stream never exceeds.
        std::int64_t cap = (std::int64_t)S * QAVEX_BLOCK;
        if (cap < need) cap = need + need / 2;
        if (cap < 1) cap = 1;
        if (cap > INT32_MAX - 1) cap = INT32_MAX - 1;
        if (o.pawc != nullptr) qavex_t_record_remove(o.pawc);
        qavex_t_free(o.pawc);
        o.capacity = 0;
        o.pawc = (sQavex_Coeff **)qeffect_alloc(QEFFECT_TABLE_BYTES + (std::size_t)cap * sizeof(sQavex_Coeff));
        if (o.pawc == nullptr) return false;
        o.pawc[0] = (sQavex_Coeff *)((unsigned char *)o.pawc + QEFFECT_TABLE_BYTES);
        o.pawc[0][0].numCoeff = 0;
        o.capacity = (std::int32_t)cap;
        qavex_t_record_add(o.pawc, eQavexRecord::LISTS, 1);
    }
    return true;
}

void qeffect_copy_in(sQeffect_Out &o, const sQavex_CoeffIn &in)
{
    sQavex_Coeff *list = o.pawc[0];
    std::int32_t n = 0;
    qeffect_for_each(in, [&](const sQavex_Coeff &c) {
        sQavex_Coeff &d = list[n++];
        d.start = c.start;
        d.val_r = c.val_r;
        d.val_i = c.val_i;
        d.band = c.band;
    });
    list[0].numCoeff = n;
}

sQeffect_Bus qeffect_read(const t_sample *inG, const t_sample *inC, t_sample *outG, t_sample *outC, bool *coeff_ok)
{
    sQeffect_Bus b{};
    b.cin = qavex_t_read_coeff_block(inG);
    const sQavex_ParamIn pin = qavex_t_read_param_block(inC);
    b.outG = outG;
    b.outC = outC;
    *coeff_ok = b.cin.tag == QAVG_TAG && b.cin.lists != nullptr && b.cin.n >= 0;
    if (!*coeff_ok) b.cin.n = 0;
    qavex_t_write_empty_block(outC);
    if (pin.tag == QAVC_TAG && pin.p != nullptr) {
        qavex_t_write_param_block(outC, pin.p);
        if (pin.p->iq_compute_sup > 0) b.p = pin.p;
    }
    return b;
}

void qeffect_publish(const sQeffect_Out &o, t_sample *outG) { qavex_t_write_coeff_block(outG, o.pawc, 1); }

void qeffect_pass(const sQavex_CoeffIn &in, t_sample *outG)
{
    if (in.tag == QAVG_TAG && in.lists != nullptr) qavex_t_write_coeff_block(outG, in.lists, in.n);
    else qavex_t_write_empty_block(outG);
}

double qeffect_pole(double ms, std::int32_t hop)
{
    if (!(ms > 0.0)) return 1.0;
    return 1.0 - std::exp(-(double)hop / (ms * 0.001 * QAVEX_SR));
}

void qeffect_error_episode(const void *obj, std::int32_t *latch, bool seen, const char *cls, const char *name,
                           const char *text)
{
    if (seen && !*latch) pd_error(obj, "%s: %s: %s", cls, name, text);
    *latch = seen ? 1 : 0;
}
