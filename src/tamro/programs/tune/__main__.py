"""python -m tamro.programs.tune: the same as the tamro-tune program."""

import sys

from . import main

sys.exit(main())
