"""python -m tamro.programs.panel: the same as the tamro-panel program."""

import sys

from . import main

sys.exit(main())
