#include "record_registry.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "m_pd.h"

// The first table lives in static storage, so a library with a few dozen
// objects never allocates for the registry; it doubles when half full.
static constexpr std::size_t INITIAL_SLOTS = 256;
static sQavexRecordSlot initial_slots[INITIAL_SLOTS];

static void insert_unchecked(sQavexRecordTable &t, const sQavexRecordSlot &e)
{
    std::size_t i = qavex_t_record_hash(e.key) & t.mask;
    while (t.slots[i].key != 0 && t.slots[i].key != e.key) i = (i + 1) & t.mask;
    if (t.slots[i].key == 0) t.used++;
    t.slots[i] = e;
}

static bool grow(sQavexRecordTable &t)
{
    const std::size_t n = (t.mask + 1) * 2;
    auto *fresh = (sQavexRecordSlot *)std::calloc(n, sizeof(sQavexRecordSlot));
    if (!fresh) return false;
    sQavexRecordTable g{fresh, n - 1, 0};
    for (std::size_t i = 0; i <= t.mask; i++)
        if (t.slots[i].key != 0) insert_unchecked(g, t.slots[i]);
    if (t.slots != initial_slots) std::free(t.slots);
    t = g;
    return true;
}

sQavexRecordTable qavex_t_records = {initial_slots, INITIAL_SLOTS - 1, 0};

bool qavex_t_record_add(const void *p, eQavexRecord kind, std::int32_t capacity)
{
    if (!p) return false;
    sQavexRecordTable &t = qavex_t_records;
    // Keep at least half the slots free so probe sequences stay short and
    // every lookup meets a free slot.
    if ((t.used + 1) * 2 > t.mask + 1 && !grow(t)) {
        if (t.used + 1 >= t.mask + 1) {
            pd_error(nullptr, "qavex: record registry full, a record is not published");
            return false;
        }
    }
    insert_unchecked(t, {(std::uintptr_t)p, capacity, kind});
    return true;
}

void qavex_t_record_remove(const void *p)
{
    const std::uintptr_t k = (std::uintptr_t)p;
    if (k == 0) return;
    sQavexRecordTable &t = qavex_t_records;
    std::size_t i = qavex_t_record_hash(k) & t.mask;
    while (t.slots[i].key != k) {
        if (t.slots[i].key == 0) return;
        i = (i + 1) & t.mask;
    }
    // Backward-shift deletion: move later members of the probe run into the
    // hole when their home slot allows it, so no tombstones are needed.
    std::size_t hole = i;
    for (std::size_t j = (i + 1) & t.mask; t.slots[j].key != 0; j = (j + 1) & t.mask) {
        const std::size_t home = qavex_t_record_hash(t.slots[j].key) & t.mask;
        // Movable if home is not cyclically within (hole, j].
        const bool home_in_range = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (!home_in_range) {
            t.slots[hole] = t.slots[j];
            hole = j;
        }
    }
    t.slots[hole] = {0, 0, eQavexRecord::NONE};
    t.used--;
}

std::size_t qavex_t_record_count() { return qavex_t_records.used; }
