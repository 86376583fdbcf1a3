// Registry of the records this library publishes on the bus: parameter
// records and coefficient list arrays. Owners register a record when they
// create or reallocate it and remove it before they free it; bus readers
// accept an address only if it names a live record of the expected kind, so
// forged blocks, stale addresses of deleted objects and floats that happen
// to carry a tag's bits are read as "no address".
//
// Everything runs on the host's one thread: the table is an open-addressing
// hash set with linear probing and no locks. Lookups never allocate.
#pragma once

#include <cstddef>
#include <cstdint>

enum class eQavexRecord : std::uint8_t {
    NONE = 0,
    PARAM = 1,  // an sQbank_Param
    LISTS = 2,  // an array of coefficient list addresses
};

struct sQavexRecordSlot {
    std::uintptr_t key;     // record address; 0 = free slot
    std::int32_t capacity;  // LISTS: number of list addresses the array holds
    eQavexRecord kind;
};

struct sQavexRecordTable {
    sQavexRecordSlot *slots;
    std::size_t mask;  // slot count - 1 (a power of two)
    std::size_t used;
};
extern sQavexRecordTable qavex_t_records;

// Registers (or re-registers) the record at p. False, with a console error,
// only if the table cannot grow; the record is then refused by readers.
bool qavex_t_record_add(const void *p, eQavexRecord kind, std::int32_t capacity = 0);
// Forgets the record at p (nothing if it is not registered).
void qavex_t_record_remove(const void *p);
// Number of live records (for tests and reports).
std::size_t qavex_t_record_count();

inline std::size_t qavex_t_record_hash(std::uintptr_t k)
{
    // Records are at least 16-aligned; mix the upper bits into the index.
    std::uint64_t h = (std::uint64_t)k * 0x9E3779B97F4A7C15ull;
    return (std::size_t)(h >> 32);
}

// The slot holding p with the given kind, or null.
inline const sQavexRecordSlot *qavex_t_record_find(const void *p, eQavexRecord kind)
{
    const std::uintptr_t k = (std::uintptr_t)p;
    if (k == 0) return nullptr;
    const sQavexRecordTable &t = qavex_t_records;
    for (std::size_t i = qavex_t_record_hash(k) & t.mask;; i = (i + 1) & t.mask) {
        const sQavexRecordSlot &s = t.slots[i];
        if (s.key == k) return s.kind == kind ? &s : nullptr;
        if (s.key == 0) return nullptr;
    }
}
