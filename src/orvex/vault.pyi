# Types of the native module orvex.vault. Names imported "as" themselves are
# module attributes at run time too (the module looks them up when it runs).
import logging as logging
from typing import Any, Optional as Optional, Union as Union

import numpy as np
import numpy.typing as npt
from Crypto.Cipher import AES as AES

logger: logging.Logger

class AESVault:
    # A record: {"ciphertext": str, "nonce": str, "tag": str} and, for arrays,
    # "shape": list[int] and "dtype": str; stored by the caller, hence a plain dict.
    def encrypt(self, key: bytes, payload: Union[np.ndarray[Any, Any], bytes]) -> dict[str, Any]: ...
    # Which of the two comes back depends on the record: narrow with isinstance.
    def decrypt(self, key: bytes, record: dict[str, Any]) -> Union[npt.NDArray[Any], bytes]: ...
