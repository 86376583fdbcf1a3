// The registry of live bus records, and the bus readers that rely on it:
// forged, tag-valued and stale addresses read as no address.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pd_stub.h"
#include "invqavex_t.h"
#include "qavex_t.h"
#include "qavex_t_definitions.h"
#include "qbank_t.h"
#include "qemit_t.h"
#include "qproc_t.h"
#include "record_registry.h"

namespace {

// Random adds (with re-registration) and removals against a map; every
// live and every removed key is looked up after each step, well past the
// table's first growth.
TEST(RecordRegistry, AgreesWithAMapThroughGrowthAndRemoval)
{
    std::mt19937 rng(12345);
    static std::vector<std::uint64_t> storage(4096);  // real, 16-aligned-ish addresses
    std::map<const void *, std::pair<eQavexRecord, std::int32_t>> model;
    const std::size_t base = qavex_t_record_count();
    for (int step = 0; step < 20000; step++) {
        const void *p = &storage[rng() % storage.size() / 2 * 2];
        if (rng() % 3 != 0) {
            auto kind = (rng() & 1) ? eQavexRecord::PARAM : eQavexRecord::LISTS;
            auto cap = (std::int32_t)(rng() % 100);
            ASSERT_TRUE(qavex_t_record_add(p, kind, cap));
            model[p] = {kind, cap};
        } else {
            qavex_t_record_remove(p);
            model.erase(p);
        }
        if (step % 997 != 0 && step != 19999) continue;
        ASSERT_EQ(qavex_t_record_count(), base + model.size()) << step;
        for (std::size_t i = 0; i < storage.size(); i += 2) {
            const void *q = &storage[i];
            auto it = model.find(q);
            for (auto kind : {eQavexRecord::PARAM, eQavexRecord::LISTS}) {
                const sQavexRecordSlot *s = qavex_t_record_find(q, kind);
                const bool live = it != model.end() && it->second.first == kind;
                ASSERT_EQ(s != nullptr, live) << step << " " << i;
                if (live) {
                    ASSERT_EQ(s->capacity, it->second.second);
                }
            }
        }
    }
    for (auto &[p, v] : model) qavex_t_record_remove(p);
    EXPECT_EQ(qavex_t_record_count(), base);
}

// Blocks a patch could put on a connection, and what readers make of them.
TEST(RecordRegistry, ReadersRefuseWhatNoLiveRecordBacks)
{
    static sQbank_Param rec;
    static sQavex_Coeff list[2];
    static sQavex_Coeff *lists[4] = {list, list, list, list};
    ASSERT_TRUE(qavex_t_record_add(&rec, eQavexRecord::PARAM));
    ASSERT_TRUE(qavex_t_record_add(lists, eQavexRecord::LISTS, 4));
    std::int64_t not_a_record = 0;

    struct Case {
        const char *name;
        std::int32_t tag;
        const void *address;  // words 12 (parameter) and 4 (coefficient)
        std::int32_t n;
        bool param_ok, coeff_ok;
    };
    const Case cases[] = {
        {"live records", QAVC_TAG, nullptr, 4, true, true},
        {"count at capacity", QAVG_TAG, nullptr, 4, true, true},
        {"count above capacity", QAVG_TAG, nullptr, 5, true, false},
        {"address 1.0", QAVC_TAG, (const void *)(std::uintptr_t)0x3f800000u, 1, false, false},
        {"address of a non-record", QAVC_TAG, &not_a_record, 1, false, false},
        {"record of the other kind", QAVC_TAG, (const void *)1, 1, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<t_sample> v(64, 0.0f);
        hide_int_at_address(c.tag, v.data());
        hide_int_at_address(c.n, v.data() + QAVEX_WORD_NLISTS);
        const void *pa = c.address ? c.address : &rec;
        const void *la = c.address ? c.address : lists;
        if (c.address == (const void *)1) {  // each word names the other kind
            pa = lists;
            la = &rec;
        }
        std::memcpy(v.data() + QAVEX_WORD_PARAM, &pa, sizeof pa);
        std::memcpy(v.data() + QAVEX_WORD_LISTS, &la, sizeof la);
        EXPECT_EQ(qavex_t_read_param_block(v.data()).p != nullptr, c.param_ok);
        EXPECT_EQ(qavex_t_read_coeff_block(v.data()).lists != nullptr, c.coeff_ok);
    }
    // Every word holding a tag's bits, as a float on an unconnected inlet.
    for (std::int32_t tag : {QAVC_TAG, QAVG_TAG}) {
        std::vector<t_sample> v(64);
        for (auto &s : v) hide_int_at_address(tag, &s);
        EXPECT_EQ(qavex_t_read_param_block(v.data()).p, nullptr);
        EXPECT_EQ(qavex_t_read_coeff_block(v.data()).lists, nullptr);
    }
    qavex_t_record_remove(&rec);
    qavex_t_record_remove(lists);
}

// A working chain: designer -> analysis -> generator, and a processor
// adding the analysis and generator streams. Each producer's published
// block is kept; once that producer is deleted, its kept block names no
// record and a synthesis fed with it stays silent.
struct Chain {
    std::vector<t_sample> bankC, bankD, audio, anaG, anaC, genIn, genG, genC, addOut, synOut;
    t_pd *bank, *ana, *gen, *add;
    std::vector<stub::DspCall> calls, extra;
    Chain() : bankC(64), bankD(64), audio(64), anaG(64), anaC(64), genIn(64), genG(64), genC(64), addOut(64), synOut(64)
    {
        bank = stub::create("qbank_tilde");
        for (auto &[sel, f] : std::vector<std::pair<std::string, double>>{
                 {"set_T_max", 0.005}, {"initialize", 0}, {"make", -1}, {"shorten", -1}, {"copy_pac2paf", -1}})
            stub::send(bank, sel, {stub::fa(f)});
        ana = stub::create("qavex_tilde");
        gen = stub::create("qemit_tilde");
        add = stub::create("qproc~", {stub::sa("add")});
        // The designer adds two routines (parameter and dual outlet); they
        // count as one entry, the first, so each producer has one index.
        auto b = stub::dsp(bank, {bankC.data(), bankD.data()});
        calls.push_back(b.at(0));
        for (std::size_t k = 1; k < b.size(); k++) extra.push_back(b[k]);
        calls.push_back(stub::dsp(ana, {audio.data(), bankC.data(), anaG.data(), anaC.data()}).at(0));
        calls.push_back(stub::dsp(gen, {genIn.data(), anaC.data(), genG.data(), genC.data()}).at(0));
        calls.push_back(stub::dsp(add, {anaG.data(), genG.data(), addOut.data()}).at(0));
        for (int i = 0; i < 64; i++) audio[i] = (float)std::sin(0.3 * i);
    }
    void block()
    {
        if (gen) stub::send(gen, "emit", {stub::fa(5), stub::fa(0.5), stub::fa(0.5), stub::fa(2)});
        for (auto &c : calls) stub::run(c);
        if (bank)
            for (auto &c : extra) stub::run(c);
    }
};

TEST(RecordRegistry, DeletedProducersLeaveStaleBlocksUnread)
{
    for (auto setup : {qbank_t_setup, qavex_t_setup, qemit_t_setup, qproc_t_setup, invqavex_t_setup}) stub::load(setup);
    struct Producer {
        const char *name;
        std::vector<t_sample> Chain::*out;
        t_pd *Chain::*obj;
        bool param;  // parameter block (else coefficient block)
    };
    const Producer producers[] = {
        {"designer", &Chain::bankC, &Chain::bank, true},
        {"analysis", &Chain::anaG, &Chain::ana, false},
        {"generator", &Chain::genG, &Chain::gen, false},
        {"processor add", &Chain::addOut, &Chain::add, false},
    };
    {
        // The designer's dual record is trusted only while it is current.
        SCOPED_TRACE("dual record");
        Chain ch;
        ASSERT_TRUE(stub::send(ch.bank, "make_dual"));
        ch.block();
        const std::vector<t_sample> kept = ch.bankD;
        EXPECT_NE(qavex_t_read_param_block(kept.data()).p, nullptr);
        stub::send(ch.bank, "initialize", {stub::fa(0)});
        ch.block();
        EXPECT_EQ(qavex_t_read_param_block(kept.data()).p, nullptr);
        for (t_pd *o : {ch.add, ch.gen, ch.ana, ch.bank}) stub::destroy(o);
    }
    for (const auto &pr : producers) {
        SCOPED_TRACE(pr.name);
        Chain ch;
        for (int b = 0; b < 4; b++) ch.block();
        const std::vector<t_sample> kept = ch.*pr.out;
        auto readable = [&] {
            return pr.param ? qavex_t_read_param_block(kept.data()).p != nullptr
                            : qavex_t_read_coeff_block(kept.data()).lists != nullptr;
        };
        ASSERT_TRUE(readable());
        // A synthesis fed with the kept block (and the live designer's, or
        // the kept one) sounds while the producer lives.
        t_pd *syn = stub::create("invqavex_tilde");
        std::vector<t_sample> g(64), c(64), out(64);
        auto sc = stub::dsp(syn, {g.data(), c.data(), out.data()}).at(0);
        // The remaining producers keep running; a deleted one leaves its
        // last block in its outlet vector, which its readers still get.
        auto synth = [&](int blocks) {
            double e = 0;
            for (int b = 0; b < blocks; b++) {
                ch.block();
                c = pr.param ? kept : ch.bankC;
                g = pr.param ? ch.anaG : kept;
                stub::run(sc);
                for (float x : out) e += std::fabs(x);
            }
            return e;
        };
        EXPECT_GT(synth(40), 0.0);
        // Deleting the producer: its calls go, the others keep running.
        stub::destroy(ch.*pr.obj);
        ch.calls.erase(ch.calls.begin() + (&pr - &producers[0]));
        ch.*pr.obj = nullptr;
        EXPECT_FALSE(readable());
        stub::clear();
        EXPECT_EQ(synth(100), 0.0);
        // Refused blocks are not reported (the generator's full queue is).
        for (auto &l : stub::console()) EXPECT_FALSE(l.error) << l.text;
        stub::destroy(syn);
        for (t_pd *Chain::*o : {&Chain::bank, &Chain::ana, &Chain::gen, &Chain::add})
            if (ch.*o) stub::destroy(ch.*o);
    }
}

}  // namespace
