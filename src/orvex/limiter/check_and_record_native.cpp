// RateLimiter.check_and_record's entry: a native shortcut for limiters whose
// state is what the constructor made.
//
// The literal path (check_and_record_literal.cpp) goes through the object protocol
// at every step. Here a step works on the builtin objects directly where the
// outcome can't differ: attributes that are plain instance-dict values, the
// class's own _clean (its call inlined), an exact set of suspended keys, an
// exact defaultdict(list) of exact lists of exact float timestamps, exact int
// limits. Whatever can run Python code (the clock, the logger, the callback)
// is still called the generic way and in the same order, and the state is
// checked afresh after it. At the first thing that is not as expected the
// literal steps (methods.hpp) take over from that point on, so that every call
// has exactly the literal path's effects. The usual call shapes are also
// bound here, without the general binder (check_and_record_entry).
#include "limiter/messages.hpp"
#include "limiter/methods.hpp"
#include "limiter/snapshot.hpp"
#include "runtime/function.hpp"

#include <utility>

namespace orvex::limiter {
namespace {

// How a step went:
// - native: done natively, and no Python code can have run meanwhile, so
//   what was read before still holds;
// - done: done natively, but an allocation on the way may have run a
//   collection and with it finalizers (arbitrary code): the steps after it
//   read the state afresh, the literal way;
// - literal: the native step changed nothing and the literal step has to
//   run, or (for a whole phase) the literal step ran;
// - failed: an exception is set.
enum class Step { native, done, literal, failed };

// self._suspended when the call may go natively: the class's own _clean, not
// shadowed in the instance, and _suspended an exact set. Borrowed; nullptr:
// take the literal path.
PyObject* plain_suspended_set(const Function& fn, State& st, PyObject* self) {
  const Snapshot* snap = read_snapshot(fn, st, self);
  return snap && !snap->clean_shadowed ? snap->suspended : nullptr;
}

// key in suspended: an empty set holds nothing and compares nothing. A
// non-empty one is held, since a foreign __eq__ met in the membership test
// could otherwise drop it.
int contains(PyObject* suspended, PyObject* key) {
  if (PySet_GET_SIZE(suspended) == 0) return 0;
  Ref held = Ref::borrow(suspended);
  return PySet_Contains(held.get(), key);
}

// What pruning and the limits need, read after the first clock reading.
struct Window {
  Ref history;        // exact defaultdict(list), held
  double cutoff = 0;  // time.time() - self.window_seconds
  bool limits_plain = false;
  long hard_limit = 0;
  long soft_limit = 0;
};

Step read_window(const Function& fn, State& st, PyObject* self, PyObject* now, Window& w) {
  if (!PyFloat_CheckExact(now)) return Step::literal;
  const Snapshot* snap = read_snapshot(fn, st, self);
  if (!snap || !snap->window_plain || !is_list_defaultdict(st, snap->history)) {
    return Step::literal;
  }
  w.history = Ref::borrow(snap->history);
  w.cutoff = PyFloat_AS_DOUBLE(now) - snap->window_seconds;
  w.limits_plain = snap->limits_plain;
  w.hard_limit = snap->hard_limit;
  w.soft_limit = snap->soft_limit;
  return Step::native;
}

// Drops the timestamps that left the window from an exact list in place,
// keeping the order of the others; the dropped ones move to the end and are
// released once the list no longer holds them.
void prune_in_place(PyObject* entries, double cutoff) {
  PyObject** items = reinterpret_cast<PyListObject*>(entries)->ob_item;
  const Py_ssize_t n = PyList_GET_SIZE(entries);
  Py_ssize_t kept = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyFloat_AS_DOUBLE(items[i]) > cutoff) std::swap(items[kept++], items[i]);
  }
  Py_SET_SIZE(entries, kept);
  for (Py_ssize_t i = kept; i < n; ++i) Py_DECREF(items[i]);  // floats: no code runs
}

