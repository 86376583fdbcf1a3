// Operations on one complex window array, always passed by its slot so that
// rebuilding operations can replace the block in place. An empty slot is
// allowed everywhere and has a fixed result.
#pragma once

#include <cstdint>

#include "records.h"

// What qavex_t_mult_array does with each element (numbered from 0).
enum _eMultType : std::int32_t { TIMES_VAL, TIMES_CONJ, TIMES_N, DIV_N, RECIPROCAL, CONJUGATE, NORMALIZE };

// Where qavex_t_prolong_array inserts its zeros (numbered from 0).
enum _eProlongType : std::int32_t { PROLONG_START, PROLONG_MIDDLE, PROLONG_END };

void qavex_t_simplefft_array(pac_type **ppcIn, pac_type **ppcOut, std::int32_t FFTW_FLAG);
void qavex_t_fft_array(pac_type **ppcIn);
std::int32_t qavex_t_get_first_zero_array(pac_type **ppcIn);
std::int32_t qavex_t_get_window_length_array(pac_type **ppcIn);
pac_type qavex_t_first_value_array(pac_type **ppcIn);
pac_type qavex_t_last_value_array(pac_type **ppcIn);
void qavex_t_badfilter_array(pac_type **ppcIn, std::int32_t iBin0, std::int32_t iBin1);
void qavex_t_abs_array(pac_type **ppcIn);
void qavex_t_componentabs_array(pac_type **ppcIn);
void qavex_t_ln_array(pac_type **ppcIn);
void qavex_t_mult_array(pac_type **ppcIn, _eMultType eType, pac_type cVal);
void qavex_t_cut_array(pac_type **ppcIn, pac_type_real dCutLow, pac_type_real dCutHigh, pac_type cSetValueLow,
                       pac_type cSetValueHigh);
void qavex_t_set_nan_to_zero_array(pac_type **ppcIn);
void qavex_t_set_inf_to_zero_array(pac_type **ppcIn);
void qavex_t_normalize_array(pac_type **ppcIn);
void qavex_t_cycle_array(pac_type **ppcIn, std::int32_t iBins);
void qavex_t_floating_average_array(pac_type **ppcIn, std::int32_t iWL);
void qavex_t_differentiate_array(pac_type **ppcIn);
void qavex_t_integrate_array(pac_type **ppcIn);
void qavex_t_imag_plus_real_array(pac_type **ppcIn);
pac_type qavex_t_make_dc_offset_array(pac_type **ppcIn, std::int32_t iChangeOffset, pac_type cNewMean);
pac_type qavex_t_inner_product_array(pac_type **ppcIn1, pac_type **ppcIn2);
pac_type_real qavex_t_length_of_vector_array(pac_type **ppcIn);
void qavex_t_prolong_array(pac_type **ppcIn, std::int32_t _iN, std::int32_t iWhere, std::int32_t iRandom);
pac_type qavex_t_abs_sum_coarse_array(pac_type **ppcIn);
pac_type qavex_t_abs_mu_coarse_array(pac_type **ppcIn);
pac_type qavex_t_abs_sigma_coarse_array(pac_type **ppcIn);
void qavex_t_array_synopsis_array(pac_type **ppcIn);
pac_type qavex_t_maximum_array(pac_type **ppcIn);
std::int32_t qavex_t_get_first_small_value_array(pac_type **ppcIn, pac_type_real ldSmallVal);
std::int32_t qavex_t_get_last_small_value_array(pac_type **ppcIn, pac_type_real ldSmallVal);
