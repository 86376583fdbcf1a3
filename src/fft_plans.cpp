// FFT plans shared by kind, size and array alignment, in a fixed table.
#include "fft_plans.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace {

// FFTW's planner is not thread-safe (only executing plans is): every plan
// creation and destruction holds this lock, so that the worker threads of
// the live rebuilds can plan beside the host's thread.
std::mutex planner;

constexpr int ROOMS = 512;

}  // namespace

struct sFftPlan {
    fftw_plan plan;  // null: free room
    eFft kind;
    int n;
    int align_in, align_out;
    bool in_place;
    std::atomic<int> users;
    std::uint64_t last_use;  // acquire count at the last acquire, for choosing the room to free
};

namespace {

sFftPlan rooms[ROOMS];
std::uint64_t acquires;

fftw_plan make(eFft kind, int n, const void *in, const void *out)
{
    // FFTW_ESTIMATE neither reads nor writes the arrays while planning.
    fftw_complex *ci = (fftw_complex *)const_cast<void *>(in), *co = (fftw_complex *)const_cast<void *>(out);
    double *ri = (double *)const_cast<void *>(in), *ro = (double *)const_cast<void *>(out);
    switch (kind) {
    case eFft::FORWARD: return fftw_plan_dft_1d(n, ci, co, FFTW_FORWARD, FFTW_ESTIMATE);
    case eFft::BACKWARD: return fftw_plan_dft_1d(n, ci, co, FFTW_BACKWARD, FFTW_ESTIMATE);
    case eFft::REAL_TO_HALF: return fftw_plan_dft_r2c_1d(n, ri, co, FFTW_ESTIMATE);
    case eFft::HALF_TO_REAL: return fftw_plan_dft_c2r_1d(n, ci, ro, FFTW_ESTIMATE);
    }
    return nullptr;
}

}  // namespace

const sFftPlan *fft_plan_acquire(eFft kind, int n, const void *in, const void *out)
{
    if (n < 1 || !in || !out) return nullptr;
    const int ai = fftw_alignment_of((double *)const_cast<void *>(in));
    const int ao = fftw_alignment_of((double *)const_cast<void *>(out));
    const bool in_place = in == out;
    std::lock_guard<std::mutex> lock(planner);
    acquires++;
    sFftPlan *room = nullptr;
    for (sFftPlan &r : rooms) {
        if (r.plan && r.kind == kind && r.n == n && r.align_in == ai && r.align_out == ao && r.in_place == in_place) {
            r.users.fetch_add(1, std::memory_order_relaxed);
            r.last_use = acquires;
            return &r;
        }
        // A free room, else the idle plan used longest ago.
        if (!r.plan) {
            if (!room || room->plan) room = &r;
        } else if (r.users.load(std::memory_order_acquire) == 0) {
            if (!room || (room->plan && r.last_use < room->last_use)) room = &r;
        }
    }
    if (!room) return nullptr;
    fftw_plan p = make(kind, n, in, out);
    if (!p) return nullptr;
    if (room->plan) fftw_destroy_plan(room->plan);
    room->plan = p;
    room->kind = kind;
    room->n = n;
    room->align_in = ai;
    room->align_out = ao;
    room->in_place = in_place;
    room->users.store(1, std::memory_order_relaxed);
    room->last_use = acquires;
    return room;
}

void fft_plan_release(const sFftPlan *plan)
{
    if (plan) const_cast<sFftPlan *>(plan)->users.fetch_sub(1, std::memory_order_release);
}

void fft_execute(const sFftPlan *p, fftw_complex *in, fftw_complex *out) { fftw_execute_dft(p->plan, in, out); }
void fft_execute(const sFftPlan *p, double *in, fftw_complex *out) { fftw_execute_dft_r2c(p->plan, in, out); }
void fft_execute(const sFftPlan *p, fftw_complex *in, double *out) { fftw_execute_dft_c2r(p->plan, in, out); }

fftw_complex *fft_complex_buffer(std::size_t n) { return fftw_alloc_complex(n); }
double *fft_real_buffer(std::size_t n) { return fftw_alloc_real(n); }
void fft_buffer_free(void *buffer)
{
    if (buffer) fftw_free(buffer);
}

int fft_plans_held()
{
    std::lock_guard<std::mutex> lock(planner);
    int k = 0;
    for (const sFftPlan &r : rooms) k += r.plan && r.users.load() > 0;
    return k;
}

int fft_plans_kept()
{
    std::lock_guard<std::mutex> lock(planner);
    int k = 0;
    for (const sFftPlan &r : rooms) k += r.plan != nullptr;
    return k;
}
