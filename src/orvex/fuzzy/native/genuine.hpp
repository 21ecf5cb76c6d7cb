// What the native lockers stand in for, as it was when the module was imported.
//
// The native loops replace Python operations that a caller can redirect at
// any time (module globals, attributes of NumPy, hashlib and Counter). They
// are only equivalent while every object they bypass is the one captured
// here; anything else goes the literal way.
#pragma once

#include "runtime/ref.hpp"

#include <new>

namespace orvex::fuzzy {

// One name in one namespace dict, with the value it had at import
// (nullptr: the name was absent and must stay absent).
struct PinnedName {
  Ref dict;
  Ref key;
  Ref value;
};

struct PinnedNames {
  static constexpr int kCapacity = 24;
  PinnedName items[kCapacity];
  int count = 0;

  // 1 when every name still maps to the value it had at import; 0 if not;
  // -1 with an exception set.
  int unchanged() const;
  int traverse(visitproc visit, void* arg) const;
};

// Whether the native sampler draws what NumPy's choice draws; settled on
// first need, then kept for the life of the module.
enum class SamplerVerdict : unsigned char { unknown, agrees, differs };

// Settles `verdict` by checking each of `cases` (check: 1 agrees, 0 differs,
// -1 with an exception set), unless it is settled already. A comparison that
// itself failed leaves it unknown, to be asked again next time; an interrupt
// or exit request belongs to the caller and goes on.
template <class Cases, class Check>
int settle_verdict(SamplerVerdict& verdict, const Cases& cases, Check check) {
  if (verdict != SamplerVerdict::unknown) return verdict == SamplerVerdict::agrees;
  for (const auto& c : cases) {
    int agrees = -1;
    try {
      agrees = check(c);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    }
    if (agrees < 0) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
      PyErr_Clear();
      return 0;
    }
    if (agrees == 0) {
      verdict = SamplerVerdict::differs;
      return 0;
    }
  }
  verdict = SamplerVerdict::agrees;
  return 1;
}

struct Genuine {
  bool complete = false;  // every capture succeeded; otherwise only the literal path runs
  SamplerVerdict sampler = SamplerVerdict::unknown;
  SamplerVerdict pcg64 = SamplerVerdict::unknown;  // the same, stepping PCG64 inline
  // Whether PCG64's state is derived from the seed as default_rng derives
  // it; `differs` too when what default_rng reads could not be captured.
  SamplerVerdict seeding = SamplerVerdict::unknown;

  Ref numpy;
  Ref default_rng;
  Ref generator_type;      // numpy.random.Generator
  Ref bit_generator_type;  // numpy.random.PCG64
  Ref lock_type;           // the type of a bit generator's lock
  Ref seed_sequence_base;  // the class a seed is asked to be an instance of
  Ref hashlib;
  Ref counter;
  Ref counter_attrs;  // a copy of Counter.__dict__
  Ref counter_mro;
  // What reading a class's annotations may add to its namespace: an empty
  // __annotations__ up to 3.13, __annotate_func__ and __annotations_cache__
  // from 3.14 (a tuple of str; the string table would drop their trailing
  // underscores). None of Counter's methods reads them.
  Ref annotation_caches;

  // Modules whose attributes the bypassed code reads through getattr: a
  // module whose class was swapped could run code on every read.
  static constexpr int kModules = 4;
  Ref modules[kModules];

  // Names NumPy's choice and the hashing read at call time (lock and unlock),
  // and those Counter's methods read (unlock only).
  PinnedNames draw_names;
  PinnedNames vote_names;
  // Names default_rng(seed) reads on its way to a PCG64, for a generator
  // seeded natively, and among them the name of seed_sequence_base, read
  // before the others.
  PinnedNames seed_names;
  PinnedNames seed_sequence_name;

  // The objects a cycle could run through (the interned strings can't).
  int traverse(visitproc visit, void* arg) const;
};

// Fills `g` from the module's freshly bound globals. A failure leaves the
// native path off and no exception set: the module works without it.
void capture_genuine(PyObject* module, Genuine& g);

}  // namespace orvex::fuzzy
