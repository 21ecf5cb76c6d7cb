# Types of the native module orvex.limiter. Names imported "as" themselves are
# module attributes at run time too (the module looks them up when it runs).
import logging as logging
import time as time
from collections import defaultdict as defaultdict
from typing import Callable as Callable, Optional as Optional, Tuple as Tuple

logger: logging.Logger

class RateLimiter:
    soft_limit: int
    hard_limit: int
    window_seconds: int
    # Called with the key on suspension; what it returns is ignored.
    suspend_callback: Optional[Callable[[str], object]]
    _history: defaultdict[str, list[float]]
    _suspended: set[str]
    def __init__(
        self,
        soft_limit: int = 5,
        hard_limit: int = 10,
        window_seconds: int = 60,
        suspend_callback: Optional[Callable[[str], object]] = None,
    ) -> None: ...
    def _clean(self, key: str) -> None: ...
    def check_and_record(self, key: str, skip_limit: bool = False) -> tuple[bool, str]: ...
    def get_count(self, key: str) -> int: ...
    def is_suspended(self, key: str) -> bool: ...
    def reinstate(self, key: str) -> None: ...
    def reset(self, key: str) -> None: ...
