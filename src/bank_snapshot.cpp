#include "bank_snapshot.h"

#include <cstddef>
#include <cstring>
#include <mutex>

#include "allocator.h"
#include "window_words.h"

namespace {

// Floats in front of each copied window: padding, then the six header words,
// so that element 0 starts on a 32-byte boundary.
constexpr std::int32_t FRONT = 8;
constexpr std::int32_t HEADER = 6;
// Records known to hold the same contents as one snapshot.
constexpr int ALIASES = 8;

struct Alias {
    const sQbank_Param *p;
    std::uint32_t gen;
};

struct Entry {
    sBankSnapshot pub;  // first: the public view is the entry's address
    std::int32_t refs;
    Alias alias[ALIASES];
    int naliases;
    void *derived[(int)eBankDerived::COUNT];
    fBankDerivedFree derived_free[(int)eBankDerived::COUNT];
    sBankSnapshotBand *bands;
    paf_type *data;
    bool shared;  // in the registry (a stamped record)
    Entry *next;
};

std::mutex registry_mutex;
Entry *registry = nullptr;
std::int32_t live = 0;

std::int32_t padded(std::int32_t L) { return FRONT + ((L + 7) & ~7); }

// What the snapshot copies of band q: the windows and their lengths, the hop.
sBankSnapshotBand source_band(const sQbank_Param *p, std::int32_t q)
{
    sBankSnapshotBand b{p->paf_r[q], p->paf_i[q], 0, 0, p->aiDq ? p->aiDq[q] : 0};
    b.Lr = b.r ? qavex_t_window_length(b.r) : 0;
    b.Li = b.i ? qavex_t_window_length(b.i) : 0;
    return b;
}

bool same_window(const paf_type *a, const paf_type *b, std::int32_t L)
{
    if (!a || !b) return a == b;
    return std::memcmp(a - HEADER, b - HEADER, (std::size_t)(L + HEADER) * sizeof(paf_type)) == 0;
}

// The bank holds exactly what snapshot e copied (bit for bit).
bool same_contents(const Entry *e, const sQbank_Param *p)
{
    if (e->pub.S != p->iq_compute_sup || e->pub.Lm != p->iLongestFrame_paf) return false;
    for (std::int32_t q = 0; q < e->pub.S; q++) {
        const sBankSnapshotBand &a = e->bands[q], b = source_band(p, q);
        if (a.Lr != b.Lr || a.Li != b.Li || a.d != b.d || !a.r != !b.r || !a.i != !b.i) return false;
    }
    for (std::int32_t q = 0; q < e->pub.S; q++) {
        const sBankSnapshotBand &a = e->bands[q];
        if (!same_window(a.r, p->paf_r[q], a.Lr) || !same_window(a.i, p->paf_i[q], a.Li)) return false;
    }
    return true;
}

Entry *find_by_record(const sQbank_Param *p)
{
    for (Entry *e = registry; e; e = e->next)
        for (int k = 0; k < e->naliases; k++)
            if (e->alias[k].p == p && e->alias[k].gen == p->iGeneration) return e;
    return nullptr;
}

void add_alias(Entry *e, const sQbank_Param *p)
{
    if (e->naliases < ALIASES) e->alias[e->naliases++] = Alias{p, p->iGeneration};
}

void free_entry(Entry *e)
{
    for (int k = 0; k < (int)eBankDerived::COUNT; k++)
        if (e->derived[k]) e->derived_free[k](e->derived[k]);
    qavex_t_free(e->bands);
    qavex_t_free(e->data);
    qavex_t_free(e);
}

const paf_type *copy_window(paf_type *&at, const paf_type *w, std::int32_t L)
{
    if (!w) return nullptr;
    std::memset(at, 0, (std::size_t)padded(L) * sizeof(paf_type));
    std::memcpy(at + FRONT - HEADER, w - HEADER, (std::size_t)(L + HEADER) * sizeof(paf_type));
    const paf_type *r = at + FRONT;
    at += padded(L);
    return r;
}

// A new snapshot of p with no reference yet; null when memory is short.
Entry *make_entry(const sQbank_Param *p)
{
    const std::int32_t S = p->iq_compute_sup;
    std::size_t floats = 0;
    for (std::int32_t q = 0; q < S; q++) {
        const sBankSnapshotBand b = source_band(p, q);
        if (b.r) floats += (std::size_t)padded(b.Lr);
        if (b.i) floats += (std::size_t)padded(b.Li);
    }
    Entry *e = (Entry *)qavex_t_malloc0(sizeof(Entry));
    if (!e) return nullptr;
    std::memset((void *)e, 0, sizeof *e);
    e->bands = (sBankSnapshotBand *)qavex_t_malloc0((std::size_t)(S > 0 ? S : 1) * sizeof(sBankSnapshotBand));
    e->data = (paf_type *)qavex_t_malloc0((floats > 0 ? floats : 1) * sizeof(paf_type));
    if (!e->bands || !e->data) {
        free_entry(e);
        return nullptr;
    }
    paf_type *at = e->data;
    for (std::int32_t q = 0; q < S; q++) {
        sBankSnapshotBand b = source_band(p, q);
        b.r = copy_window(at, b.r, b.Lr);
        b.i = copy_window(at, b.i, b.Li);
        e->bands[q] = b;
    }
    e->pub = sBankSnapshot{S, p->iLongestFrame_paf, e->bands};
    add_alias(e, p);
    return e;
}

}  // namespace

