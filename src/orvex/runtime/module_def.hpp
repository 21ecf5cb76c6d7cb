// Multi-phase module definitions whose state is a C++ object.
//
// The interpreter allocates a module's state block zeroed; exec constructs
// the State in it and marks it live, and clearing the module (the garbage
// collector, or the module's end) marks it dead and destroys it, which drops
// its references. Functions check the mark before they run, so a
// finalizer that calls a method during interpreter shutdown gets an error,
// not a read of freed state.
//
// All module state is read and written only while the calling thread holds
// the interpreter lock, which is what lets its caches and lazily settled
// verdicts go without locks of their own.
#pragma once

#include "runtime/python.hpp"

#include <new>

namespace orvex {

struct ModuleHeader {
  bool live;
};

// The state block: the header, then room for the State.
template <class State>
struct ModuleBlock {
  ModuleHeader header;
  alignas(State) unsigned char storage[sizeof(State)];

  static ModuleBlock* of(PyObject* module) {
    return static_cast<ModuleBlock*>(PyModule_GetState(module));
  }
  State& state() { return *std::launder(reinterpret_cast<State*>(storage)); }
};

// True while `module`'s state is constructed and not yet cleared.
inline bool module_is_live(PyObject* module) {
  const auto* header = static_cast<const ModuleHeader*>(PyModule_GetState(module));
  return header && header->live;
}

// The PyModuleDef of a module with state State: Exec fills a freshly
// constructed State; State::traverse(visit, arg) visits its references, and
// its destructor drops them (they are held in Ref members).
template <class State, int (*Exec)(PyObject* module, State& st)>
class ModuleDef {
 public:
  ModuleDef(const char* name, const char* doc)
      : def_{PyModuleDef_HEAD_INIT,
             name,
             doc,
             sizeof(Block),
             nullptr,
             slots_,
             traverse,
             clear,
             free} {}

  // What PyInit_<name> returns.
  PyObject* init() { return PyModuleDef_Init(&def_); }

 private:
  using Block = ModuleBlock<State>;

  static int exec(PyObject* m) {
    Block* block = Block::of(m);
    new (block->storage) State{};
    block->header.live = true;
    return Exec(m, block->state());
  }
  static int traverse(PyObject* m, visitproc visit, void* arg) {
    Block* block = Block::of(m);
    return block && block->header.live ? block->state().traverse(visit, arg) : 0;
  }
  static int clear(PyObject* m) {
    Block* block = Block::of(m);
    if (block && block->header.live) {
      block->header.live = false;
      block->state().~State();
    }
    return 0;
  }
  static void free(void* m) { clear(static_cast<PyObject*>(m)); }

  PyModuleDef_Slot slots_[3] = {
      {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030C0000
      // Module state is per module object, but NumPy, which all three
      // modules use, supports only the main interpreter.
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
      {0, nullptr},
  };
  PyModuleDef def_;
};

}  // namespace orvex
