// The "~" spellings of the signal classes registered with a "_tilde" name.
#pragma once

// Registers qbank~, qavex~, invqavex~, qlag~ and qemit~. Call after the
// classes they stand for are registered.
void qavex_register_tilde_aliases();
