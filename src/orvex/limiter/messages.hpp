// Every text of orvex.limiter: docstrings, results and log lines.
//
// Texts that carry values are split into the fixed pieces between them; the
// comment above each group shows how the pieces and values alternate.
#pragma once

namespace orvex::limiter::msg {

inline constexpr const char* kModuleDoc =
    "\n"
    "Sliding-window rate limiter with soft/hard limits and auto-suspension.\n"
    "\n"
    "Tracks event counts per key within a configurable time window. When the soft\n"
    "limit is reached, a warning is logged. When the hard limit is reached, the key\n"
    "is suspended and an optional callback is invoked.\n"
    "\n"
    "Zero external dependencies beyond the Python standard library.\n";

inline constexpr const char* kClassDoc =
    "\n"
    "    In-memory sliding-window rate limiter.\n"
    "\n"
    "    Args:\n"
    "        soft_limit: Events per window before warning. Default: 5.\n"
    "        hard_limit: Events per window before suspension. Default: 10.\n"
    "        window_seconds: Time window in seconds. Default: 60.\n"
    "        suspend_callback: Optional function called with (key: str) when\n"
    "                          the hard limit is exceeded.\n"
    "    ";

inline constexpr const char* kCleanDoc = "Remove entries older than the window.";

inline constexpr const char* kCheckAndRecordDoc =
    "\n"
    "        Check if an event is allowed and record it.\n"
    "\n"
    "        Args:\n"
    "            key: Identifier for the rate-limited entity (e.g., device address).\n"
    "            skip_limit: If True, bypass rate limiting (for trusted entities).\n"
    "\n"
    "        Returns:\n"
    "            Tuple of (allowed: bool, message: str).\n"
    "        ";

inline constexpr const char* kGetCountDoc = "Get current event count for a key within the window.";
inline constexpr const char* kIsSuspendedDoc = "Check if a key is suspended.";
inline constexpr const char* kReinstateDoc = "Reinstate a suspended key and clear its history.";
inline constexpr const char* kResetDoc =
    "Reset the event counter for a key without changing suspension status.";

inline constexpr const char* kSoftAboveHard = "soft_limit must be <= hard_limit";
// A window under one second (0.9 is stored as 0) prunes every event at once:
// the limiter would admit everything and never suspend. Refused when
// constructing, and when a call meets such a value assigned later.
inline constexpr const char* kWindowTooShort = "window_seconds must be >= 1";

// Results of check_and_record.
inline constexpr const char* kBypassed = "Rate limit bypassed";
inline constexpr const char* kSuspended = "Suspended";
// kExceeded[0] count kExceeded[1] hard_limit kExceeded[2]
inline constexpr const char* kExceeded[] = {"Rate limit exceeded (", "/", "). Suspended."};
// kAdmitted[0] count+1 kAdmitted[1] hard_limit kAdmitted[2]
inline constexpr const char* kAdmitted[] = {"OK (", "/", ")"};

// Log lines. The dash of the hard-limit line is U+2014.
// kHardLimitLog[0] key kHardLimitLog[1] hard_limit kHardLimitLog[2]
inline constexpr const char* kHardLimitLog[] = {"HARD LIMIT: ", " exceeded ",
                                                " events/window \u2014 suspended"};
// kSoftLimitLog[0] key kSoftLimitLog[1] count kSoftLimitLog[2] soft_limit kSoftLimitLog[3]
inline constexpr const char* kSoftLimitLog[] = {"SOFT LIMIT: ", " at ", "/", " events/window"};
// + the exception
inline constexpr const char* kCallbackFailedLog = "Suspend callback failed: ";
// + key
inline constexpr const char* kReinstatedLog = "Reinstated: ";

}  // namespace orvex::limiter::msg
