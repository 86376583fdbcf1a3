// Scheduling priority of the library's worker threads (bank and engine
// builds): below the host's, so that where cores are scarce a build running
// beside the audio gives the processor up to the host's ticks instead of
// delaying them. A machine kept busy by ordinary work delays the builds
// instead: audio first.
#pragma once

// Lowers the calling thread's priority; where the platform has no such
// call, nothing changes.
void qavex_thread_to_background();
