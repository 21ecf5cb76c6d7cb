// RateLimiter._clean and get_count: pruning a key's history to the window
// and counting what is left.
#include "limiter/methods.hpp"
#include "runtime/module.hpp"

namespace orvex::limiter {
namespace {

// [ts for ts in entries if ts > cutoff]. The iterator protocol holds a
// strong reference to the sequence and to each item and checks the bounds
// afresh at every step, so a comparison that runs Python code and changes
// the history meanwhile can't make this read freed or stale memory.
Ref newer_than(PyObject* entries, PyObject* cutoff) {
  Ref it = Ref::steal(PyObject_GetIter(entries));
  Ref kept = it ? Ref::steal(PyList_New(0)) : Ref();
  if (!kept) return {};
  while (Ref ts = Ref::steal(PyIter_Next(it.get()))) {
    const int newer = PyObject_RichCompareBool(ts.get(), cutoff, Py_GT);
    if (newer < 0 || (newer && PyList_Append(kept.get(), ts.get()) < 0)) return {};
  }
  if (PyErr_Occurred()) return {};
  return kept;
}

}  // namespace

Ref clock_now(const Function& fn, const State& st) {
  Ref time = global(fn, st.str.time);
  return time ? call_method(time.get(), st.str.time) : Ref();
}

Ref history_entry(const State& st, PyObject* self, PyObject* key) {
  Ref history = getattr(self, st.str._history);
  return history ? Ref::steal(PyObject_GetItem(history.get(), key)) : Ref();
}

bool clear_history(const State& st, PyObject* self, PyObject* key) {
  Ref entry = history_entry(st, self, key);
  return entry && call_method(entry.get(), st.str.clear_);
}

bool clean_at(const State& st, PyObject* self, PyObject* key, PyObject* now) {
  // cutoff = time.time() - self.window_seconds
  Ref window = getattr(self, st.str.window_seconds);
  if (!window) return false;
  Ref cutoff = Ref::steal(PyNumber_Subtract(now, window.get()));
  if (!cutoff) return false;
  // self._history[key] = [...]: the right side first, then the target is read.
  Ref entries = history_entry(st, self, key);
  if (!entries) return false;
  Ref kept = newer_than(entries.get(), cutoff.get());
  if (!kept) return false;
  Ref history = getattr(self, st.str._history);
  return history && PyObject_SetItem(history.get(), key, kept.get()) == 0;
}

Ref clean(Function& fn, Args args) {
  const State& st = fn.state<State>();
  Ref now = clock_now(fn, st);
  if (!now || !clean_at(st, args[0], args[1], now.get())) return {};
  return Ref::borrow(Py_None);
}

Ref get_count(Function& fn, Args args) {
  const State& st = fn.state<State>();
  PyObject* self = args[0];
  PyObject* key = args[1];

  Ref cleaned = call_method(self, st.str._clean, key);
  Ref entries = cleaned ? history_entry(st, self, key) : Ref();
  if (!entries) return {};
  const Py_ssize_t count = PyObject_Size(entries.get());
  return count < 0 ? Ref() : Ref::steal(PyLong_FromSsize_t(count));
}

}  // namespace orvex::limiter