// The shared list's `newer` timestamps copied into a new list stored under
// the key. Allocating the list can run a collection and so finalizers, which
// may change anything: the old list is held and checked again while copying,
// and the literal step takes over if it no longer matches what was counted.
Step copy_newer(PyObject* history, PyObject* key, PyObject* entries, Py_ssize_t newer,
                double cutoff, Ref& kept) {
  Ref held = Ref::borrow(entries);
  Ref fresh = Ref::steal(PyList_New(newer));
  if (!fresh) return Step::failed;
  Py_ssize_t j = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
    PyObject* ts = PyList_GET_ITEM(entries, i);
    if (!PyFloat_CheckExact(ts)) return Step::literal;
    if (PyFloat_AS_DOUBLE(ts) > cutoff) {
      if (j == newer) return Step::literal;
      PyList_SET_ITEM(fresh.get(), j++, Py_NewRef(ts));
    }
  }
  if (j != newer) return Step::literal;
  // Replacing the old list doesn't free it: it is held.
  if (PyDict_SetItem(history, key, fresh.get()) < 0) return Step::failed;
  kept = std::move(fresh);
  return Step::done;
}

// self._history[key] = [ts for ts in self._history[key] if ts > cutoff];
// `kept` receives the list now under the key. The literal path always stores
// a new list; a list that nothing but the history holds is pruned in place
// instead, since then nobody can tell the difference. A list someone else
// holds keeps its timestamps, as it does on the literal path.
Step prune(const Window& w, PyObject* key, Ref& kept) {
  PyObject* history = w.history.get();
  PyObject* entries = PyDict_GetItemWithError(history, key);
  if (!entries) {
    if (PyErr_Occurred()) return Step::failed;
    // The default factory's empty list and its pruned copy: one new list.
    kept = Ref::steal(PyList_New(0));
    if (!kept || PyDict_SetItem(history, key, kept.get()) < 0) return Step::failed;
    return Step::done;
  }
  if (!PyList_CheckExact(entries)) return Step::literal;
  const Py_ssize_t n = PyList_GET_SIZE(entries);
  Py_ssize_t newer = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* ts = PyList_GET_ITEM(entries, i);
    if (!PyFloat_CheckExact(ts)) return Step::literal;
    newer += PyFloat_AS_DOUBLE(ts) > w.cutoff;
  }
  if (Py_REFCNT(entries) == 1) {
    if (newer < n) prune_in_place(entries, w.cutoff);
    kept = Ref::borrow(entries);
    return Step::native;
  }
  return copy_newer(history, key, entries, newer, w.cutoff, kept);
}

// self._clean(key) inlined, recursion guard included. Step::native: pruned
// natively, `w` and `kept` describe the state and no Python code has run
// since they were read; Step::literal: pruned, the rest goes the literal way.
Step clean_inline(const Function& fn, State& st, PyObject* self, PyObject* key, Window& w,
                  Ref& kept) {
  Ref now = clock_now(fn, st);
  if (!now) return Step::failed;
  Step step = read_window(fn, st, self, now.get(), w);
  if (step == Step::native) step = prune(w, key, kept);
  if (step == Step::done) return Step::literal;
  if (step != Step::literal) return step;
  return clean_at(st, self, key, now.get()) ? Step::literal : Step::failed;
}

Ref make_admitted(Py_ssize_t count, long hard_limit) {
  Ref text = Ref::steal(PyUnicode_FromFormat("%s%zd%s%ld%s", msg::kAdmitted[0], count,
                                             msg::kAdmitted[1], hard_limit, msg::kAdmitted[2]));
  return text ? Ref::steal(PyTuple_Pack(2, Py_True, text.get())) : Ref();
}

