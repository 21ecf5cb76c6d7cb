// Every text of orvex.vault: docstrings, error messages and log lines.
#pragma once

namespace orvex::vault::msg {

inline constexpr const char* kModuleDoc =
    "\n"
    "AES-256-GCM authenticated encryption vault.\n"
    "\n"
    "Encrypts and decrypts numpy arrays or raw byte payloads with AES-GCM,\n"
    "preserving array shape and dtype metadata for lossless roundtrips.\n";

inline constexpr const char* kClassDoc =
    "\n"
    "    AES-256-GCM vault for encrypting sensitive payloads.\n"
    "\n"
    "    Supports both numpy arrays (with shape/dtype preservation) and raw bytes.\n"
    "    All outputs are hex-encoded dicts suitable for JSON serialization.\n"
    "    ";

inline constexpr const char* kEncryptDoc =
    "\n"
    "        Encrypt a payload using AES-256-GCM.\n"
    "\n"
    "        Args:\n"
    "            key: 16, 24, or 32-byte AES key.\n"
    "            payload: numpy array or raw bytes to encrypt.\n"
    "\n"
    "        Returns:\n"
    "            Dict with 'ciphertext', 'nonce', 'tag' (hex strings),\n"
    "            plus 'shape' and 'dtype' if the input was a numpy array.\n"
    "        ";

inline constexpr const char* kDecryptDoc =
    "\n"
    "        Decrypt a vault record.\n"
    "\n"
    "        Args:\n"
    "            key: AES key (must match the key used for encryption).\n"
    "            record: Dict from encrypt() containing ciphertext, nonce, tag.\n"
    "\n"
    "        Returns:\n"
    "            numpy array (if shape/dtype metadata present) or raw bytes.\n"
    "\n"
    "        Raises:\n"
    "            ValueError: If decryption fails (wrong key or tampered data).\n"
    "        ";

// + str(type(payload))
inline constexpr const char* kBadPayload = "Expected np.ndarray or bytes, got ";

// + str(e), on the logger and in the raised ValueError
inline constexpr const char* kDecryptFailedLog = "Decryption failed (tampering or wrong key): ";
inline constexpr const char* kDecryptFailed = "Decryption failed: ";

// Arrays whose bytes can't be restored from a record are refused; %U is str(dtype).
inline constexpr const char* kObjectDtype =
    "Cannot encrypt an array of dtype %U: its items are references to memory outside the "
    "array, not data";
inline constexpr const char* kEmptyItemDtype =
    "Cannot encrypt an array of dtype %U: its items have no size, so numpy.frombuffer() could "
    "not rebuild the array";
inline constexpr const char* kUnreadableDtype =
    "Cannot encrypt an array of dtype %U: numpy.dtype() does not read that text back to the "
    "same dtype, so the record could never be decrypted";

// The private test hooks (builds with ORVEX_TEST_HOOKS only).
inline constexpr const char* kNativeHexDoc =
    "The hex digits of data, written by the named codec (portable, ssse3, avx2, avx512vbmi) "
    "at every alignment of the output; AssertionError if they differ.";
inline constexpr const char* kNativeUnhexDoc =
    "The bytes that text (ASCII bytes, two digits a byte) spells, read by the named codec; None "
    "when it holds anything but hex digits. Read at every alignment of the output; "
    "AssertionError if they differ.";
inline constexpr const char* kInPlaceVerdictDoc =
    "Whether sealing and opening in place was found to give what the literal calls give: "
    "'unknown' until first needed, then 'agrees' or 'differs'.";
inline constexpr const char* kCodecName = "codec must be a str";
inline constexpr const char* kCodecUnusable = "no hex codec %R on this processor";
inline constexpr const char* kOddHexLength = "text must hold two digits a byte";
inline constexpr const char* kAlignmentMatters =
    "the codec's output depends on its alignment, or spills out of it";

}  // namespace orvex::vault::msg
