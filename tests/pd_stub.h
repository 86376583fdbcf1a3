// Test-only stand-in for the host calls the library makes. It records the
// console and outlet traffic, keeps a settable sample rate, remembers the
// methods classes register and the routines "dsp" adds, and can dispatch
// messages to objects the way the host does.
#pragma once

#include <string>
#include <vector>

#include "m_pd.h"
#include "qavex_t_definitions.h"

namespace stub {

struct Line {
    bool error;  // pd_error (true) or post (false)
    std::string text;
    const void *object = nullptr;  // the object pd_error named
};

struct OutletEvent {
    t_outlet *outlet;
    std::string selector;       // "float", "list", "bang", "symbol", "anything"
    std::vector<float> floats;  // numeric atoms (symbols as 0)
};

struct DspCall {
    t_perfroutine routine;
    std::vector<t_int> args;
};

// Console.
std::vector<Line> &console();
void clear();                              // console, outlets, dsp calls
std::string console_text();                // all lines, '\n'-joined
bool posted(const std::string &text);      // a line equal to text
bool errored(const std::string &text);     // an error line equal to text
int count_lines(const std::string &text);  // lines equal to text
int count_errors();                        // error lines

// Registers a class the first time its setup routine is named, as loading
// the library does once; returns the console lines that first run posted.
const std::vector<Line> &load(void (*setup)());

// Outlets.
std::vector<OutletEvent> &outlet_events();
std::vector<OutletEvent> events_of(t_outlet *o);

// Bus blocks written by a test acting as a producer: the record or list
// array is registered as live (as the library's own producers do), then the
// block is written. Registrations stay; writing again updates them.
void publish_param(t_sample *v, const sQbank_Param *p);
void publish_coeff(t_sample *v, sQavex_Coeff **lists, std::int32_t n);

// Host settings.
void set_samplerate(t_float sr);
// Folder of the patch that objects created from now on belong to; null (the
// start) means objects are created outside any patch.
void set_patch_dir(const char *dir);

// Classes and objects.
t_class *find_class(const std::string &name);
// Create an object of a registered class with creation arguments, the way
// the host does (typed arguments marshalled to the constructor).
t_pd *create(const std::string &cls, const std::vector<t_atom> &args = {});
void destroy(t_pd *x);
// Send a message to an object (selector "bang", "list", "float" or any
// registered one). Returns false when the class has no such method.
bool send(t_pd *x, const std::string &sel, const std::vector<t_atom> &args = {});
// Calls "dsp" with fresh 64-sample vectors (or the given vectors) and
// returns what dsp_add received.
std::vector<DspCall> &dsp_calls();
// Calls the class's "dsp" method with signal vectors of n samples, one
// per signal inlet and outlet in the host's order; returns the calls made.
std::vector<DspCall> dsp(t_pd *x, const std::vector<t_sample *> &vecs, int n = 64);
// Runs the routine of a DspCall once.
void run(const DspCall &c);

// Inlets created on an object, in creation order (float inlets record the
// address they write to).
struct InletInfo {
    t_object *owner;
    bool is_signal;
    t_float *fp;      // float inlets
    std::string sel;  // "list" inlets redirect to this selector
};
std::vector<InletInfo> inlets_of(t_object *owner);
std::vector<t_outlet *> outlets_of(t_object *owner);
bool outlet_is_signal(t_outlet *o);
// Whether the host reports a connection on the outlet (default: none).
void set_connected(t_outlet *o, bool on);

// The float a class keeps for its unconnected main signal inlet (null when
// the class has none); the host fills that inlet's vector with it.
t_float *main_signal_scalar(t_pd *x);

// Atom helpers.
t_atom fa(double f);
t_atom sa(const char *s);

}  // namespace stub

// Clocks and arrays (for objects that write into a patch's arrays).
namespace stub {

// Fires every clock that is set, once, as the scheduler would between ticks.
int run_clocks();
// Creates (or finds) a float array of the given size under this name.
std::vector<float> array_contents(const std::string &name);
void make_array(const std::string &name, int size);
void remove_array(const std::string &name);
int array_redraws(const std::string &name);

}  // namespace stub
