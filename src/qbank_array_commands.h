// The designer's array commands: the array toolkit applied to its complex windows.
#pragma once

#include "m_pd.h"
#include "qbank_record.h"

// Registers the array commands on the designer class.
void qbank_t_setup_array_commands(t_class *c);
