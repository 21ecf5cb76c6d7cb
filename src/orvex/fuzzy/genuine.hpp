// What the native lockers stand in for, as it was when the module was imported.
//
// The native loops replace Python operations that a caller can redirect at
// any time (module globals, attributes of NumPy, hashlib and Counter). They
// are only equivalent while every object they bypass is the one captured
// here; anything else goes the literal way.
#pragma once

#include "runtime/ref.hpp"

namespace orvex::fuzzy {

// One name in one namespace dict, with the value it had at import
// (nullptr: the name was absent and must stay absent).
struct PinnedName {
  PyObject* dict = nullptr;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
};

struct PinnedNames {
  static constexpr int kCapacity = 16;
  PinnedName items[kCapacity];
  int count = 0;
};

// Whether the native sampler draws what NumPy's choice draws; settled on
// first need, then kept for the life of the module.
enum class SamplerVerdict : unsigned char { unknown, agrees, differs };

struct Genuine {
  bool complete = false;  // every capture succeeded; otherwise only the literal path runs
  SamplerVerdict sampler = SamplerVerdict::unknown;

  PyObject* numpy = nullptr;
  PyObject* default_rng = nullptr;
  PyObject* generator_type = nullptr;      // numpy.random.Generator
  PyObject* bit_generator_type = nullptr;  // numpy.random.PCG64
  PyObject* lock_type = nullptr;           // the type of a bit generator's lock
  PyObject* hashlib = nullptr;
  PyObject* counter = nullptr;
  PyObject* counter_attrs = nullptr;  // a copy of Counter.__dict__
  PyObject* counter_mro = nullptr;
  // What reading a class's annotations may add to its namespace: an empty
  // __annotations__ up to 3.13, __annotate_func__ and __annotations_cache__
  // from 3.14 (a tuple of str; the string table would drop their trailing
  // underscores). None of Counter's methods reads them.
  PyObject* annotation_caches = nullptr;

  // Modules whose attributes the bypassed code reads through getattr: a
  // module whose class was swapped could run code on every read.
  static constexpr int kModules = 4;
  PyObject* modules[kModules] = {};

  // Names NumPy's choice and the hashing read at call time (lock and unlock),
  // and those Counter's methods read (unlock only).
  PinnedNames draw_names;
  PinnedNames vote_names;
};

// Fills `g` from the module's freshly bound globals. A failure leaves the
// native path off and no exception set: the module works without it.
void capture_genuine(PyObject* module, Genuine& g);

void release_genuine(Genuine& g);

int visit_genuine(const Genuine& g, visitproc visit, void* arg);

// A type's own namespace dict (from 3.12 the static types keep it elsewhere).
Ref type_dict(PyTypeObject* type);

}  // namespace orvex::fuzzy
