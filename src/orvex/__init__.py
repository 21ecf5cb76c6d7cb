"""orvex: a security toolkit.

- ``orvex.fuzzy``: ``FuzzyExtractor`` locks a secret under a biometric feature
  vector and releases it again from a similar probe.
- ``orvex.limiter``: ``RateLimiter``, per-key sliding-window rate limiting.
- ``orvex.vault``: ``AESVault``, AES-GCM encryption of arrays and bytes into
  JSON-safe hex records.
- ``orvex.evaluate``: measures ``FuzzyExtractor`` on your own embeddings and
  recommends its parameters (``python -m orvex.evaluate``).
"""

__version__ = "0.1.0"
