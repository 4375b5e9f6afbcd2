"""python -m tamro.programs.doctor: the same as the tamro-doctor program."""

import sys

from . import main

sys.exit(main())
