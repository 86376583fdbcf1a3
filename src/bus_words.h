// The bus: tags and word positions of the parameter and coefficient blocks,
// and writing and reading them (addresses checked against the record registry).
#pragma once

#include <cstdint>
#include <cstring>

#include "m_pd.h"
#include "record_registry.h"
#include "records.h"

constexpr std::int32_t QAVC_TAG = 0x51415643;  // 'Q','A','V','C'
constexpr std::int32_t QAVG_TAG = 0x51415647;  // 'Q','A','V','G'
constexpr int QAVEX_WORD_LISTS = 4;            // coefficient block: list array (2 words on 64 bit)
constexpr int QAVEX_WORD_NLISTS = 8;           // coefficient block: number of lists
constexpr int QAVEX_WORD_PARAM = 12;           // parameter block: record (2 words on 64 bit)

inline void hide_int_at_address(std::int32_t i, void *p) { std::memcpy(p, &i, sizeof i); }
void hide_pointer_at_address(const void *what, void *p);
inline std::int32_t find_int_at_address(const void *p)
{
    std::int32_t i;
    std::memcpy(&i, p, sizeof i);
    return i;
}
inline void *find_pointer_at_address(const void *p)
{
    void *a;
    std::memcpy(&a, p, sizeof a);
    return a;
}

inline void qavex_t_write_empty_block(t_sample *v) { std::memset(v, 0, QAVEX_BLOCK * sizeof(t_sample)); }
// Parameter block: tag in word 0, record address in word 12; no other word.
inline void qavex_t_write_param_block(t_sample *v, const sQbank_Param *p)
{
    hide_int_at_address(QAVC_TAG, v);
    hide_pointer_at_address(p, v + QAVEX_WORD_PARAM);
}
// Coefficient block on a cleared vector: tag, list array, list count.
inline void qavex_t_write_coeff_block(t_sample *v, sQavex_Coeff **lists, std::int32_t n)
{
    qavex_t_write_empty_block(v);
    hide_int_at_address(n, v + QAVEX_WORD_NLISTS);
    hide_int_at_address(QAVG_TAG, v);
    hide_pointer_at_address(lists, v + QAVEX_WORD_LISTS);
}

// What a reader takes from a block before it writes any outlet.
struct sQavex_ParamIn {
    std::int32_t tag;
    sQbank_Param *p;
};
struct sQavex_CoeffIn {
    std::int32_t tag;
    sQavex_Coeff **lists;
    std::int32_t n;
};
// A reader trusts an address only if it names a live record of the kind it
// expects (see record_registry.h): a float whose bits equal a tag, a forged
// block or the address of a deleted object reads as no address at all. A
// coefficient block whose count exceeds its array's capacity is refused too.
inline sQavex_ParamIn qavex_t_read_param_block(const t_sample *v)
{
    void *p = find_pointer_at_address(v + QAVEX_WORD_PARAM);
    if (!qavex_t_record_find(p, eQavexRecord::PARAM)) p = nullptr;
    return {find_int_at_address(v), (sQbank_Param *)p};
}
inline sQavex_CoeffIn qavex_t_read_coeff_block(const t_sample *v)
{
    void *p = find_pointer_at_address(v + QAVEX_WORD_LISTS);
    const std::int32_t n = find_int_at_address(v + QAVEX_WORD_NLISTS);
    const sQavexRecordSlot *s = qavex_t_record_find(p, eQavexRecord::LISTS);
    if (!s || n > s->capacity) p = nullptr;
    return {find_int_at_address(v), (sQavex_Coeff **)p, n};
}
