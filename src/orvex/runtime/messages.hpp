// The texts of argument binding, shared by every function of every module.
#pragma once

namespace orvex::msg {

// name, "exactly"/"at least"/"at most", count, "s" or "", count given
inline constexpr const char* kArgCount =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* kUnexpectedKeyword = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* kMultipleValues = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* kKeywordsMustBeStrings = "%.200s() keywords must be strings";

// Appended to "maximum recursion depth exceeded" when a call of an orvex
// function (or a native shortcut that stands for one) hits the limit.
inline constexpr const char* kRecursionWhere = " while calling an orvex function";

// parameter, expected type, given type, then ". " and kSubclassRejected for
// an instance of a subclass of the expected type
inline constexpr const char* kIncorrectType =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s";
inline constexpr const char* kSubclassRejected =
    "Subclasses of built-in types are rejected; convert the argument to the exact type first.";

// Raised instead of running off the end of the C stack.
inline constexpr const char* kStackExhausted =
    "maximum recursion depth exceeded while calling an orvex function (the thread's stack is "
    "nearly used up)";

// A call that arrives after its module was cleared (interpreter shutdown);
// the function's qualified name.
inline constexpr const char* kModuleCleared = "%.200s() called after its module was cleared";
// __globals__ of a function cleared by the collector; its qualified name.
inline constexpr const char* kGlobalsCleared =
    "%.200s.__globals__ read after its module was cleared";

// A native step needed more memory than any machine can address (the C++
// library's own words follow), or failed in a way it never should.
inline constexpr const char* kSizeBeyondMemory =
    "the size needed is more than any machine can hold (%.200s)";
inline constexpr const char* kNativeFailure = "orvex failed inside native code: %.200s";
// An object that was to be a NumPy Generator (its bit generator exposes no C
// interface).
inline constexpr const char* kNotANumpyGenerator = "expected a numpy.random.Generator";

}  // namespace orvex::msg
