"""Times only the limiter rows of bench/run.py, for trees where the other
modules are not built yet; same measurement, same table.

    python bench/limiter_only.py [--rounds N]
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402

if __name__ == "__main__":
    run.fuzzy_rows = run.vault_rows = lambda rounds: []
    run.main()
