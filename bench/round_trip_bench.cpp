// Round trip of the designer's bank in double precision, outside the audio
// objects: every band correlates white noise with its window, keeps every
// hop-th value and adds the real part of the coefficients times the
// synthesis window back. Prints the error overall and per 2 kHz range (each
// relative to the input's power in that range) for the duals as the designer
// makes them and for variants that change one thing at a time: double
// windows, hops of one sample, no regularisation, a longer transform grid,
// duals longer than their windows, without the bands above Nyquist.
//
//   cmake --build build --target round_trip_bench && build/round_trip_bench [C_d] [C_q] [seconds]
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <fftw3.h>

#include "dual_windows.h"
#include "pd_stub.h"
#include "qavex_t_definitions.h"
#include "qbank_t.h"

namespace {

using cd = std::complex<double>;
using Win = std::vector<cd>;

struct Bank {
    std::vector<Win> w;       // analysis windows
    std::vector<int> hop;
};

// One FFT size, planned once.
struct Fft {
    int M;
    fftw_complex *a;
    fftw_plan fw, bw;
    explicit Fft(int m) : M(m)
    {
        a = fftw_alloc_complex((size_t)m);
        fw = fftw_plan_dft_1d(m, a, a, FFTW_FORWARD, FFTW_ESTIMATE);
        bw = fftw_plan_dft_1d(m, a, a, FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    ~Fft()
    {
        fftw_destroy_plan(fw);
        fftw_destroy_plan(bw);
        fftw_free(a);
    }
    // Transform of v placed cyclically from index off.
    std::vector<cd> forward(const Win &v, long off = 0)
    {
        for (int k = 0; k < M; k++) a[k][0] = a[k][1] = 0;
        for (size_t k = 0; k < v.size(); k++) {
            long j = ((off + (long)k) % M + M) % M;
            a[j][0] += v[k].real();
            a[j][1] += v[k].imag();
        }
        fftw_execute(fw);
        std::vector<cd> r(M);
        for (int k = 0; k < M; k++) r[k] = cd(a[k][0], a[k][1]);
        return r;
    }
    std::vector<cd> backward(const std::vector<cd> &V)
    {
        for (int k = 0; k < M; k++) {
            a[k][0] = V[k].real();
            a[k][1] = V[k].imag();
        }
        fftw_execute(bw);
        std::vector<cd> r(M);
        for (int k = 0; k < M; k++) r[k] = cd(a[k][0], a[k][1]) / (double)M;
        return r;
    }
};

// Duals in double: G = W / D on a grid of about grid * Lmax points (D the
// own-window response with the given hops), 1/D regularised by eps * Dmax;
// each dual keeps the window's indexes widened by ext on both ends (its
// first element belongs to window index -ext).
std::vector<Win> duals(const Bank &b, const std::vector<int> &hop, double grid, double eps, int ext)
{
    size_t Lmax = 0;
    for (auto &w : b.w) Lmax = std::max(Lmax, w.size());
    int M = 64;
    while (M < grid * (double)(Lmax + 2 * ext)) M *= 2;
    Fft f(M);
    std::vector<double> D(M, 0.0);
    std::vector<std::vector<cd>> W;
    for (size_t q = 0; q < b.w.size(); q++) {
        W.push_back(f.forward(b.w[q]));
        for (int k = 0; k < M; k++) D[k] += std::norm(W.back()[k]) / (2.0 * 44100.0 * hop[q]);
    }
    std::vector<double> Df(M);
    for (int k = 0; k < M; k++) Df[k] = D[k] + D[(M - k) % M];
    double Dmax = *std::max_element(Df.begin(), Df.end());
    std::vector<Win> g;
    for (size_t q = 0; q < b.w.size(); q++) {
        std::vector<cd> G(M);
        for (int k = 0; k < M; k++) G[k] = W[q][k] * Df[k] / (Df[k] * Df[k] + eps * eps * Dmax * Dmax);
        auto t = f.backward(G);
        Win d(b.w[q].size() + 2 * ext);
        for (size_t k = 0; k < d.size(); k++) d[k] = t[((long)k - ext + M) % M];
        g.push_back(d);
    }
    return g;
}

// Duals of the windows' own lengths that minimise the round trip's error on
// white noise (the squared distance of the response from 1 on an exact grid,
// aliasing aside), by conjugate gradients from the truncated duals g.
std::vector<Win> refine(const Bank &b, const std::vector<int> &hop, std::vector<Win> g, int iters, size_t from = 0)
{
    size_t Lmax = 0;
    for (auto &w : b.w) Lmax = std::max(Lmax, w.size());
    int M = 64;
    while (M < 2 * (int)Lmax) M *= 2;
    Fft f(M);
    const size_t n = b.w.size();
    std::vector<std::vector<cd>> W(n);
    for (size_t q = 0; q < n; q++) W[q] = f.forward(b.w[q]);
    auto apply = [&](const std::vector<Win> &x) {
        std::vector<cd> R(M, 0.0);
        for (size_t q = 0; q < n; q++) {
            auto G = f.forward(x[q]);
            const double a = 1.0 / (2.0 * 44100.0 * hop[q]);
            for (int k = 0; k < M; k++) R[k] += a * G[k] * std::conj(W[q][k]);
        }
        std::vector<cd> H(M);
        for (int k = 0; k < M; k++) H[k] = R[k] + std::conj(R[(M - k) % M]);
        return H;
    };
    auto adjoint = [&](const std::vector<cd> &r) {
        std::vector<Win> s(n);
        for (size_t q = 0; q < n; q++) {
            const double a = 1.0 / (2.0 * 44100.0 * hop[q]);
            std::vector<cd> V(M);
            for (int k = 0; k < M; k++) V[k] = W[q][k] * 2.0 * r[k];
            auto v = f.backward(V);
            s[q].assign(b.w[q].size(), 0.0);
            if (q < from) continue;
            for (size_t t = 0; t < s[q].size(); t++) s[q][t] = a * (double)M * v[t];
        }
        return s;
    };
    auto norm2 = [](const std::vector<Win> &x) {
        double s = 0;
        for (auto &v : x)
            for (auto c : v) s += std::norm(c);
        return s;
    };
    auto H = apply(g);
    std::vector<cd> r(M);
    double e0 = 0;
    for (int k = 0; k < M; k++) {
        r[k] = 1.0 - H[k];
        e0 += std::norm(r[k]);
    }
    auto s = adjoint(r);
    auto p = s;
    double gamma = norm2(s);
    for (int it = 0; it < iters && gamma > 0; it++) {
        auto qv = apply(p);
        double qq = 0;
        for (auto c : qv) qq += std::norm(c);
        const double alpha = gamma / qq;
        for (size_t q = 0; q < n; q++)
            for (size_t t = 0; t < g[q].size(); t++) g[q][t] += alpha * p[q][t];
        for (int k = 0; k < M; k++) r[k] -= alpha * qv[k];
        s = adjoint(r);
        const double gn = norm2(s);
        for (size_t q = 0; q < n; q++)
            for (size_t t = 0; t < g[q].size(); t++) p[q][t] = s[q][t] + (gn / gamma) * p[q][t];
        gamma = gn;
    }
    double e1 = 0;
    for (auto c : r) e1 += std::norm(c);
    std::printf("  refine %d: response error %.1f -> %.1f dB\n", iters, 10 * std::log10(e0 / M), 10 * std::log10(e1 / M));
    return g;
}

// Windows cut to at most Lb samples around their peak, times a Tukey taper
// whose cosine edges take the fraction alpha of the length (0: hard cut);
// with eta > 0 the hop of a cut band shrinks until no more than eta of its
// spectrum's energy lies outside the band of width 1/hop around its peak.
// Each cut window keeps its energy per hop.
Bank cut(const Bank &b, int Lb, double alpha, double eta, double *rate)
{
    Bank r = b;
    *rate = 0;
    for (size_t q = 0; q < b.w.size(); q++) {
        const Win &w = b.w[q];
        const int N = (int)w.size();
        if (N > Lb) {
            int peak = 0;
            for (int k = 0; k < N; k++)
                if (std::abs(w[k]) > std::abs(w[peak])) peak = k;
            int s0 = std::clamp(peak - (Lb - 1) / 2, 0, N - Lb);
            Win v(Lb);
            const double edge = alpha * Lb / 2.0;
            for (int k = 0; k < Lb; k++) {
                double t = std::min(k + 0.5, Lb - k - 0.5);
                double tau = t >= edge ? 1.0 : 0.5 - 0.5 * std::cos(M_PI * t / edge);
                v[k] = w[s0 + k] * tau;
            }
            int hop = b.hop[q];
            if (eta > 0) {
                int M = 1;
                while (M < 4 * N) M *= 2;
                Fft f(M);
                auto V = f.forward(v);
                std::vector<double> P(M);
                double tot = 0;
                int pk = 0;
                for (int k = 0; k < M; k++) {
                    P[k] = std::norm(V[k]);
                    tot += P[k];
                    if (P[k] > P[pk]) pk = k;
                }
                while (hop > 1) {
                    // Energy within the M/hop bins centred on the peak.
                    int half = M / hop / 2;
                    double in = 0;
                    for (int k = -half; k < half; k++) in += P[((pk + k) % M + M) % M];
                    if (tot - in <= eta * tot) break;
                    hop--;
                }
            }
            double e0 = 0, e1 = 0;
            for (auto c : w) e0 += std::norm(c);
            for (auto c : v) e1 += std::norm(c);
            const double g = std::sqrt(e0 / b.hop[q] / (e1 / hop));
            for (auto &c : v) c *= g;
            r.w[q] = v;
            r.hop[q] = hop;
        }
        *rate += 44100.0 / r.hop[q];
    }
    return r;
}

struct Result {
    double total;
    std::vector<double> range;  // per 2 kHz
    std::vector<double> low;    // between the LOW_EDGES (Hz)
};
const double LOW_EDGES[] = {0, 50, 100, 200, 500, 1000, 2000};

// The round trip of x; g[q][0] belongs to window index -gofs.
Result round_trip(const Bank &b, const std::vector<int> &hop, const std::vector<Win> &g, int gofs,
                  const std::vector<double> &x)
{
    size_t Lmax = 0;
    for (auto &w : b.w) Lmax = std::max(Lmax, w.size());
    const long N = (long)x.size();
    int M = 1;
    while (M < N + 4 * (long)Lmax + 4 * gofs) M *= 2;
    Fft f(M);
    Win xc(x.begin(), x.end());
    auto X = f.forward(xc);
    std::vector<cd> Y(M, 0.0);
    for (size_t q = 0; q < b.w.size(); q++) {
        const long L = (long)b.w[q].size();
        if (L < 1) continue;
        Win h(L);
        for (long m = 0; m < L; m++) h[m] = std::conj(b.w[q][L - 1 - m]);
        auto H = f.forward(h);
        std::vector<cd> U(M);
        for (int k = 0; k < M; k++) U[k] = X[k] * H[k];
        auto u = f.backward(U);
        // Coefficients due at n = 0, d, 2d, ... over the input, placed at the
        // window start n - L + 1 (minus the dual's widening).
        Win s(M, 0.0);
        for (long n = 0; n < N + L; n += hop[q]) s[((n - L + 1 - gofs) % M + M) % M] = u[n] / 44100.0;
        auto S = f.forward(s);
        auto G = f.forward(g[q]);
        // Re(s * g) = (s*g + conj(s*g)) / 2, in the frequency domain.
        std::vector<cd> P(M);
        for (int k = 0; k < M; k++) P[k] = S[k] * G[k];
        for (int k = 0; k < M; k++) Y[k] += 0.5 * (P[k] + std::conj(P[(M - k) % M]));
    }
    auto y = f.backward(Y);
    // Error over the middle (the ends lack the overlap of the windows).
    const long a = 2 * (long)Lmax + gofs, e = N - 2 * (long)Lmax - gofs;
    const long n = e - a;
    int F = 1;
    while (F < n) F *= 2;
    F /= 2;
    Fft ff(F);
    Win ew(F), xw(F);
    for (long k = 0; k < F; k++) {
        double hw = 0.5 - 0.5 * std::cos(2 * M_PI * (double)k / F);
        ew[k] = hw * (y[a + k].real() - x[a + k]);
        xw[k] = hw * x[a + k];
    }
    auto E = ff.forward(ew), XX = ff.forward(xw);
    Result r;
    double te = 0, tx = 0;
    const int ranges = 11;
    std::vector<double> re(ranges, 0), rx(ranges, 0);
    for (int k = 0; k <= F / 2; k++) {
        double hz = 44100.0 * k / F;
        int i = std::min(ranges - 1, (int)(hz / 2000.0));
        re[i] += std::norm(E[k]);
        rx[i] += std::norm(XX[k]);
        te += std::norm(E[k]);
        tx += std::norm(XX[k]);
    }
    for (int i = 0; i + 1 < 7; i++) {
        double a2 = 0, b2 = 0;
        for (int k = 0; k <= F / 2; k++) {
            double hz = 44100.0 * k / F;
            if (hz < LOW_EDGES[i] || hz >= LOW_EDGES[i + 1]) continue;
            a2 += std::norm(E[k]);
            b2 += std::norm(XX[k]);
        }
        r.low.push_back(10 * std::log10(a2 / b2));
    }
    r.total = 10 * std::log10(te / tx);
    for (int i = 0; i < ranges; i++) r.range.push_back(10 * std::log10(re[i] / rx[i]));
    return r;
}

void print(const char *name, const Result &r)
{
    std::printf("%-44s %7.1f |", name, r.total);
    for (double v : r.range) std::printf(" %6.1f", v);
    std::printf(" | below 2 kHz:");
    for (double v : r.low) std::printf(" %6.1f", v);
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    const float Cd = argc > 1 ? (float)std::atof(argv[1]) : 16.0f;
    const float Cq = argc > 2 ? (float)std::atof(argv[2]) : 2.0f;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 1.5;
    const bool shorten = argc > 4 ? std::atoi(argv[4]) != 0 : true;
    const float ctype = argc > 5 ? (float)std::atof(argv[5]) : 0.0f;
    qbank_t_setup();
    t_pd *bank = stub::create("qbank_tilde", {});
    stub::send(bank, "set_C_d", {stub::fa(Cd)});
    stub::send(bank, "set_C_q", {stub::fa(Cq)});
    stub::send(bank, "set_compute_type", {stub::fa(ctype)});
    stub::send(bank, "initialize", {stub::fa(0)});
    stub::send(bank, "make", {stub::fa(-1)});
    if (shorten) stub::send(bank, "shorten", {stub::fa(-1)});
    stub::send(bank, "copy_pac2paf", {stub::fa(-1)});
    sQbank_t *x = (sQbank_t *)bank;
    const sQbank_Param &P = x->sParam;
    const int n = P.iq_compute_sup;
    Bank dbl, flt;
    std::vector<int> hop(P.aiDq, P.aiDq + n), ones(n, 1);
    for (int q = 0; q < n; q++) {
        Win a, c;
        const int L = qavex_t_window_length(x->pac[q]);
        for (int k = 0; k < L; k++) {
            a.push_back(x->pac[q][k]);
            c.push_back(cd(P.paf_r[q][k], P.paf_i[q][k]));
        }
        dbl.w.push_back(a);
        flt.w.push_back(c);
        dbl.hop.push_back(hop[q]);
        flt.hop.push_back(hop[q]);
    }
    std::printf("C_d %g, C_q %g, %s windows, %d bands; hop / length:", Cd, Cq, shorten ? "shortened" : "full", n);
    for (int q = 0; q < n; q++) std::printf(" %d/%zu", hop[q], dbl.w[q].size());
    std::printf("\n");
    // The designer's own duals (float).
    std::vector<paf_type *> gr(n), gi(n);
    sQavex_DualInfo info;
    qavex_dual_windows(n, P.paf_r, P.paf_i, P.aiDq, gr.data(), gi.data(), &info);
    std::vector<Win> gd;
    for (int q = 0; q < n; q++) {
        Win d;
        for (int k = 0; k < qavex_t_window_length(gr[q]); k++) d.push_back(cd(gr[q][k], gi[q][k]));
        gd.push_back(d);
        qavex_t_free(gr[q]);
        qavex_t_free(gi[q]);
    }
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    std::vector<double> noise((size_t)(seconds * 44100));
    for (auto &v : noise) v = u(rng);

    if (argc > 6) {
        std::printf("%-44s %7s |", "latency cut (error dB; per 2 kHz range)", "total");
        for (int i = 0; i < 11; i++) std::printf(" %5dk", 2 * i);
        std::printf("\n");
        for (int a = 6; a < argc; a++) {
            const double ms = std::atof(argv[a]);
            const int Lb = (int)(ms * 44.1) + 1;
            for (double alpha : {0.0, 1.0})
                for (double eta : {0.0, 1e-8}) {
                    double rate;
                    Bank c = cut(dbl, Lb, alpha, eta, &rate);
                    char s[128];
                    std::snprintf(s, sizeof s, "%g ms alpha %.2f eta %.0e rate %.0fk", ms, alpha, eta, rate / 1000);
                    print(s, round_trip(c, c.hop, duals(c, c.hop, 2, 1e-6, 0), 0, noise));
                }
            double rate;
            Bank c = cut(dbl, Lb, 1.0, 1e-8, &rate);
            std::printf("  the Hann cut with hops of one sample (no aliasing), and with duals 256 longer each end:\n");
            print("  hops 1", round_trip(c, ones, duals(c, ones, 2, 1e-6, 0), 0, noise));
            print("  hops 1, duals widened 256", round_trip(c, ones, duals(c, ones, 4, 1e-6, 256), 256, noise));
        }
        return 0;
    }
    std::printf("%-44s %7s |", "variant (error dB; per 2 kHz range)", "total");
    for (int i = 0; i < 11; i++) std::printf(" %5dk", 2 * i);
    std::printf("\n");
    print("designer duals (float windows and duals)", round_trip(flt, hop, gd, 0, noise));
    print("double duals of float windows", round_trip(flt, hop, duals(flt, hop, 2, 1e-6, 0), 0, noise));
    print("double windows, double duals", round_trip(dbl, hop, duals(dbl, hop, 2, 1e-6, 0), 0, noise));
    print("  no regularisation", round_trip(dbl, hop, duals(dbl, hop, 2, 0, 0), 0, noise));
    print("  grid 8 Lmax", round_trip(dbl, hop, duals(dbl, hop, 8, 1e-6, 0), 0, noise));
    print("  hops of one sample", round_trip(dbl, ones, duals(dbl, ones, 2, 1e-6, 0), 0, noise));
    for (int it : {40, 160}) {
        for (int top : {4, 8, 12}) {
            std::string s = "  least-squares duals, top " + std::to_string(top) + ", " + std::to_string(it) + " steps";
            print(s.c_str(), round_trip(dbl, hop, refine(dbl, hop, duals(dbl, hop, 2, 1e-6, 0), it, n - top), 0, noise));
        }
    }
    for (int ext : {64, 256, 1024}) {
        std::string s = "  duals widened by " + std::to_string(ext);
        print(s.c_str(), round_trip(dbl, hop, duals(dbl, hop, 4, 1e-6, ext), ext, noise));
        s += ", hops 1";
        print(s.c_str(), round_trip(dbl, ones, duals(dbl, ones, 4, 1e-6, ext), ext, noise));
    }
    stub::destroy(bank);
    return 0;
}
