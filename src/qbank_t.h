// The filter-bank designer qbank_tilde: parameter record, band layout,
// complex and float windows, and the messages that set, build, inspect and
// export them. Its signal outlet publishes the parameter record every block.
#pragma once

#include "qbank_record.h"

// Registers the class "qbank_tilde" with its messages.
void qbank_t_setup();