const sBankSnapshot *bank_snapshot_acquire(const sQbank_Param *p)
{
    if (!p || p->iq_compute_sup < 0 || (p->iq_compute_sup > 0 && (!p->paf_r || !p->paf_i))) return nullptr;
    if (p->iGeneration == 0) {
        // Nothing says when an unstamped record changes: a snapshot of its
        // own for this reader.
        Entry *e = make_entry(p);
        if (e) e->refs = 1;
        return e ? &e->pub : nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        Entry *e = find_by_record(p);
        if (!e)
            for (Entry *c = registry; c && !e; c = c->next)
                if (same_contents(c, p)) {
                    e = c;
                    add_alias(e, p);
                }
        if (e) {
            e->refs++;
            return &e->pub;
        }
    }
    Entry *made = make_entry(p);
    if (!made) return nullptr;
    std::lock_guard<std::mutex> lock(registry_mutex);
    // Made meanwhile by another reader of the same record: use that one.
    if (Entry *e = find_by_record(p)) {
        free_entry(made);
        e->refs++;
        return &e->pub;
    }
    made->refs = 1;
    made->shared = true;
    made->next = registry;
    registry = made;
    live++;
    return &made->pub;
}

const sBankSnapshot *bank_snapshot_find(const sQbank_Param *p)
{
    if (!p || p->iGeneration == 0) return nullptr;
    std::lock_guard<std::mutex> lock(registry_mutex);
    Entry *e = find_by_record(p);
    if (!e) return nullptr;
    e->refs++;
    return &e->pub;
}

void bank_snapshot_release(const sBankSnapshot *s)
{
    if (!s) return;
    Entry *gone = nullptr;
    if (!((const Entry *)s)->shared) {
        free_entry((Entry *)s);  // one reader only
        return;
    }
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        for (Entry **at = &registry; *at; at = &(*at)->next) {
            if (&(*at)->pub != s) continue;
            if (--(*at)->refs == 0) {
                gone = *at;
                *at = gone->next;
                live--;
            }
            break;
        }
    }
    if (gone) free_entry(gone);
}

const void *bank_snapshot_derived(const sBankSnapshot *s, eBankDerived kind, fBankDerivedBuild build,
                                  fBankDerivedFree destroy)
{
    Entry *e = (Entry *)s;  // pub is the entry's first member
    const int k = (int)kind;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        if (e->derived[k]) return e->derived[k];
    }
    void *made = build(s);
    if (!made) return nullptr;
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (e->derived[k]) {
        destroy(made);
        return e->derived[k];
    }
    e->derived[k] = made;
    e->derived_free[k] = destroy;
    return made;
}

std::int32_t bank_snapshot_count()
{
    std::lock_guard<std::mutex> lock(registry_mutex);
    return live;
}