// (True, f"OK ({count}/{self.hard_limit})"), hard_limit read now: the clock
// has run since it was last read.
Ref admitted(const Function& fn, State& st, PyObject* self, Py_ssize_t count) {
  const Snapshot* snap = read_snapshot(fn, st, self);
  if (snap && snap->limits_plain && snap->hard_limit >= 0 && snap->hard_limit <= kCachedLimit &&
      count <= kCachedLimit) {
    Ref& cached = st.admitted[snap->hard_limit][count];
    if (cached) return cached;
    Ref made = make_admitted(count, snap->hard_limit);
    // A finalizer run by the allocation may have filled the slot meanwhile.
    if (made && !cached) cached = made;
    return made;
  }
  Ref limit = getattr(self, st.str.hard_limit);
  if (!limit) return {};
  Ref next = Ref::steal(PyLong_FromSsize_t(count));
  if (!next) return {};
  Ref next_text = format_value(next.get());
  if (!next_text) return {};
  Ref limit_text = format_value(limit.get());
  if (!limit_text) return {};
  Ref text =
      join_text({msg::kAdmitted[0], next_text, msg::kAdmitted[1], limit_text, msg::kAdmitted[2]});
  return text ? Ref::steal(PyTuple_Pack(2, Py_True, text.get())) : Ref();
}

// The steps after _clean with the limits and the pruned list at hand.
Ref judge_native(const Function& fn, State& st, PyObject* self, PyObject* key, const Window& w,
                 const Ref& kept) {
  const Py_ssize_t n = PyList_GET_SIZE(kept.get());
  if (n >= w.hard_limit || n >= w.soft_limit) {
    Ref count = Ref::steal(PyLong_FromSsize_t(n));
    if (!count) return {};
    if (n >= w.hard_limit) return suspend(fn, st, self, key, count.get());
    if (!warn_soft_limit(fn, st, self, key, count.get())) return {};
    return record_and_admit(fn, st, self, key, n);
  }
  // self._history[key].append(time.time()): the list is the one just pruned,
  // held across the clock reading as the literal path's bound append holds it.
  Ref now = clock_now(fn, st);
  if (!now || PyList_Append(kept.get(), now.get()) < 0) return {};
  ++st.native_calls;
  return admitted(fn, st, self, n + 1);
}

}  // namespace

Ref check_and_record(Function& fn, Args args) {
  State& st = fn.state<State>();
  PyObject* self = args[0];
  PyObject* key = args[1];

  if (args[2] == Py_True) return st.bypassed;

  PyObject* suspended = plain_suspended_set(fn, st, self);
  if (!suspended) return check_and_record_literal(fn, args);
  const int is_suspended = contains(suspended, key);
  if (is_suspended < 0) return {};
  if (is_suspended) return st.suspended;

  if (!enter_call(fn)) return {};
  Window w;
  Ref kept;
  const Step cleaned = clean_inline(fn, st, self, key, w, kept);
  leave_call();
  if (cleaned == Step::failed) return {};
  if (cleaned == Step::literal || !w.limits_plain) return judge(fn, st, self, key);
  return judge_native(fn, st, self, key, w, kept);
}

PyObject* check_and_record_entry(PyObject* callable, PyObject* const* args, size_t nargsf,
                                 PyObject* kwnames) {
  Function& fn = *reinterpret_cast<Function*>(callable);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* skip = nullptr;
  if (nargs == 3) {
    skip = args[2];
  } else if (nargs == 2 && fn.defaults && PyTuple_GET_SIZE(fn.defaults) > 0) {
    skip = PyTuple_GET_ITEM(fn.defaults, PyTuple_GET_SIZE(fn.defaults) - 1);
  }
  if (!skip || (kwnames && PyTuple_GET_SIZE(kwnames) > 0) || !PyUnicode_CheckExact(args[1]) ||
      (skip != Py_True && skip != Py_False && skip != Py_None)) {
    return function_vectorcall(callable, args, nargsf, kwnames);
  }
  if (!enter_call(fn)) return nullptr;
  // The caller keeps the arguments alive for the call; the flag becomes a
  // bool here, as binding makes it one.
  PyObject* const bound[] = {args[0], args[1], skip == Py_True ? Py_True : Py_False};
  Ref result = check_and_record(fn, bound);
  leave_call();
  return result.release();
}

Ref native_calls(Function& fn, Args) {
  return Ref::steal(PyLong_FromSize_t(fn.state<State>().native_calls));
}

}  // namespace orvex::limiter
