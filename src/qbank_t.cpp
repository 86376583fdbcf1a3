#include "qavex_t_definitions.h"

// Placeholder until the class is built.
void qbank_t_setup() {}
