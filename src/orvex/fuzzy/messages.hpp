// Every text of orvex.fuzzy: docstrings and error messages.
#pragma once

namespace orvex::fuzzy::msg {

inline constexpr const char* kModuleDoc =
    "\n"
    "Sample-then-Lock (STL) Fuzzy Extractor.\n"
    "\n"
    "Locks and unlocks cryptographic secrets using noisy biometric feature vectors.\n"
    "Uses a locker-based scheme where each locker samples a random subset of binarized\n"
    "features to create a pad that masks the secret. Unlocking uses majority voting\n"
    "across all lockers to recover the secret.\n"
    "\n"
    "Accepts torch.Tensor or numpy.ndarray feature inputs.\n";

inline constexpr const char* kClassDoc =
    "\n"
    "    Sample-then-Lock (STL) Fuzzy Extractor for biometric template protection.\n"
    "\n"
    "    Locks a secret payload using a biometric feature vector. The same secret can\n"
    "    be recovered from a similar (but not identical) feature vector, as long as\n"
    "    the overlap exceeds the probability threshold.\n"
    "\n"
    "    Args:\n"
    "        n_lockers: Number of lockers (higher \u2192 more robust, slower). Default: 1024.\n"
    "        locker_size: Bits sampled per locker (higher \u2192 stricter matching). Default: 8.\n"
    "    ";

inline constexpr const char* kToNumpyDoc = "Convert feature input to a flat numpy array.";

inline constexpr const char* kBinarizeDoc =
    "Convert feature vector to a bit list using sign thresholding.";

inline constexpr const char* kLockSecretDoc =
    "\n"
    "        Lock a secret using the feature vector.\n"
    "\n"
    "        Args:\n"
    "            feature: Biometric feature vector (torch.Tensor or numpy.ndarray).\n"
    "            secret_payload: Secret bytes to lock (e.g., a 16-byte AES key).\n"
    "\n"
    "        Returns:\n"
    "            Helper data dict containing 'seed', 'lockers', 'secret_hash', 'n_features'.\n"
    "            Store this alongside the enrollment record.\n"
    "        ";

inline constexpr const char* kUnlockSecretDoc =
    "\n"
    "        Attempt to unlock the secret using a probe feature vector.\n"
    "\n"
    "        Args:\n"
    "            feature: Probe biometric feature vector.\n"
    "            helper_data: Helper data dict from lock_secret().\n"
    "            prob_thresh: Minimum voting ratio to accept (0.0\u20131.0). Default: 0.2.\n"
    "\n"
    "        Returns:\n"
    "            Tuple of (secret_bytes_or_None, stats_dict).\n"
    "            stats_dict contains 'ratio' \u2014 the fraction of lockers that agreed.\n"
    "        ";

// + str(type(feature))
inline constexpr const char* kBadFeature = "Expected torch.Tensor or numpy.ndarray, got ";

// The declared result type of _binarize: "list", then the result's type name.
inline constexpr const char* kUnexpectedResult = "Expected %s, got %.200s";

inline constexpr const char* kTooFewLockers = "n_lockers must be >= 1";
inline constexpr const char* kLockerSizeTooSmall = "locker_size must be >= 1";

inline constexpr const char* kEmptySecret = "secret_payload must be non-empty bytes";

// One locker's pad is a single SHA-256 digest, so it masks at most 32 bytes;
// a longer secret would be stored cut short while its hash covers all of it,
// and no unlock could ever succeed. %zd: the length given.
inline constexpr const char* kSecretTooLong =
    "secret_payload must be at most 32 bytes (one SHA-256 digest masks each locker), got %zd";

// A NaN threshold compares false with every ratio, so it would never reject
// a vote: any probe whose plurality candidate hashes right would be let in.
inline constexpr const char* kThresholdIsNan = "prob_thresh must be a number, not NaN";

// lock_secret writes 4-byte seeds; NumPy's seeding takes time quadratic in
// the seed's size, so a record's seed is read only up to this size. %zd: the
// length given.
inline constexpr const char* kSeedTooLong = "seed must be at most 32 bytes, got %zd";

// len(bits), then format(self.locker_size, "")
inline constexpr const char* kFeatureTooShort =
    "Feature vector too short (%zd) for locker_size (%U)";

// The private hooks that tests use to hold the native sampler and SHA-256
// against NumPy's Generator.choice and hashlib.
inline constexpr const char* kSampleDoc =
    "Draw k distinct positions of range(n) from a NumPy Generator natively, as "
    "rng.choice(n, size=k, replace=False) would.";
inline constexpr const char* kDrawLockersDoc =
    "Draw count lockers' positions (k of range(n) each) from a NumPy Generator natively, "
    "stepping PCG64 inline if inline_pcg64 is true, and return the last locker's.";
inline constexpr const char* kSeedStateDoc =
    "The state of np.random.default_rng(int.from_bytes(seed, 'big')).bit_generator, derived "
    "natively from the seed's bytes.";
inline constexpr const char* kSeedStateNeedsBytes = "expected a bytes seed";
inline constexpr const char* kSha256Doc =
    "SHA-256 digests of a list of bytes objects, computed natively.";
inline constexpr const char* kVoteProbesDoc =
    "(slots probed, whether it went over to SipHash) for the native vote table counting a list "
    "of candidates (bytes of at most 32) under the key (k0, k1).";
inline constexpr const char* kImportMemoDoc =
    "Whether the next `import torch` of _to_numpy would be answered \"absent\" without running "
    "importlib.";
inline constexpr const char* kVoteProbesNeedBytes = "expected a list of bytes of at most 32";
inline constexpr const char* kDigestNeedsBytes = "expected a list of bytes objects";
inline constexpr const char* kSampleOutOfBounds = "n and k out of the natively sampled range";

}  // namespace orvex::fuzzy::msg
