// RateLimiter.check_and_record as written: admit, warn, or refuse and
// suspend one event of a key. The native shortcut
// (check_and_record_native.cpp) hands over to these steps.
//
// Steps in order: bypass, already suspended, prune, count, hard limit, soft
// limit, record. Each step reads the instance attributes it needs at that
// moment, so whatever a clock, logger or callback changes in between is seen
// by the steps after it.
#include "limiter/messages.hpp"
#include "limiter/methods.hpp"
#include "runtime/module.hpp"
#include "runtime/ops.hpp"

namespace orvex::limiter {
namespace {

// count >= self.<limit>: 1, 0, or -1 with an exception set.
int reaches(PyObject* self, PyObject* limit_name, PyObject* count) {
  Ref limit = getattr(self, limit_name);
  return limit ? PyObject_RichCompareBool(count, limit.get(), Py_GE) : -1;
}

// f"...{key}...{self.hard_limit}..." and friends: texts of the form
// head, first value, middle, the limit read now, tail.
Ref text_with_limit(PyObject* self, PyObject* limit_name, const char* head, PyObject* first,
                    const char* middle, const char* tail) {
  Ref first_text = format_value(first);
  if (!first_text) return {};
  Ref limit = getattr(self, limit_name);
  if (!limit) return {};
  Ref limit_text = format_value(limit.get());
  return limit_text ? join_text({head, first_text, middle, limit_text, tail}) : Ref();
}

Ref pair(PyObject* allowed, Ref message) {
  return message ? Ref::steal(PyTuple_Pack(2, allowed, message.get())) : Ref();
}

// logger.error(f"Suspend callback failed: {e}")
bool log_callback_failure(const Function& fn, const State& st, PyObject* error) {
  Ref log_error = log_method(fn, st, st.str.error);
  if (!log_error) return false;
  Ref error_text = format_value(error);
  if (!error_text) return false;
  Ref line = join_text({msg::kCallbackFailedLog, error_text});
  return line && call(log_error.get(), line);
}

// if self.suspend_callback:
//     try: self.suspend_callback(key)
//     except Exception as e: logger.error(...)
bool run_suspend_callback(const Function& fn, const State& st, PyObject* self, PyObject* key) {
  Ref callback = getattr(self, st.str.suspend_callback);
  if (!callback) return false;
  const int wanted = PyObject_IsTrue(callback.get());
  if (wanted <= 0) return wanted == 0;
  callback = getattr(self, st.str.suspend_callback);  // read again inside the try
  if (callback && call(callback.get(), key)) return true;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  Ref error = fetch_exception();
  if (log_callback_failure(fn, st, error.get())) return true;
  // Raised while handling the callback's failure: chained to it.
  chain_context(std::move(error));
  return false;
}

// self._history[key].append(time.time()): the list is read again, its
// append looked up, and only then is the clock read.
bool record_event(const Function& fn, const State& st, PyObject* self, PyObject* key) {
  Ref entry = history_entry(st, self, key);
  if (!entry) return false;
  Ref append = getattr(entry.get(), st.str.append);
  if (!append) return false;
  Ref now = clock_now(fn, st);
  return now && call(append.get(), now);
}

}  // namespace

Ref log_method(const Function& fn, const State& st, PyObject* level) {
  Ref logger = global(fn, st.str.logger);
  return logger ? getattr(logger.get(), level) : Ref();
}

Ref format_value(PyObject* value) {
  return Ref::steal(PyObject_Format(value, nullptr));
}

Ref join_text(std::initializer_list<Piece> pieces) {
  Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!parts) return {};
  Py_ssize_t i = 0;
  for (const Piece& piece : pieces) {
    PyObject* part = piece.text ? PyUnicode_FromString(piece.text) : Py_NewRef(piece.value);
    if (!part) return {};
    PyTuple_SET_ITEM(parts.get(), i++, part);
  }
  Ref empty = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
  if (!empty) return {};
  return Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

// The refused event is not recorded.
Ref suspend(const Function& fn, const State& st, PyObject* self, PyObject* key, PyObject* count) {
  Ref suspended = getattr(self, st.str._suspended);
  if (!suspended || !call_method(suspended.get(), st.str.add, key)) return {};
  Ref warning = log_method(fn, st, st.str.warning);
  if (!warning) return {};
  Ref line = text_with_limit(self, st.str.hard_limit, msg::kHardLimitLog[0], key,
                             msg::kHardLimitLog[1], msg::kHardLimitLog[2]);
  if (!line || !call(warning.get(), line)) return {};
  if (!run_suspend_callback(fn, st, self, key)) return {};
  return pair(Py_False, text_with_limit(self, st.str.hard_limit, msg::kExceeded[0], count,
                                        msg::kExceeded[1], msg::kExceeded[2]));
}

// logger.warning(f"SOFT LIMIT: {key} at {count}/{self.soft_limit} events/window")
bool warn_soft_limit(const Function& fn, const State& st, PyObject* self, PyObject* key,
                     PyObject* count) {
  Ref warning = log_method(fn, st, st.str.warning);
  if (!warning) return false;
  Ref key_text = format_value(key);
  if (!key_text) return false;
  Ref count_text = format_value(count);
  if (!count_text) return false;
  Ref soft = getattr(self, st.str.soft_limit);
  if (!soft) return false;
  Ref soft_text = format_value(soft.get());
  if (!soft_text) return false;
  Ref line = join_text({msg::kSoftLimitLog[0], key_text, msg::kSoftLimitLog[1], count_text,
                        msg::kSoftLimitLog[2], soft_text, msg::kSoftLimitLog[3]});
  return line && call(warning.get(), line);
}

Ref record_and_admit(const Function& fn, const State& st, PyObject* self, PyObject* key,
                     Py_ssize_t count) {
  if (!record_event(fn, st, self, key)) return {};
  // count + 1 as a Python int: a __len__ may report PY_SSIZE_T_MAX.
  Ref next = Ref::steal(PyLong_FromSize_t(static_cast<size_t>(count) + 1));
  if (!next) return {};
  return pair(Py_True, text_with_limit(self, st.str.hard_limit, msg::kAdmitted[0], next.get(),
                                       msg::kAdmitted[1], msg::kAdmitted[2]));
}

Ref judge(const Function& fn, const State& st, PyObject* self, PyObject* key) {
  Ref entries = history_entry(st, self, key);
  const Py_ssize_t n = entries ? PyObject_Size(entries.get()) : -1;
  Ref count = n >= 0 ? Ref::steal(PyLong_FromSsize_t(n)) : Ref();
  if (!count) return {};

  const int at_hard = reaches(self, st.str.hard_limit, count.get());
  if (at_hard < 0) return {};
  if (at_hard) return suspend(fn, st, self, key, count.get());

  const int at_soft = reaches(self, st.str.soft_limit, count.get());
  if (at_soft < 0 || (at_soft && !warn_soft_limit(fn, st, self, key, count.get()))) return {};
  return record_and_admit(fn, st, self, key, n);
}

Ref check_and_record_literal(Function& fn, Args args) {
  const State& st = fn.state<State>();
  PyObject* self = args[0];
  PyObject* key = args[1];

  if (args[2] == Py_True) return st.bypassed;

  Ref suspended = getattr(self, st.str._suspended);
  if (!suspended) return {};
  const int is_suspended = PySequence_Contains(suspended.get(), key);
  if (is_suspended < 0) return {};
  if (is_suspended) return st.suspended;

  if (!call_method(self, st.str._clean, key)) return {};
  return judge(fn, st, self, key);
}

}  // namespace orvex::limiter
