// "rebuild" on the designer: what a patch does to change its bank
// (initialize, make -1, shorten -1 unless "set_rebuild_shorten 0",
// copy_pac2paf -1 and, when the duals are in use, make_dual), done on a
// worker thread of the designer with the settings as they stand when
// "rebuild" arrives, in a private copy of the designer's state. The old bank
// stays published until the new one is complete. Then the new record is
// offered to the readers (sQbank_Param::pNext): fast engines build what
// they need for it off the audio thread, and once none is busy any more
// the designer's block routine swaps the new bank in at a block boundary.
// The console lines of the build are posted from the scheduler after the
// swap; a build that fails posts them with an error and the old bank stays.
#pragma once

#include "qbank_record.h"

// Registers "rebuild" and "set_rebuild_shorten" on the designer class.
void qbank_rebuild_setup(t_class *c);
// Block routine, before the record is published: the swap, when due.
void qbank_rebuild_perform(sQbank_t *psW);
// Deletion: stops the build, waits for readers still building from the
// waiting bank, frees everything.
void qbank_rebuild_free(sQbank_t *psW);

// For tests: waits until no build runs (the swap itself needs blocks, or
// a clock when DSP is off).
void qbank_rebuild_wait(sQbank_t *psW);
