// Coefficient file writer "qdump~": appends the coefficients of a stream
// whose real or imaginary part exceeds a threshold to a text file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "m_pd.h"

constexpr int QDUMP_PATH_SIZE = 500;

struct sQdump_t {
    t_object x_obj;
    t_float fConstSignal;            // main inlet's scalar
    t_inlet *x_inC;                  // parameter channel in
    char filepath[QDUMP_PATH_SIZE];  // path of the last "open"
    std::FILE *myfile;               // open output file or null
    t_float threshold;               // written when |re| or |im| is greater
    std::int32_t counter;            // sample time of the current block
    t_symbol *sPatchDir;             // folder of the patch holding the object
};

// Registers the class with its messages.
void qdump_t_setup();
